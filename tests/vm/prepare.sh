#!/usr/bin/env bash
# Makes the full-kernel tier's boot files in CACHE (default: ./vm-cache):
# Debian's stock kernel, fetched with apt-get download and unpacked with
# dpkg -x (never installed), its module index, the uncompressed kernel, and
# a busybox initramfs that carries the modules the tier loads.
# Idempotent; exits 77 with a message when the kernel cannot be fetched.
#   prepare.sh [CACHE]     prints CACHE's kernel version when done
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=$(mkdir -p "${1:-vm-cache}" && cd "${1:-vm-cache}" && pwd)
exec 9>"$cache/.lock"
flock 9

# Boot-time modules: the 9p root and its overlay; then what the tests use.
modules=(virtio_pci 9pnet_virtio 9p overlay crc32c_generic loop dm-mod dm-snapshot dm-thin-pool dm-crypt
  md-mod raid1 raid10 raid456 fuse ext4 xfs btrfs vfat nls_cp437 nls_ascii)

if [[ ! -e $cache/kernel ]]; then
  rm -rf "$cache/deb" "$cache/root" && mkdir -p "$cache/deb"
  image=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  if [[ -z $image ]] || ! (cd "$cache/deb" && apt-get download -q "$image" >/dev/null 2>&1); then
    echo "cannot fetch Debian's kernel package (linux-image-amd64: '${image:-unknown}'; no network or no apt index)" >&2
    exit 77
  fi
  dpkg -x "$cache"/deb/*.deb "$cache/root"
  rm -rf "$cache/deb"
  version=$(ls "$cache/root/lib/modules")
  busybox depmod -b "$cache/root" "$version"
  "$here/extract_vmlinux.sh" "$cache/root/boot/vmlinuz-$version" >"$cache/vmlinux" || rm -f "$cache/vmlinux"
  echo "$version" >"$cache/kernel"
fi
version=$(cat "$cache/kernel")
# The indexes kmod's modprobe reads, so that the kernel inside loads what it
# asks for (crypto algorithms, device-mapper targets) from this tree.
if [[ ! -e $cache/root/lib/modules/$version/modules.dep.bin ]]; then
  depmod -b "$cache/root" "$version"
fi
# Made again whenever the scripts that make it change.
for script in prepare.sh make_initramfs.sh initramfs_init.sh; do
  if [[ ! -e $cache/initramfs.cpio || $here/$script -nt $cache/initramfs.cpio ]]; then
    "$here/make_initramfs.sh" "$cache/root/lib/modules/$version" "$cache/initramfs.cpio" "${modules[@]}"
    break
  fi
done
echo "$version"
