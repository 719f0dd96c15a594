#!/usr/bin/env bash
# Writes the uncompressed kernel inside a bzImage to standard output (the
# way the kernel's scripts/extract-vmlinux finds it): the first payload, at
# any offset of a known compressor's magic, that decompresses to an ELF file.
# Exits 1 when none does.
set -uo pipefail
image=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
try() {  # MAGIC COMMAND...
  local magic=$1 offset
  shift
  for offset in $(LC_ALL=C grep -obUaP "$magic" "$image" | cut -d: -f1); do
    tail -c+$((offset + 1)) "$image" | "$@" >"$out" 2>/dev/null
    if [[ $(head -c4 "$out") == $'\x7fELF' ]]; then cat "$out"; exit 0; fi
  done
}
try '\xfd\x37\x7a\x58\x5a\x00' xz -dc
try '\x28\xb5\x2f\xfd' zstd -dc
try '\x1f\x8b\x08' gzip -dc
exit 1
