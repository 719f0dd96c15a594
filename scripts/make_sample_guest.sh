#!/usr/bin/env bash
# Builds a sample Linux guest disk image: an MBR with an ext4 root file
# system (fstab, hostname, a few files) and an xfs data partition.
#   scripts/make_sample_guest.sh IMAGE
set -euo pipefail
image=${1:?usage: $0 IMAGE}

work=$(mktemp -d /tmp/kqblk-sample-XXXXXX)
loop=""
cleanup() {
  for m in "$work"/p1 "$work"/p2; do mountpoint -q "$m" && umount "$m"; done
  if [[ -n $loop ]]; then partx -d "$loop" 2>/dev/null || true; losetup -d "$loop"; fi
  rm -rf "$work"
}
trap cleanup EXIT

rm -f "$image"
truncate -s 400M "$image"
sfdisk -q "$image" <<'TABLE'
label: dos
label-id: 0x5a3b1e00
start=2048, size=163840, type=83
start=165888, size=647168, type=83
TABLE
loop=$(losetup --find --show "$image")
partx -a "$loop"
for n in 1 2; do
  for _ in $(seq 50); do [[ -b ${loop}p$n ]] && break; sleep 0.1; done
done
mkfs.ext4 -q -F -L guestroot "${loop}p1"
mkfs.xfs -q -f -L guestdata "${loop}p2"
mkdir "$work/p1" "$work/p2"
mount "${loop}p1" "$work/p1"
mount "${loop}p2" "$work/p2"
mkdir -p "$work/p1/etc" "$work/p1/home/admin" "$work/p1/data"
echo "sample-guest" > "$work/p1/etc/hostname"
cat > "$work/p1/etc/fstab" <<'FSTAB'
LABEL=guestroot  /      ext4  defaults  0 1
LABEL=guestdata  /data  xfs   defaults  0 2
FSTAB
echo "Quarterly figures are in /data/reports." > "$work/p1/home/admin/notes.txt"
mkdir -p "$work/p2/reports"
for q in 1 2 3 4; do
  printf 'quarter %s: revenue %s\n' "$q" $((q * 1250)) > "$work/p2/reports/q$q.txt"
done
head -c 8M /dev/urandom > "$work/p2/reports/archive.bin"
echo "built $image"
