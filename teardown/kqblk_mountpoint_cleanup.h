// Unmounting one mount point record: retried, with the processes that hold
// it killed, and its mount directory removed afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "kqblk_mountpoint.h"

struct KqBlkUnmountTimings {
  uint32_t retryPauseMs = 5000;  // between two unmount attempts of a record
};
// Process-wide; tests shorten the pause.
extern KqBlkUnmountTimings kqblk_unmountTimings;

// Unmounts the record's bind path (resolved inside the guest root), device
// and mount path, in three attempts, and removes its mount directory. 0 when
// the file system is unmounted; otherwise the exit status of the last failed
// umount, with `error` holding its text. Status 32 after the last attempt
// counts as unmounted when nothing is mounted on the record's directories.
int cleanup_one_mtpt(kqblk_mountpoint& record);

// Kills the processes that fuser lists as holding `path`: never this
// process, PID 1 or a kernel thread. 0 when killed or when this process is
// the first holder (nothing is killed then); 1 when listing or killing failed
// or nothing could be killed.
int kill_holding_proc(std::string path);
