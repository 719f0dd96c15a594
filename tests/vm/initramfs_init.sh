#!/bin/sh
# The full-kernel tier's first stage: loads the modules, puts a tmpfs
# overlay on the host's root (read-only over 9p), mounts the writable share
# at /kqvm and hands over to KQVM_STAGE2 there.
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules); do insmod "$m" || echo "kqvm: insmod $m failed"; done
opts=trans=virtio,version=9p2000.L,msize=512000
mount -t 9p -o "$opts,cache=loose,ro" hostroot /lower &&
  mount -t tmpfs -o mode=0755 rw /rw && mkdir /rw/upper /rw/work &&
  mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work root /newroot &&
  mkdir -p /newroot/kqvm && mount -t 9p -o "$opts" share /newroot/kqvm || {
  echo "kqvm: cannot mount the host's root"
  printf '\176' | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
}
for d in proc sys dev; do mount --move "/$d" "/newroot/$d"; done
exec switch_root /newroot "$KQVM_STAGE2"
