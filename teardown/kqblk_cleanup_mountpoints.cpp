// Every record unmounted, children before their parents, in two passes.
#include <unistd.h>

#include <string>
#include <vector>

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
  std::vector<std::string> directories;
  for (const kqblk_mountpoint& record : mountPoints) directories.push_back(record.mountPath);
  for (int pass = 1;; ++pass) {
    std::list<kqblk_mountpoint> failed;
    for (kqblk_mountpoint& record : mountPoints) {
      if (cleanup_one_mtpt(record) != 0) failed.push_back(record);
    }
    mountPoints.swap(failed);
    if (!mountPoints.empty()) {
      EvDebug::Debug(kFunc, "[%d] attempt to cleanup mount points. size [%lu]", pass,
                     static_cast<unsigned long>(mountPoints.size()));
    }
    if (mountPoints.empty() || pass >= kPasses) break;
  }
  // Unmounting a device that is mounted twice (its own directory and a bind
  // of it) takes the newer mount first, so a directory may still have been
  // covered when its record removed it. Each goes now that it is free;
  // rmdir leaves whatever is still mounted or not empty.
  for (const std::string& directory : directories) ::rmdir(directory.c_str());
  return 0;
}
