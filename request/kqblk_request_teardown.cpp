// A request taken down in the order each layer needs: mounts (children
// first), volume groups given back their guest names, md arrays and LUKS
// volumes, the write-back once nothing uses the disks, then the devices,
// all at once, so that their settle times overlap.
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "kq_error.h"
#include "kq_fs.h"
#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "kqblk_made_dirs.h"
#include "kqblk_request_state.h"

namespace {

const char kFunc[] = "KqBlkRequest::tearDown";

// Runs one step, saying why when it threw; what it leaves shows in the
// step's own result.
template <typename Step>
void guarded(const char* what, std::vector<std::string>& stays, Step step) {
  try {
    step();
  } catch (...) {
    stays.push_back(std::string("taking down ") + what + " failed: " + kqCurrentExceptionText());
  }
}

// Unmounts `records`, each record's children first; a write-back then
// takes back the directories made for each once it is free. False when
// one stays mounted.
bool unmount(const KqBlkRequestOptions& o, std::list<kqblk_mountpoint> records, const std::string& tree,
             std::vector<std::string>& stays) {
  records.sort([](const kqblk_mountpoint& a, const kqblk_mountpoint& b) {
    return a.bindPath.compare(b.bindPath) > 0;
  });
  bool clean = true;
  for (const kqblk_mountpoint& record : records) {
    std::list<kqblk_mountpoint> one{record};
    guarded("the mounts", stays, [&] { KqBlkDiskUtils::cleanupMountPoints(o.mountRoot, one); });
    for (const kqblk_mountpoint& m : one) {
      stays.push_back("still mounted: " + m.mountPath + " (" + m.error + ")");
      clean = false;
    }
    if (one.empty() && o.writeBack) kqblk_removeMadeDirs(tree, record.madeDirs);
  }
  return clean;
}

}  // namespace

bool KqBlkRequest::tearDown() {
  State& s = *m;
  if (s.down) return s.downClean;
  s.down = true;
  std::vector<std::string> stays;
  s.progress.startTicking([&s](KqBlkProgress& p) { s.count(p); });
  s.takeDown(stays);
  s.progress.beginQuietly(KqBlkStep::Done);
  s.progress.stopTicking();
  s.downClean = stays.empty();
  if (!s.downClean) {
    std::string all;
    for (const std::string& line : stays) {
      EvDebug::Error(kFunc, "Request %s: %s", s.options.id.c_str(), line.c_str());
      all += (all.empty() ? "" : "; ") + line;
    }
    s.error = all;
  }
  return s.downClean;
}

void KqBlkRequest::State::takeDown(std::vector<std::string>& stays) {
  const KqBlkRequestOptions& o = options;
  size_t before = stays.size();
  // Records with an error were never mounted: nothing to unmount.
  std::list<kqblk_mountpoint> others, root;
  std::vector<std::string> made;
  for (const kqblk_mountpoint& r : records) {
    if (!r.error.empty()) continue;
    (r.isRoot ? root : others).push_back(r);
    made.insert(made.end(), r.madeDirs.begin(), r.madeDirs.end());
  }
  if (!records.empty()) progress.beginQuietly(KqBlkStep::Unmounting);
  const std::string tree = root.empty() ? std::string() : root.front().mountPath;
  bool clean = unmount(o, others, tree, stays);
  // A directory shared by several (the lost-and-found) goes once all are free.
  if (clean && o.writeBack) kqblk_removeMadeDirs(tree, made);
  clean = unmount(o, root, tree, stays) && clean;
  if (lvm && !groups.empty()) {
    progress.beginQuietly(KqBlkStep::ReleasingGroups);
    // The guest's own names back, or exported where a name is taken.
    bool released = false;
    guarded("the volume groups", stays, [&] {
      released = KqBlkDiskUtils::cleanupVGs(groups, lvm.get(), true) == 0 ||
                 KqBlkDiskUtils::cleanupVGs(groups, lvm.get(), false) == 0;
    });
    if (!released) {
      for (const kqblk_vg& g : groups) stays.push_back("volume group " + g.name + " not released");
    }
  }
  if (!disks.empty()) progress.beginQuietly(KqBlkStep::StoppingStacked);
  // Arrays stopped and LUKS volumes closed, so that the disks are free.
  for (auto& d : disks) {
    if (d->hasDevice() && !KqBlkDiskUtils::takeDownStackedDevices(d->getDevPath())) {
      stays.push_back(d->getDevPath() + ": an md array or LUKS volume on it stays");
    }
  }
  if (o.writeBack) {
    const bool inUse = stays.size() != before;
    for (size_t i = 0; i < disks.size(); ++i) {
      KqBlkDisk& d = *disks[i];
      progress.beginQuietly(KqBlkStep::WritingBack, d.getDiskPath());
      // A disk whose own identity cannot be put back keeps its changes.
      std::string why = inUse ? "the disks are still in use" : std::string();
      if (!inUse && i < identities.size()) kqblk_restoreIdentities(identities[i], why);
      bool written = false;
      if (why.empty()) guarded("the write-back", stays, [&] { written = d.writeBackChanges(); });
      if (!written) {
        stays.push_back(d.getDiskPath() + ": the changes were not written back" + (why.empty() ? "" : ": ") + why);
      }
    }
  }
  if (!disks.empty()) progress.beginQuietly(KqBlkStep::RemovingDevices);
  // Each disk's abort settles on its own thread: the disks go at once.
  std::vector<std::string> failures(disks.size());
  std::vector<std::thread> removals;
  for (size_t i = 0; i < disks.size(); ++i) {
    removals.emplace_back([this, i, &failures] {
      KqBlkDisk& d = *disks[i];
      try {
        d.stopThread();
        if (d.hasDevice()) d.destroyKqBlkDev();
      } catch (...) {
        failures[i] = d.getDiskPath() + ": " + kqCurrentExceptionText();
      }
    });
  }
  for (std::thread& t : removals) t.join();
  for (const std::string& f : failures) {
    if (!f.empty()) stays.push_back(f);
  }
  lvm.reset();
  cache.reset();
  if (storeChecked) CUxDirectory::Remove(o.storeDir + "/lvm", true, false);
  if (madeStore) ::rmdir(o.storeDir.c_str());
  if (madeRoot) ::rmdir(o.mountRoot.c_str());
}
