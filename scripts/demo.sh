#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a sample guest
# disk image is exposed by kqblkctl as a /dev/kqblk device whose data is
# recalled lazily from the image; its partitions are mounted read-only,
# browsed, and everything is taken down again. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target kqblkctl ktntfs >/dev/null

work=$(mktemp -d /tmp/kqblk-demo-XXXXXX)
ctl=""
cleanup() {
  for m in "$work"/mnt-*; do [[ -d $m ]] && mountpoint -q "$m" && umount "$m"; done
  if [[ -n $ctl ]] && kill -0 "$ctl" 2>/dev/null; then kill -INT "$ctl"; wait "$ctl" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "demo failed; kqblkctl log:"; cat "$work/kqblkctl.log" 2>/dev/null' ERR

scripts/make_sample_guest.sh "$work/guest.img"
export LD_LIBRARY_PATH="$PWD/build/readers"
export KQBLK_DRIVER_SCRIPT="$PWD/tools/unix_drv.sh"
build/tools/kqblkctl expose --store "$work/stores" --prefix demo- "$work/guest.img" \
  > "$work/ctl.out" 2> "$work/kqblkctl.log" &
ctl=$!
for _ in $(seq 300); do
  grep -q '^ready' "$work/ctl.out" && break
  kill -0 "$ctl" 2>/dev/null || { cat "$work/ctl.out" "$work/kqblkctl.log"; exit 1; }
  sleep 0.1
done
cat "$work/ctl.out"
read -r _ _ device parts < <(grep -- ' -> ' "$work/ctl.out")
for part in $parts; do
  dir="$work/mnt-${part##*/}"
  mkdir -p "$dir"
  opts=ro
  [[ $(blkid -o value -s TYPE "$part") == xfs ]] && opts=ro,norecovery
  mount -o "$opts" "$part" "$dir"
  echo "== $part ($(blkid -o value -s TYPE "$part")) mounted on $dir"
  (cd "$dir" && find . -maxdepth 3 -not -name lost+found | sort | head -20)
done
echo "== hostname: $(cat "$work"/mnt-*p1/etc/hostname)"
echo "== notes: $(cat "$work"/mnt-*p1/home/admin/notes.txt)"
echo "== recalled so far: $(du -sh "$work/stores" | cut -f1) of a $(du -h --apparent-size "$work/guest.img" | cut -f1) disk"
for m in "$work"/mnt-*; do umount "$m"; done
kill -INT "$ctl"
wait "$ctl"
tail -1 "$work/ctl.out"
echo "== devices left: $(build/tools/kqblkctl devices | wc -l)"
