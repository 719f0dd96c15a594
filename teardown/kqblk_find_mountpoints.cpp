// The mounts of driver devices, and of device-mapper devices built on them,
// found in the mount table: what is left to unmount after a crash.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>

#include "kq_error.h"
#include "kq_log.h"
#include "kq_mounts.h"
#include "kq_process.h"
#include "kqblk_disk_utils.h"
#include "kqblk_driver.h"
#include "kqblk_driver_ownership.h"

namespace {

const char kFile[] = "kqblk_disk_utils";

// A device-mapper device built on a driver device: dmsetup fails for
// anything that is not a device-mapper device.
bool builtOnDriverDevice(const char* function, dev_t device) {
  char command[4096];
  std::snprintf(command, sizeof command, "dmsetup deps -j %u -m %u", major(device),
                minor(device));
  std::string out;
  std::string err;
  if (KqProcess::system(command, &out, &err, 0, false) != 0) return false;
  EvDebug::DebugLvl(function, 2, "dmsetup o/p : %s", out.c_str());
  return kqblk_dependsOnDriverDevice(out);
}

}  // namespace

void KqBlkDiskUtils::getKqBlkMountPoints(std::list<kqblk_mountpoint>& mountPoints) {
  static const char* const kFunc = __PRETTY_FUNCTION__;
  mountPoints.clear();
  kqblk_requireDriverLoaded(kFunc);
  std::vector<KqMountEntry> table;
  if (!KqReadMountTable(table)) {
    const int code = errno;
    EvDebug::Error(kFunc, "Failed to open /proc/mounts : %d", code);
    throw KqException(kFunc, "Failed to open /proc/mounts", kFile, __LINE__, code);
  }
  for (const KqMountEntry& entry : table) {
    EvDebug::DebugLvl(kFunc, 2, "mnt_fsname %s\n", entry.source.c_str());
    EvDebug::DebugLvl(kFunc, 2, "mnt_dir %s\n", entry.directory.c_str());
    EvDebug::DebugLvl(kFunc, 2, "mnt_type %s\n", entry.type.c_str());
    EvDebug::DebugLvl(kFunc, 2, "mnt_opts %s\n", entry.options.c_str());
    EvDebug::DebugLvl(kFunc, 2, "mnt_freq %d\n", entry.freq);
    EvDebug::DebugLvl(kFunc, 2, "mnt_passno %d\n", entry.passno);
    struct stat st;
    if (::stat(entry.source.c_str(), &st) != 0) continue;  // proc, tmpfs and the like
    const dev_t device = S_ISBLK(st.st_mode) ? st.st_rdev : 0;
    // Also through stacks of device-mapper devices (a snapshot sits on its
    // origin, which sits on the driver device), which one level of
    // "dmsetup deps" does not see.
    const bool ours = S_ISBLK(st.st_mode) &&
                      (KqBlkDriverUnix::ownsBlockDevice(major(device), minor(device)) ||
                       !KqBlkDriverUnix::devicesUnder(major(device), minor(device)).empty());
    if (!ours && !builtOnDriverDevice(kFunc, device)) continue;
    kqblk_mountpoint record;
    record.device = entry.source;
    record.mountPath = entry.directory;
    mountPoints.push_back(record);
    EvDebug::Debug(kFunc, "Found kqblk mountpoint %s", entry.directory.c_str());
  }
}
