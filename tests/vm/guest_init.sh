#!/bin/bash
# The full-kernel tier's second stage, PID 1 on the host's tree inside the
# VM: a fresh /run, runs /kqvm/command (the writable share) with its
# output in /kqvm/output and powers off through isa-debug-exit with its status
# (125 for anything above).
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
export DM_DISABLE_UDEV=1  # no udev here
mount -t tmpfs -o mode=0755 run /run && mkdir -m 1777 /run/lock
# This kernel's modules where modprobe looks, for what the kernel loads on demand.
mkdir -p /lib/modules && mount --bind "$KQVM_MODULES" /lib/modules
# /tmp stays the overlay's (the host's, writes kept in memory): the build
# tree the tests run from may lie below it.
mkdir -p /dev/pts /dev/shm && mount -t devpts devpts /dev/pts && mount -t tmpfs shm /dev/shm
cd /kqvm && /bin/bash ./command >output 2>&1
rc=$?
((rc > 125)) && rc=125
sync
printf "\\$(printf %03o "$rc")" | dd of=/dev/port bs=1 seek=244 count=1 2>/dev/null
echo "kqvm: isa-debug-exit did not end the machine"
sleep 5
