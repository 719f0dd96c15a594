#!/usr/bin/env bash
# The bash completion of kqblkctl, sourced into this shell and called as
# bash calls it: its registration, commands, options, --format's values
# and paths; and each command's options against what that command's usage
# text lists, so that a new option cannot go without its completion.
#   bash_completion_test.sh COMPLETION KQBLKCTL
set -euo pipefail
completion=$1
kqblkctl=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# kqblkctl's log stays here, not in the machine's /var/log.
printf '[Log]\nsKqBlkLogFile = %s/log\n' "$work" >"$work/kqblk.conf"
export KQBLK_CONFIG=$work/kqblk.conf
failed=0

fail() {
  echo "FAIL: $*"
  failed=1
}

# shellcheck source=/dev/null
source "$completion"
[[ $(complete -p kqblkctl 2>&1) == *"-F _kqblkctl"* ]] || fail "kqblkctl has no completion"

# The reply, sorted and on one line, to the command line WORD... whose
# last word is the one being completed.
reply() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _kqblkctl kqblkctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  if ((${#COMPREPLY[@]})); then printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' '; fi
}

# Offers exactly EXPECTED (sorted, one line) for WORD...
check() {
  local expected=$1 got
  shift
  got=$(reply "$@")
  [[ $got == "$expected" ]] || fail "'$*': offered '$got', not '$expected'"
}

mkdir "$work/sub"
: >"$work/sfile"
: >"$work/disk.img"
check "mount" kqblkctl mo
check "--help cleanup expose list mount" kqblkctl ''
check "--format" kqblkctl mount --fo
check "--force --help --root" kqblkctl cleanup --
check "--json" kqblkctl list --j
check "--prefix" kqblkctl expose --p
check "qcow qcow2 qed" kqblkctl mount --format q
check "raw" kqblkctl expose --format r
check "" kqblkctl mount --id ''
check "$work/sub" kqblkctl mount --root "$work/s"
check "$work/sub" kqblkctl cleanup --root "$work/s"
check "$work/sfile $work/sub" kqblkctl mount --key-file "$work/s"
check "$work/disk.img" kqblkctl mount --read-only "$work/d"
check "$work/disk.img" kqblkctl expose "$work/d"
check "" kqblkctl list "$work/d"
check "" kqblkctl frobnicate --

# Every command the main usage lists, with the options its own usage lists.
commands=$("$kqblkctl" --help | sed -n 's/^  \([a-z][a-z]*\)  .*/\1/p' | sort | paste -sd ' ')
[[ $commands == "cleanup expose list mount" ]] || fail "kqblkctl --help lists '$commands'"
for command in $commands; do
  usage=$("$kqblkctl" "$command" --help)
  listed=$({
    grep -o -- '--[a-z][a-z-]*' <<<"$usage"
    echo --help
  } | sort -u | paste -sd ' ')
  check "$listed" kqblkctl "$command" --
done

((failed == 0)) || exit 1
echo "bash completion: ok"
