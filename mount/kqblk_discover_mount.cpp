// A request's disks become mounted file systems laid out as the guest saw
// them: devices listed, btrfs copies made distinct, the guest's volume
// groups taken over, every file system mounted under the mount root, then
// the guest's own layout.
#include <algorithm>

#include "kq_error.h"
#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "kqblk_mntftr.h"
#include "kqblk_text.h"
#include "kqblk_vg.h"

namespace {
const char kFunc[] = "KqBlkDiskUtils::discoverAndMount";
const char kReadyMarker[] = "/tmp/KQBLKDISKUTIL_BLKDEVREADY.sleep";
const int kFailureCode = 774;

// Where a failure is said to come from: callers match this place.
FXCodeLocation failurePlace() {
  return FXCodeLocation(
      "static void KqBlkDiskUtils::discoverAndMount(std::string, std::string, const "
      "std::list<boost::shared_ptr<KqBlkDisk> >&, std::list<kqblk_mountpoint>&, "
      "std::list<kqblk_vg>&, bool, CUxError*, LVMConfig&)",
      "kqblk_disk_utils", 1783);
}
}  // namespace

void KqBlkDiskUtils::discoverAndMount(std::string mountRoot, std::string idPrefix,
                                      const std::list<boost::shared_ptr<KqBlkDisk>>& disks,
                                      std::list<kqblk_mountpoint>& mountPoints,
                                      std::list<kqblk_vg>& vgs, bool doMount, CUxError* err,
                                      LVMConfig& lvmConfig) {
  err->Success();
  const std::string vgPrefix = kqblk_vgprefix(idPrefix);
  // The step under way, for a failure that does not say where it happened.
  const char* step = "listing the block devices";
  try {
    std::list<std::string> devices = getBlockDevList(disks);
    step = "assembling the guest's md arrays";
    assembleArrays(devices, vgPrefix, &lvmConfig);
    step = "opening the guest's LUKS volumes";
    openLuksVolumes(devices, vgPrefix, &lvmConfig);
    step = "making btrfs copies distinct";
    processBtrFSDevices(devices, vgPrefix);
    step = "finding the guest's volume groups";
    const std::list<std::string> pvs = getPVList(devices, &lvmConfig);
    // A physical volume is never mounted itself.
    for (const std::string& pv : pvs) {
      const auto found = std::find_if(devices.begin(), devices.end(), StrMatch(pv));
      if (found != devices.end()) {
        EvDebug::Debug(kFunc, "Trimming device %s from bdlist because it is a PV", found->c_str());
        devices.erase(found);
      } else {
        EvDebug::Debug(kFunc, "Not trimming device %s from bdlist because its not a PV",
                       pv.c_str());
      }
    }
    kqblk_vgmap groups;
    getVGMap(pvs, &lvmConfig, groups);
    step = "taking over the guest's volume groups";
    renameVGs(groups, vgPrefix, &lvmConfig, vgs);
    std::map<std::string, std::string> lvs = getLVs(groups, &lvmConfig, true);
    std::for_each(lvs.begin(), lvs.end(), AddLVs(devices));
    EvDebug::debugBreak(kReadyMarker, nullptr, 0, 0, true);
    step = "mounting the file systems";
    kqblk_mountAll(devices, mountPoints, mountRoot, vgPrefix, lvs, getSkipFsck(), getKqBlkRO(), doMount);
    step = "laying out the guest's file systems";
    fixupMountPoints(mountRoot, mountPoints, disks);
  } catch (const KqException& e) {
    EvDebug::Error(kFunc, "Caught Exception [%s:%d:%s]:%s", e.getFileName().c_str(),
                   e.getLineNum(), e.getFuncName().c_str(), e.getMessage().c_str());
    *err = FXErrorUtil::ErrorWin32(failurePlace(), kFailureCode, "%s", e.getMessage().c_str());
  } catch (...) {
    // Any failure, not only ours: what was made so far stays in the lists
    // for the caller's teardown.
    const std::string what = kqCurrentExceptionText();
    EvDebug::Error(kFunc, "Failed while %s: %s", step, what.c_str());
    *err = FXErrorUtil::ErrorWin32(failurePlace(), kFailureCode, "%s failed: %s", step, what.c_str());
  }
}
