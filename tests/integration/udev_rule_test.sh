#!/bin/sh
# The udev rule file against udev's own rules (udevadm test), and its
# installation by unix_drv.sh (root). Usage: udev_rule_test.sh RULES UNIX_DRV
#
# Runs in a private mount namespace: /etc/udev/rules.d, /run and /dev are
# private file systems there, because "udevadm test" makes the links and
# permissions it computes. The loop devices are made before /dev is
# replaced and detached at exit; nothing else of the host is touched.
# Exit 77: skipped.
set -eu
rules=$1
unix_drv=$2
[ "$(id -u)" -eq 0 ] || { echo "needs root"; exit 77; }
for tool in udevadm unshare losetup partx sfdisk mkfs.ext4; do
  command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 77; }
done
[ -f /usr/lib/udev/rules.d/60-persistent-storage.rules ] || { echo "no udev rules"; exit 77; }

exec unshare -m --propagation private sh -eu -s "$rules" "$unix_drv" <<'SCRIPT'
rules=$1
unix_drv=$2
work=$(mktemp -d /tmp/kqblk-udev-XXXXXX)
ours= other=
cleanup() {
  [ -z "$ours" ] || { partx -d "$ours" 2>/dev/null; losetup -d "$ours"; }
  [ -z "$other" ] || losetup -d "$other"
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# unix_drv.sh, where udev runs, installs the rule and reloads udev.
mount -t tmpfs kqtest-run /run
mkdir -p /run/udev "$work/bin"
: > /run/udev/control
printf '#!/bin/sh\necho "$*" >> %s/udevadm.calls\n' "$work" > "$work/bin/udevadm"
chmod +x "$work/bin/udevadm"
PATH="$work/bin:$PATH" "$unix_drv" -a kqblk || fail "unix_drv.sh failed"
for f in "$rules" "$(dirname "$rules")/12-kqblk-dm.rules"; do
  cmp "$f" "/run/udev/rules.d/${f##*/}" || fail "$f was not installed"
done
[ "$(cat "$work/udevadm.calls")" = "control --reload" ] || fail "udev was not reloaded"

# A driver-style device (backing file under /run/kqblk/dev) with a
# partition, and another loop device, each with an ext4 file system.
rm -f /run/udev/control
mkdir -p /run/kqblk/dev/kqtest
truncate -s 64M /run/kqblk/dev/kqtest/disk "$work/other.img"
echo 'start=2048, type=83' | sfdisk -q /run/kqblk/dev/kqtest/disk
ours=$(losetup --find --show /run/kqblk/dev/kqtest/disk)
partx -a "$ours"
mkfs.ext4 -q "${ours}p1"
mkfs.ext4 -q "$work/other.img"
other=$(losetup --find --show "$work/other.img")

mount -t tmpfs kqtest-rules /etc/udev/rules.d
cp "$rules" /etc/udev/rules.d/
mount -t tmpfs kqtest-dev /dev
mknod /dev/null c 1 3
for dev in "$ours" "${ours}p1" "$other"; do
  name=${dev#/dev/}
  mknod "$dev" b $(tr ':' ' ' < "/sys/class/block/$name/dev")
done

properties() { udevadm test --action=add "/sys/class/block/${1#/dev/}" 2>/dev/null; }
for dev in "$ours" "${ours}p1"; do
  out=$(properties "$dev")
  for want in KQBLK_GUEST_DISK=1 UDEV_DISABLE_PERSISTENT_STORAGE_RULES_FLAG=1 \
      DM_UDEV_DISABLE_OTHER_RULES_FLAG=1 SYSTEMD_READY=0 UDISKS_IGNORE=1; do
    printf '%s\n' "$out" | grep -qx "$want" || fail "$dev lacks $want"
  done
  ! printf '%s\n' "$out" | grep -q '^ID_FS_TYPE=\|/dev/disk/\|lvm' || fail "$dev: $out"
done
# The rule leaves every other device alone: the host's rules still apply.
out=$(properties "$other")
printf '%s\n' "$out" | grep -q '^ID_FS_TYPE=ext4$' || fail "$other: $out"
printf '%s\n' "$out" | grep -q 'DEVLINKS=.*/dev/disk/by-uuid/' || fail "$other: $out"
! printf '%s\n' "$out" | grep -q KQBLK_GUEST_DISK || fail "$other marked: $out"
echo "udev rule: ok"
SCRIPT
