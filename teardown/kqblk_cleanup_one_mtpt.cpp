// One record unmounted: its bind mount first, then the device's own mount,
// by device or else by mount path, in up to three attempts.
#include <unistd.h>

#include <cerrno>

#include "kq_log.h"
#include "kq_mounts.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kq_sleep.h"
#include "kqblk_bind_target.h"
#include "kqblk_mountpoint_cleanup.h"
#include "kqblk_text.h"

KqBlkUnmountTimings kqblk_unmountTimings;

namespace {

const char kFunc[] = "cleanup_one_mtpt";
const int kAttempts = 3;
const int kStatusNotUnmounted = 32;  // umount's status for every failure, "not mounted" included

// umount must take a path: a word that starts with "-" would be an option.
bool usablePath(const std::string& path) { return !path.empty() && path[0] == '/'; }

}  // namespace

int cleanup_one_mtpt(kqblk_mountpoint& record) {
  int status = -1;
  EvDebug::DebugLvl(kFunc, 2, "%s", record.error.c_str());
  const std::string bindTarget = kqblk_bindTarget(record, kFunc);
  const std::string paths[] = {bindTarget, record.device, record.mountPath};
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    for (const std::string& path : paths) {
      if (!usablePath(path)) continue;
      const bool onBindPath = &path == &paths[0];
      const std::string command = "umount " + KqShellQuote(path);
      std::string out;
      std::string err;
      status = KqProcess::system(command, &out, &err, 0, false);
      if (status != 0) {
        record.error = kqblk_failedCmdText(command, err, out);
        kill_holding_proc(path);
        continue;
      }
      // With the bind mount gone, the device's own mount is still to go.
      if (!onBindPath) break;
    }
    if (status == 0) break;
    if (attempt < kAttempts) {
      EvDebug::Debug(kFunc, "Retrying unmount for mountpoint %s", record.mountPath.c_str());
      UXSLEEP(kqblk_unmountTimings.retryPauseMs);
      continue;
    }
    EvDebug::Debug(kFunc, "Unmount of [%s] : mountpoint %s failed after %d retries. rc %d. Err %s",
                   record.device.c_str(), record.mountPath.c_str(), kAttempts, status,
                   record.error.c_str());
    if (status == kStatusNotUnmounted && !KqIsMountedOn(record.mountPath) &&
        (bindTarget.empty() || !KqIsMountedOn(bindTarget))) {
      EvDebug::Debug(kFunc, "Ignoring error 32 during unmount of [%s] : mountpoint %s",
                     record.device.c_str(), record.mountPath.c_str());
      status = 0;
    }
  }
  const int removed = ::rmdir(record.mountPath.c_str());
  if (removed != 0) {
    EvDebug::Debug(kFunc, "rmdir %s failed, rc %d, errno %d", record.mountPath.c_str(), removed,
                   errno);
  }
  return status;
}
