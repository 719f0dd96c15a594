#!/usr/bin/env bash
# Builds the full-kernel tier's initramfs: busybox-static, the init of
# initramfs_init.sh, and the named modules with those they depend on
# (from the unpacked tree's modules.dep), in load order.
#   make_initramfs.sh MODULE_DIR OUTPUT MODULE...
set -euo pipefail
moddir=$1 out=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
version=$(basename "$moddir")
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

mkdir -p "$tree"/{bin,proc,sys,dev,lower,rw,newroot} "$tree/lib/modules/$version"
cp /bin/busybox "$tree/bin/busybox"
for applet in $(busybox --list); do [[ $applet == busybox ]] || ln -s busybox "$tree/bin/$applet"; done
cp "$here/initramfs_init.sh" "$tree/init"

# Depth first over modules.dep: every module after those it needs.
declare -A done_
order=()
path_of() { awk -v n="$1" -F: '{p=$1; sub(".*/", "", p); sub("\\.ko.*", "", p); gsub("-", "_", p)
  m=n; gsub("-", "_", m); if (p == m) {print $1; exit}}' "$moddir/modules.dep"; }
visit() {
  local path=$1 dep
  [[ -n ${done_[$path]:-} ]] && return
  done_[$path]=1
  for dep in $(awk -v p="$path" -F: '$1 == p {print $2}' "$moddir/modules.dep"); do visit "$dep"; done
  order+=("$path")
}
for name in "$@"; do
  path=$(path_of "$name")
  [[ -n $path ]] || { echo "no module $name under $moddir" >&2; exit 1; }
  visit "$path"
done
for path in "${order[@]}"; do
  mkdir -p "$tree/lib/modules/$version/$(dirname "$path")"
  cp "$moddir/$path" "$tree/lib/modules/$version/$path"
  echo "/lib/modules/$version/$path" >>"$tree/modules"
done
(cd "$tree" && find . | cpio -o -H newc --quiet) >"$out"
