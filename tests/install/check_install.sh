#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks what a caller
# gets: the installed layout, every public header compiling on its own, and
# a program built through the CMake package and through pkg-config that
# loads the library and its reader plugin without any environment.
#   check_install.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
here=$(dirname "$(realpath "$0")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
unset LD_LIBRARY_PATH
export KQBLK_CONFIG=/dev/null

fail() {
  echo "check_install: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name kqblk.pc)
libdir=$(dirname "$(dirname "$pc")")
for f in bin/kqblkctl lib/kqblk/unix_drv.sh lib/kqblk/12-kqblk-dm.rules lib/kqblk/60-kqblk.rules lib/kqblk/64-kqblk-md.rules \
  share/man/man1/kqblkctl.1 share/doc/kqblk/kqblk.conf.example share/bash-completion/completions/kqblkctl; do
  [[ -e $prefix/$f ]] || fail "$f is not installed"
done
[[ -x $prefix/lib/kqblk/unix_drv.sh ]] || fail "unix_drv.sh is not executable"
# shellcheck disable=SC2016
bash --norc -c 'source "$1" && complete -p kqblkctl' _ "$prefix/share/bash-completion/completions/kqblkctl" \
  >/dev/null 2>&1 || fail "the bash completion does not register for kqblkctl"
[[ -e $libdir/libktntfs.so && -e $libdir/libkqblk.so ]] || fail "libraries not in $libdir"
if ldd "$prefix/bin/kqblkctl" | grep 'not found'; then fail "kqblkctl does not find its libraries"; fi

for h in "$prefix"/include/kqblk/*.h; do
  c++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include/kqblk" -include "$h" \
    -x c++ /dev/null || fail "$(basename "$h") does not compile on its own"
done

cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
expected=$'MountDir-1\nchecking the request\ndone\n-not-an-id: not a usable request id'
[[ $("$work/cmake/consumer") == "$expected" ]] || fail "the CMake-built program failed"

PKG_CONFIG_LIBDIR=$(dirname "$pc")
export PKG_CONFIG_LIBDIR
[[ $(realpath "$(pkg-config --variable=prefix kqblk)") == "$prefix" ]] ||
  fail "kqblk.pc names $(pkg-config --variable=prefix kqblk), not $prefix"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror "$here/consumer.cpp" -o "$work/consumer-pc" \
  $(pkg-config --cflags --libs kqblk) -Wl,-rpath,"$(pkg-config --variable=libdir kqblk)"
[[ $("$work/consumer-pc") == "$expected" ]] || fail "the pkg-config-built program failed"
echo "check_install: $prefix checked"
