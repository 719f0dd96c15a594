// Every record unmounted, children before their parents, in two passes.
#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "kqblk_mountpoint_cleanup.h"

namespace {

const char kFunc[] = "cleanupMountPoints";
const int kPasses = 2;

// Bind mounts first, then the rest, each group in descending byte order:
// every directory comes after the directories below it.
bool unmountsFirst(const kqblk_mountpoint& a, const kqblk_mountpoint& b) {
  if (!a.bindPath.empty() || !b.bindPath.empty()) return a.bindPath.compare(b.bindPath) > 0;
  return a.mountPath.compare(b.mountPath) > 0;
}

}  // namespace

int KqBlkDiskUtils::cleanupMountPoints(std::string, std::list<kqblk_mountpoint>& mountPoints) {
  mountPoints.sort(unmountsFirst);
  for (int pass = 1;; ++pass) {
    std::list<kqblk_mountpoint> failed;
    for (kqblk_mountpoint& record : mountPoints) {
      if (cleanup_one_mtpt(record) != 0) failed.push_back(record);
    }
    mountPoints.swap(failed);
    if (mountPoints.empty()) return 0;
    EvDebug::Debug(kFunc, "[%d] attempt to cleanup mount points. size [%lu]", pass,
                   static_cast<unsigned long>(mountPoints.size()));
    if (pass >= kPasses) return 0;
  }
}
