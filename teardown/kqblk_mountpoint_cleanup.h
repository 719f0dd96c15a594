// Unmounting one mount point record: retried, with the processes that hold
// it killed, and its mount directory removed afterwards. Every step acts on
// a mount pinned by a descriptor and found to be ours by its file system's
// device number; no path text is looked up again after that check.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "kqblk_mountpoint.h"

struct KqBlkUnmountTimings {
  uint32_t retryPauseMs = 5000;  // between two unmount attempts of a record
  uint32_t holderEndMs = 2000;   // how long a killed holder is waited for
};
// Process-wide; tests shorten the pause.
extern KqBlkUnmountTimings kqblk_unmountTimings;

// Detaches the mounts on the record's bind path (resolved inside the guest
// root) and on its mount path, each only when it is a mount of a driver
// device, in up to three attempts, and removes its mount directory. 0 when
// nothing of ours is mounted there any more; otherwise the errno of the last
// failure (EBUSY: this process holds it, EPERM: what is mounted there is not
// ours), with `error` holding its text.
int cleanup_one_mtpt(kqblk_mountpoint& record);

// Kills the processes that hold a file on one of `devices` (the file system
// pinned at `pin`, shown as `path`): never this process, PID 1 or a kernel
// thread. 0 when no other process holds it any more (or none could be
// killed because only init or kernel threads do); 1 when a kill failed; 2
// when this process holds it other than through `pin` (nothing is killed).
int kill_holding_proc(const std::vector<dev_t>& devices, const std::string& path, int pin);

// The mounts of driver devices (and of devices built on them) in the mount
// table, in table order; with includeLive false, not those of devices that
// a live process serves. Throws as getKqBlkMountPoints does.
void kqblk_findMountPoints(std::list<kqblk_mountpoint>& mountPoints, bool includeLive,
                           const char* function);
