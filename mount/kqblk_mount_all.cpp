// Every device of a request checked and mounted, a few at a time: each
// check (fsck, tune2fs) and mount waits mostly on its tool and on the
// backup, so the devices of a many-disk guest need not wait on each other.
#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "kqblk_mntftr.h"

namespace {

// Enough to overlap the tools' start-up and the recalls without making
// the source serve a read for every device of a large guest at once.
const size_t kMountWorkers = 4;

}  // namespace

void kqblk_mountAll(const std::list<std::string>& devices, std::list<kqblk_mountpoint>& mountPoints,
                    const std::string& mountRoot, const std::string& vgPrefix,
                    std::map<std::string, std::string>& lvVolumeGroups, bool skipFsck, bool setReadOnly,
                    bool doMount) {
  const std::vector<std::string> list(devices.begin(), devices.end());
  std::vector<std::list<kqblk_mountpoint>> records(list.size());
  std::vector<std::exception_ptr> failures(list.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next++) < list.size();) {
      try {
        // The n-th device is named and numbered as MntFtr would in turn.
        MntFtr one(records[i], mountRoot, vgPrefix, lvVolumeGroups, skipFsck, setReadOnly, doMount);
        one.count = static_cast<int>(i);
        one(list[i]);
      } catch (...) {
        failures[i] = std::current_exception();
      }
    }
  };
  std::vector<std::thread> workers;
  for (size_t w = 1; w < std::min(kMountWorkers, list.size()); ++w) workers.emplace_back(work);
  work();
  for (std::thread& t : workers) t.join();
  // Every record, also after a failure: what was mounted is the teardown's.
  for (auto& r : records) mountPoints.splice(mountPoints.end(), r);
  for (const std::exception_ptr& f : failures) {
    if (f) std::rethrow_exception(f);
  }
}
