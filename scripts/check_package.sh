#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB) in build-deb/ from a tree
# configured for /usr and checks it without installing it: its dependencies
# resolve on this machine, and in its extracted tree kqblkctl runs and a
# program built through kqblk.pc loads the library and the reader plugin,
# with no environment.
#   scripts/check_package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build="build-deb"

fail() {
  echo "check_package: $*" >&2
  exit 1
}

cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DKQBLK_BUILD_TESTS=OFF \
  -DKQBLK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/kqblk_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(echo "$build"/kqblk_*.deb)
[[ -f $deb ]] || fail "no package in $build"
dpkg-deb --field "$deb" Package Version Depends Recommends Suggests

apt-get --simulate install "./$deb" >/dev/null || fail "its dependencies do not resolve here"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb --extract "$deb" "$root"
unset LD_LIBRARY_PATH
export KQBLK_CONFIG=/dev/null
help=$("$root/usr/bin/kqblkctl" --help 2>&1) || true
grep -qi usage <<<"$help" || fail "kqblkctl does not run: $help"
PKG_CONFIG_LIBDIR=$(dirname "$(find "$root" -name kqblk.pc)")
export PKG_CONFIG_LIBDIR
# shellcheck disable=SC2046
c++ -std=c++17 tests/install/consumer.cpp -o "$root/consumer" $(pkg-config --cflags --libs kqblk) \
  -Wl,-rpath,"$(pkg-config --variable=libdir kqblk)"
[[ $("$root/consumer") == MountDir-1 ]] || fail "a program built against the package failed"
echo "check_package: $deb checked"
