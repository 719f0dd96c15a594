#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest.
#   scripts/test.sh             the normal build (build/)
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer (build-sanitize/)
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
build=build
case "${1:-}" in
  --sanitize) sanitize=ON; build=build-sanitize ;;
  "") ;;
  *) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
esac

scripts/setup.sh
cmake -S . -B "$build" -DKQBLK_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)"
if [[ $sanitize == ON ]]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
# Tests that use devices share the machine's loop devices and /dev/kqblk:
# run them one at a time.
ctest --test-dir "$build" --output-on-failure --timeout 600
