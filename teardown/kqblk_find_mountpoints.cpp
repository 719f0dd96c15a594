// The mounts of driver devices, and of device-mapper devices built on them,
// found in the mount table: what is left to unmount after a crash. A mount
// is ours by its file system's device number, which the kernel gives; its
// source text is whatever its maker chose.
#include <sys/sysmacros.h>

#include <cerrno>

#include "kq_error.h"
#include "kq_log.h"
#include "kq_mounts.h"
#include "kqblk_disk_utils.h"
#include "kqblk_driver_ownership.h"
#include "kqblk_mountpoint_cleanup.h"

namespace {

const char kFile[] = "kqblk_disk_utils";

bool ours(const KqMountEntry& entry, bool includeLive) {
  return kqblk_isOurMount(entry, -1) && (includeLive || !kqblk_isLiveMount(entry, -1));
}

}  // namespace

void kqblk_findMountPoints(std::list<kqblk_mountpoint>& mountPoints, bool includeLive,
                           const char* function) {
  mountPoints.clear();
  kqblk_requireDriverLoaded(function);
  std::vector<KqMountEntry> table;
  if (!KqReadMountTable(table)) {
    const int code = errno;
    EvDebug::Error(function, "Failed to open /proc/self/mountinfo : %d", code);
    throw KqException(function, "Failed to open /proc/self/mountinfo", kFile, __LINE__, code);
  }
  for (const KqMountEntry& entry : table) {
    EvDebug::DebugLvl(function, 2, "mnt_fsname %s\n", entry.source.c_str());
    EvDebug::DebugLvl(function, 2, "mnt_dir %s\n", entry.directory.c_str());
    EvDebug::DebugLvl(function, 2, "mnt_type %s\n", entry.type.c_str());
    EvDebug::DebugLvl(function, 2, "mnt_opts %s\n", entry.options.c_str());
    EvDebug::DebugLvl(function, 2, "mnt_dev %u:%u\n", major(entry.device), minor(entry.device));
    if (!ours(entry, includeLive)) continue;
    kqblk_mountpoint record;
    record.device = entry.source;
    record.mountPath = entry.directory;
    mountPoints.push_back(record);
    EvDebug::Debug(function, "Found kqblk mountpoint %s", entry.directory.c_str());
  }
}

void KqBlkDiskUtils::getKqBlkMountPoints(std::list<kqblk_mountpoint>& mountPoints) {
  static const char* const kFunc = __PRETTY_FUNCTION__;
  kqblk_findMountPoints(mountPoints, true, kFunc);
}
