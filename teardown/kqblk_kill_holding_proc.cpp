// Processes that keep a file system of ours busy are killed: found by the
// device numbers of the files they hold, never by a path, and killed
// through a pidfd so that a reused process id is never hit.
#include <unistd.h>

#include <cstring>

#include "kq_log.h"
#include "kq_process_holders.h"
#include "kqblk_mountpoint_cleanup.h"

namespace {
const char kFunc[] = "kill_holding_proc";
}  // namespace

int kill_holding_proc(const std::vector<dev_t>& devices, const std::string& path, int pin) {
  if (KqProcessHolds(::getpid(), devices, {pin})) {
    EvDebug::Debug(kFunc, "ODS holding mount point [%s]. Ignore", path.c_str());
    return 2;
  }
  int result = 0;
  for (const pid_t pid : KqProcessesHolding(devices)) {
    const long shown = static_cast<long>(pid);
    EvDebug::Debug(kFunc, "found process [%ld] holding mount point [%s]. kill it", shown,
                   path.c_str());
    const int killed = KqKillHolder(pid, devices, kqblk_unmountTimings.holderEndMs);
    if (killed == 0) {
      EvDebug::Debug(kFunc, "Killed holding process [%ld]", shown);
    } else if (killed == ESRCH) {
      EvDebug::Debug(kFunc, "Process [%ld] ended or let go of [%s] by itself", shown, path.c_str());
    } else if (killed == EPERM) {
      EvDebug::Debug(kFunc, "Not killing process [%ld]: init or a kernel thread", shown);
    } else {
      EvDebug::Error(kFunc, "Failed to kill holding process [%ld]: %s", shown, std::strerror(killed));
      result = 1;
    }
  }
  return result;
}
