#!/bin/bash
# Stand-in for the LVM, btrfs and mount tools: installed under each tool's name
# first on PATH. Records its name, the LVM configuration variant it runs
# under and its arguments (NUL-separated) in $KQBLK_DOUBLES_DIR/calls, then
# answers with the first rule in $KQBLK_DOUBLES_DIR/rules/* whose tool is
# this one and whose glob matches the arguments joined by blanks. A rule
# holds files tool, args, out, err, rc and optionally left (how many more
# times it may answer) and sleep (seconds to wait before answering). Without
# a rule: no output, status 0.
name=${0##*/}
dir=${KQBLK_DOUBLES_DIR:?}
variant=
[ -n "${LVM_SYSTEM_DIR+set}" ] && variant=${LVM_SYSTEM_DIR##*/}
printf '%s\0' CALL "$name" "$variant" "$#" "$@" >> "$dir/calls"
joined="$*"
for rule in "$dir"/rules/*; do
  [ -d "$rule" ] || continue
  [ "$(cat "$rule/tool")" = "$name" ] || continue
  pattern=$(cat "$rule/args")
  # shellcheck disable=SC2053 # the pattern is a glob on purpose
  [[ $joined == $pattern ]] || continue
  if [ -f "$rule/left" ]; then
    left=$(cat "$rule/left")
    [ "$left" -gt 0 ] || continue
    echo $((left - 1)) > "$rule/left"
  fi
  [ -f "$rule/sleep" ] && sleep "$(cat "$rule/sleep")"
  cat "$rule/out"
  cat "$rule/err" >&2
  exit "$(cat "$rule/rc")"
done
exit 0
