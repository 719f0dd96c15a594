// Readiness of a driver device: its partitions, read from the partition
// table through the device itself, registered with the kernel and given
// nodes. The kernel does not scan loop devices attached without the scan
// flag, so this is the only place partitions appear.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <thread>

#include "kq_log.h"
#include "kqblk_driver_log.h"
#include "kqblk_blkid.h"
#include "kqblk_engine.h"
#include "kqblk_engine_paths.h"

namespace {

const char kFunc[] = "KqBlkEngine::waitReady";
// The kernel's own size for an extended partition's container: two sectors,
// so that the logical partitions inside it do not overlap it.
const long long kContainerLength = 2 * 512;

struct Probe {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int result = -1;
  std::list<slice> slices;
};

// Reads the partition table on a thread of its own: the reads are recalls,
// and a source that never answers must not block the caller past its
// time-out. The thread ends by itself once the device answers or is aborted.
bool readTable(const std::string& devPath, std::chrono::steady_clock::time_point deadline,
               int& result, std::list<slice>& slices) {
  auto probe = std::make_shared<Probe>();
  std::thread([probe, devPath] {
    std::list<slice> found;
    const int rc = getPartitions(devPath.c_str(), &found);
    std::lock_guard<std::mutex> lock(probe->mutex);
    probe->result = rc;
    probe->slices.swap(found);
    probe->done = true;
    probe->finished.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(probe->mutex);
  if (!probe->finished.wait_until(lock, deadline, [&] { return probe->done; })) return false;
  result = probe->result;
  slices.swap(probe->slices);
  return true;
}

bool containsAnother(const slice& outer, const std::list<slice>& all) {
  for (const slice& inner : all) {
    if (&inner == &outer) continue;
    if (inner.startSector >= outer.startSector &&
        inner.startSector + inner.sectorCount <= outer.startSector + outer.sectorCount) {
      return true;
    }
  }
  return false;
}

}  // namespace

CUxError KqBlkEngine::waitReady(const std::string& name, uint32_t seconds) {
  std::shared_ptr<KqBlkEngineDevice> dev = find(name);
  if (!dev) return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "no device %s", name.c_str());
  auto usable = [&] { return !dev->queue.aborted() && dev->attached; };
  {
    std::lock_guard<std::mutex> lock(dev->mutex);
    if (!usable()) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "device %s is aborted", name.c_str());
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  const std::string node = KqBlkPaths::node(name);
  int result = -1;
  std::list<slice> slices;
  if (!readTable(node, deadline, result, slices)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, ETIMEDOUT,
                                   "the partition table of %s was not read within %u s",
                                   name.c_str(), seconds);
  }
  if (result != 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "cannot read the partition table of %s",
                                   name.c_str());
  }
  // Only now: the table read waits for recalls, and a destroy of this device
  // (which holds the process's create and destroy lock) must not wait for it.
  std::lock_guard<std::mutex> lock(dev->mutex);
  if (!usable()) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "device %s is aborted", name.c_str());
  }
  std::vector<KqBlkBlockDev::Partition> known = KqBlkBlockDev::partitions(dev->loop);
  for (const slice& s : slices) {
    if (s.number <= 0 || s.sectorCount == 0) continue;
    auto same = std::find_if(known.begin(), known.end(), [&](const KqBlkBlockDev::Partition& p) {
      return p.number == s.number;
    });
    dev_t partDev = 0;
    if (same != known.end()) {
      partDev = same->dev;
    } else {
      const long long start = static_cast<long long>(s.startSector) * 512;
      long long length = static_cast<long long>(s.sectorCount) * 512;
      if (containsAnother(s, slices)) length = std::min(length, kContainerLength);
      CUxError err = KqBlkBlockDev::addPartition(dev->loop, node, s.number, start, length);
      if (err.IsError()) {
        // A guest's table may be damaged (overlaps, beyond the disk's end):
        // such an entry is left out, the rest of the disk stays usable.
        EvDebug::Error(kFunc, "%s: partition %d left out: %s", name.c_str(), s.number,
                       err.AsString().c_str());
        continue;
      }
      if (!KqBlkBlockDev::waitPartition(dev->loop, s.number, deadline, partDev)) {
        return FXErrorUtil::ErrorErrNo(FX_HERE, ETIMEDOUT, "partition %d of %s did not appear",
                                       s.number, name.c_str());
      }
    }
    const std::string partNode = KqBlkPaths::partitionNode(name, s.number);
    struct stat st;
    if (::lstat(partNode.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == partDev) {
      continue;
    }
    KqBlkBlockDev::removeNode(partNode, partDev);
    CUxError err = KqBlkBlockDev::makeNode(partNode, partDev);
    if (err.IsError()) return err;
    kqDriverLog(kFunc, 2, "%s: partition %d is %s", name.c_str(), s.number,
                      partNode.c_str());
  }
  return CUxError();
}
