#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a sample guest
# disk image is mounted by `kqblkctl mount` as the guest saw it (its root
# file system, with the xfs data partition at /data where the guest's fstab
# puts it), data recalled from the image only as it is read. The guest's
# files are listed at their guest paths, kqblkctl is stopped with SIGTERM,
# and the demo shows that nothing is left. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target kqblkctl ktntfs >/dev/null

work=$(mktemp -d /tmp/kqblk-demo-XXXXXX)
ctl=""
cleanup() {
  if [[ -n $ctl ]] && kill -0 "$ctl" 2>/dev/null; then kill -TERM "$ctl"; wait "$ctl" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "demo failed; kqblkctl said:"; cat "$work/ctl.err" 2>/dev/null' ERR

scripts/make_sample_guest.sh "$work/guest.img"
export LD_LIBRARY_PATH="$PWD/build/readers"
export KQBLK_DRIVER_SCRIPT="$PWD/tools/unix_drv.sh"
id=demo$$
start=$(date +%s%N)
build/tools/kqblkctl mount --id "$id" --root "$work/root" --store "$work/store" "$work/guest.img" \
  > "$work/ctl.out" 2> "$work/ctl.err" &
ctl=$!
for _ in $(seq 600); do
  grep -q '^tree: ' "$work/ctl.out" && break
  kill -0 "$ctl" 2>/dev/null || { cat "$work/ctl.out" "$work/ctl.err"; exit 1; }
  sleep 0.05
done
elapsed=$((($(date +%s%N) - start) / 1000000))
printf '== kqblkctl mount printed the tree after %d.%03d s\n' $((elapsed / 1000)) $((elapsed % 1000))
cat "$work/ctl.out"
tree=$(sed -n 's/^tree: //p' "$work/ctl.out")
echo "== the guest's tree at $tree"
(cd "$tree" && find . -maxdepth 3 -not -path './lost+found*' | sort | head -20)
echo "== /etc/hostname: $(cat "$tree/etc/hostname")"
echo "== /home/admin/notes.txt: $(cat "$tree/home/admin/notes.txt")"
echo "== /data/reports/q3.txt (xfs, placed at /data by the guest's fstab): $(cat "$tree/data/reports/q3.txt")"
echo "== recalled so far: $(du -sh "$work/store" | cut -f1) of a $(du -h --apparent-size "$work/guest.img" | cut -f1) disk"
kill -TERM "$ctl"
wait "$ctl"
ctl=""
tail -2 "$work/ctl.err"
echo "== left behind: $(build/tools/kqblkctl list | tail -n +2 | wc -l) devices," \
  "$(grep -c "$work/root" /proc/mounts || true) mounts, mount root $([[ -e $work/root ]] && echo present || echo gone)"
