#!/usr/bin/env bash
# Runs one command inside a small VM on Debian's stock kernel (software
# emulation): the host's / read-only over 9p with a tmpfs overlay, so the
# command sees the host's tools and this build tree at their host paths, in
# the caller's directory, with the caller's PATH, LD_LIBRARY_PATH, KQBLK_*
# and GTEST_* variables. Prints the command's output and exits with its
# status; 77 (with a message) where qemu or the kernel is not available.
#   run_in_vm.sh [--cache DIR] [--timeout SECONDS] -- COMMAND [ARG...]
# KQBLK_VM_KEEP=1 keeps the share (command, output, console) for a look.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${KQBLK_VM_CACHE:-vm-cache} timeout=1200
while [[ $# -gt 0 && $1 != -- ]]; do
  case $1 in
    --cache) cache=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    *) echo "usage: $0 [--cache DIR] [--timeout SECONDS] -- COMMAND [ARG...]" >&2; exit 2 ;;
  esac
done
shift
if ! command -v qemu-system-x86_64 >/dev/null; then
  echo "qemu-system-x86_64 not found (package qemu-system-x86): full-kernel tests skipped" >&2
  exit 77
fi
"$here/prepare.sh" "$cache" >/dev/null || exit $?
cache=$(cd "$cache" && pwd)
kernel=$cache/vmlinux
[[ -e $kernel ]] || kernel=$(echo "$cache"/root/boot/vmlinuz-*)

share=$(mktemp -d "${TMPDIR:-/tmp}/kqvm.XXXXXX")
qemu=
cleanup() {
  [[ -n $qemu ]] && kill "$qemu" 2>/dev/null && wait "$qemu" 2>/dev/null
  [[ -n ${KQBLK_VM_KEEP:-} ]] && echo "kqvm: kept $share" >&2 || rm -rf "$share"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
{
  echo "cd $(printf %q "$PWD")"
  while IFS= read -r name; do
    echo "export $name=$(printf %q "${!name}")"
  done < <(compgen -e | grep -E '^(PATH|LD_LIBRARY_PATH|KQBLK_.*|GTEST_.*)$')
  printf '%q ' exec "$@"
  echo
} >"$share/command"

timeout -k 10 "$timeout" qemu-system-x86_64 -accel tcg -cpu max -smp "${KQBLK_VM_CPUS:-2}" -m "${KQBLK_VM_MEMORY:-1024}" \
  -nodefaults -no-reboot -display none -serial "file:$share/console" \
  -kernel "$kernel" -initrd "$cache/initramfs.cpio" \
  -append "console=ttyS0 quiet panic=-1 KQVM_STAGE2=$here/guest_init.sh KQVM_MODULES=$cache/root/lib/modules" \
  -fsdev "local,id=hostroot,path=/,security_model=passthrough,readonly=on,multidevs=remap" \
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
  -fsdev "local,id=share,path=$share,security_model=passthrough" \
  -device virtio-9p-pci,fsdev=share,mount_tag=share \
  -device isa-debug-exit,iobase=0xf4,iosize=0x04 </dev/null &
qemu=$!
set +e
wait "$qemu"
status=$?
set -e
qemu=
[[ -e $share/output ]] && cat "$share/output"
# isa-debug-exit ends qemu with (value << 1) | 1; anything else means the
# guest never reported.
if ((status % 2 == 1)); then
  rc=$(((status - 1) / 2))
  ((rc == 126)) && echo "kqvm: the VM could not mount the host's root" >&2
else
  echo "kqvm: the VM ended without a status (qemu exit $status; timeout ${timeout}s); its console:" >&2
  tail -n 40 "$share/console" >&2
  rc=1
fi
exit "$rc"
