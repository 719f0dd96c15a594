#!/bin/sh
# Loads the kqblk userspace block driver: "unix_drv.sh -a kqblk".
#
# The driver is an engine inside the library (FUSE file plus loop device per
# disk), so loading means checking that the kernel offers FUSE and loop
# devices, mounting the FUSE control file system (used to abort a device
# whose server is stuck), and making the control directory and device
# directory that the library looks for. Where udev runs, it also installs
# the rule files that keep the host's udev rules off the driver's devices
# (12-kqblk-dm.rules, 60-kqblk.rules and 64-kqblk-md.rules, beside this
# script) and reloads udev's rules. Safe to run again at any time.
# Exit status 0 when ready; otherwise one line on standard error.
set -eu

control_dir=/run/kqblk
udev_control=/run/udev/control
udev_rules_dir=/run/udev/rules.d
rule_files="12-kqblk-dm.rules 60-kqblk.rules 64-kqblk-md.rules"
node_dir=/dev/kqblk
fusectl_dir=/sys/fs/fuse/connections

fail() {
  printf 'unix_drv.sh: %s\n' "$*" >&2
  exit 1
}

if [ "$#" -ne 2 ] || [ "$1" != "-a" ] || [ "$2" != "kqblk" ]; then
  fail "usage: unix_drv.sh -a kqblk"
fi
[ "$(id -u)" -eq 0 ] || fail "loading the kqblk driver needs root"
[ -c /dev/fuse ] || fail "/dev/fuse is missing: the kernel offers no FUSE"
[ -c /dev/loop-control ] || fail "/dev/loop-control is missing: the kernel offers no loop devices"

# The loop driver's block major: what the library's mount-table scans compare.
major=$(awk '/^Block devices:/ { block = 1; next } block && $2 == "loop" { print $1; exit }' \
  /proc/devices 2>/dev/null) || major=""
case "$major" in
  '' | *[!0-9]*) fail "no loop block major in /proc/devices" ;;
esac

if ! awk -v dir="$fusectl_dir" '$2 == dir && $3 == "fusectl" { found = 1 } END { exit !found }' \
  /proc/mounts; then
  [ -d "$fusectl_dir" ] || fail "$fusectl_dir is missing: the kernel offers no FUSE control file system"
  mount -t fusectl fusectl "$fusectl_dir" 2>/dev/null ||
    fail "cannot mount the FUSE control file system on $fusectl_dir"
fi

# Never work through a symbolic link someone put in our place.
for dir in "$control_dir" "$control_dir/dev" "$node_dir"; do
  [ ! -L "$dir" ] || fail "$dir is a symbolic link"
done
mkdir -p "$control_dir" 2>/dev/null || fail "cannot make $control_dir"
chmod 0700 "$control_dir" 2>/dev/null || fail "cannot set the mode of $control_dir"
mkdir -p "$control_dir/dev" 2>/dev/null || fail "cannot make $control_dir/dev"
chmod 0700 "$control_dir/dev" 2>/dev/null || fail "cannot set the mode of $control_dir/dev"
mkdir -p "$node_dir" 2>/dev/null || fail "cannot make $node_dir"
chmod 0755 "$node_dir" 2>/dev/null || fail "cannot set the mode of $node_dir"
# Made by someone else before us, a directory would stay theirs to change.
for dir in /run "$control_dir" "$control_dir/dev" "$node_dir"; do
  [ "$(stat -c %u "$dir" 2>/dev/null)" = 0 ] || fail "$dir is not owned by root"
done

# Written whole and renamed, so that a reader never sees half a number.
tmp="$control_dir/blk_major.$$"
printf '%s\n' "$major" >"$tmp" 2>/dev/null || fail "cannot write $control_dir/blk_major"
mv -f "$tmp" "$control_dir/blk_major" 2>/dev/null || {
  rm -f "$tmp"
  fail "cannot write $control_dir/blk_major"
}
# Before the first device appears: udev would otherwise let LVM
# autoactivate guest groups and make /dev/disk/by-* links to guest file
# systems. /run, like the driver's devices, does not outlive a reboot.
if [ -e "$udev_control" ]; then
  [ ! -L "$udev_rules_dir" ] || fail "$udev_rules_dir is a symbolic link"
  mkdir -p "$udev_rules_dir" 2>/dev/null || fail "cannot make $udev_rules_dir"
  for rule_file in $rule_files; do
    rule_source=$(dirname "$0")/$rule_file
    [ -f "$rule_source" ] || fail "$rule_source is missing"
    tmp="$udev_rules_dir/.$rule_file.$$"
    cp "$rule_source" "$tmp" 2>/dev/null && mv -f "$tmp" "$udev_rules_dir/$rule_file" 2>/dev/null || {
      rm -f "$tmp"
      fail "cannot install $udev_rules_dir/$rule_file"
    }
  done
  udevadm control --reload 2>/dev/null || fail "udevadm control --reload failed"
fi

# The debug level the library writes after loading is kept on a reload.
if [ ! -f "$control_dir/debug" ]; then
  : >"$control_dir/debug" 2>/dev/null || fail "cannot make $control_dir/debug"
fi
exit 0
