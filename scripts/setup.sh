#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent, and quiet when everything is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libblkid-dev libfuse3-dev fuse3 libhivex-dev uuid-dev libssl-dev
  util-linux fdisk gdisk e2fsprogs xfsprogs btrfs-progs dosfstools ntfs-3g lvm2 psmisc udev qemu-utils
  cryptsetup-bin mdadm thin-provisioning-tools kmod
  libnbd-dev nbdkit
  qemu-system-x86 busybox-static cpio
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$p")
done
((${#missing[@]} == 0)) && exit 0

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
