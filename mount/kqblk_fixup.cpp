// The layout step after every device has been mounted on its own MountDir
// directory: decides from a configuration switch and from the file-system
// types found which guest layout applies.
#include <strings.h>

#include "kq_config.h"
#include "kq_error.h"
#include "kq_log.h"
#include "kqblk_blkid.h"
#include "kqblk_disk_utils.h"

namespace {

const char* const kFunc = "KqBlkDiskUtils::fixupMountPoints";

bool fixupSwitchedOn() {
  std::string value;
  if (!KQPlatformInfo::getString("Session", "sHLXFixupMounts", &value)) {
    EvDebug::Debug(kFunc, "Rekey [%s]->sHLXFixupMounts not found.  Assume Y", "Session");
    value = "Y";
  }
  return strcasecmp(value.c_str(), "Y") == 0 && value.size() == 1;
}

bool layOut(const std::string& mountRoot, std::list<kqblk_mountpoint>& mountPoints,
            const std::list<boost::shared_ptr<KqBlkDisk>>& disks) {
  if (mountPoints.empty()) {
    EvDebug::Debug(kFunc, "mount point list is empty. Not fixing up mountpoints.");
    return true;
  }
  if (!fixupSwitchedOn()) {
    EvDebug::Debug(kFunc, "Regkey override - Not fixing up mountpoints");
    return true;
  }

  size_t windows = 0;
  size_t other = 0;
  for (const kqblk_mountpoint& mp : mountPoints) {
    if (!mp.error.empty()) continue;
    std::string type;
    if (!kqblk_blkid(mp.device).getTag("TYPE", type)) continue;
    EvDebug::Debug(kFunc, "[%s] has file system [%s]", mp.device.c_str(), type.c_str());
    if (strcasecmp(type.c_str(), "ntfs") == 0) {
      ++windows;
    } else if (strcasecmp(type.c_str(), "vfat") != 0) {
      ++other;  // FAT volumes count for neither kind of guest
    }
  }

  if (windows > 0 && other == 0 &&
      KqBlkDiskUtils::fixupMountPoints_Windows(mountRoot, mountPoints, disks)) {
    return true;
  }
  return KqBlkDiskUtils::fixupMountPoints_Linux(mountRoot, mountPoints, disks);
}

}  // namespace

bool KqBlkDiskUtils::fixupMountPoints(const std::string& mountRoot,
                                      std::list<kqblk_mountpoint>& mountPoints,
                                      const std::list<boost::shared_ptr<KqBlkDisk>>& disks) {
  try {
    return layOut(mountRoot, mountPoints, disks);
  } catch (const KqException&) {
    throw;
  } catch (...) {
    // A caller handles one kind of failure from us: the block-id reader's
    // and the layouts' own come out as ours, saying what failed.
    throw KqException(kFunc,
                      "Failed to lay out the guest's file systems: " + kqCurrentExceptionText(),
                      "kqblk_fixup", __LINE__, -1);
  }
}
