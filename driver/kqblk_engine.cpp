#include "kqblk_engine.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kq_fs.h"
#include "kq_log.h"
#include "kqblk_driver_log.h"
#include "kqblk_engine_owner.h"
#include "kqblk_engine_paths.h"
#include "kqblk_store.h"

namespace {

const char kFunc[] = "KqBlkEngine";
// How long destroy waits for the kernel to let go of a detached loop device.
const int kDetachWaitMs = 5000;
// Extents larger than one FUSE request could never be read in one piece.
const int32_t kMaxExtentSize = 1024 * 1024;

bool isDirectory(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

CUxError ensureDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) {
    ::chmod(path.c_str(), mode);  // whatever the umask
    return CUxError();
  }
  if (errno != EEXIST) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot make directory %s", path.c_str());
  }
  if (!isDirectory(path)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, ENOTDIR, "%s is not a directory", path.c_str());
  }
  return CUxError();
}

CUxError checkName(const std::string& name) {
  std::string why;
  if (!KqBlkPaths::validName(name, why)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "invalid device name: %s", why.c_str());
  }
  return CUxError();
}

CUxError checkStores(const KqBlkRecallStore* privateStore, const KqBlkRecallStore* recallStore) {
  if (privateStore == nullptr || recallStore == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "a device needs both stores");
  }
  const int32_t extent = recallStore->getExtentSize();
  if (extent <= 0 || extent > kMaxExtentSize || extent % 512 != 0 ||
      privateStore->getExtentSize() != extent) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL,
                                   "extent sizes %d (private) and %d (recall) are not usable",
                                   privateStore->getExtentSize(), extent);
  }
  if (recallStore->getSize() <= 0 || privateStore->getSize() != recallStore->getSize()) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL,
                                   "store sizes %lld (private) and %lld (recall) differ",
                                   static_cast<long long>(privateStore->getSize()),
                                   static_cast<long long>(recallStore->getSize()));
  }
  return CUxError();
}

// Nodes of the device whose kernel device is gone (a teardown that was cut
// short); nodes of existing devices are never touched here.
void removeStaleNodes(const std::string& name) {
  KqBlkBlockDev::removeNode(KqBlkPaths::node(name), 0);
  const std::string prefix = name + "p";
  KQFindData entry;
  KQFindHandle find = KQFindFirstFile(KqBlkPaths::kNodeDir, &entry);
  if (!find) return;
  do {
    if (entry.name.size() > prefix.size() && entry.name.compare(0, prefix.size(), prefix) == 0 &&
        entry.name.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
      KqBlkBlockDev::removeNode(std::string(KqBlkPaths::kNodeDir) + "/" + entry.name, 0);
    }
  } while (KQFindNextFile(find, &entry));
}

}  // namespace

KqBlkEngine& KqBlkEngine::instance() {
  // Never destroyed: devices outlive static destruction, and their server
  // threads may still block in the kernel when the process exits.
  static KqBlkEngine* engine = new KqBlkEngine();
  return *engine;
}

std::shared_ptr<KqBlkEngineDevice> KqBlkEngine::find(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_registryMutex);
  auto it = m_devices.find(name);
  return it == m_devices.end() ? nullptr : it->second;
}

void KqBlkEngine::forget(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_registryMutex);
  m_devices.erase(name);
}

CUxError KqBlkEngine::create(const std::string& name,
                             std::shared_ptr<KqBlkRecallStore> privateStore,
                             std::shared_ptr<KqBlkRecallStore> recallStore, std::string& devPath) {
  if (!isDirectory(KqBlkPaths::kControlDir)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, ENODEV,
                                   "the kqblk driver is not loaded: %s is missing",
                                   KqBlkPaths::kControlDir);
  }
  CUxError err = checkName(name);
  if (!err.IsError()) err = checkStores(privateStore.get(), recallStore.get());
  if (err.IsError()) return err;

  std::lock_guard<std::mutex> admin(m_adminMutex);
  const std::string mountDir = KqBlkPaths::mountDir(name);
  const std::string node = KqBlkPaths::node(name);
  if (find(name) || exists(mountDir) || exists(node)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EEXIST,
                                   "device %s exists already (destroy it first)", name.c_str());
  }
  err = ensureDirectory(KqBlkPaths::kDeviceRunDir, 0700);
  if (!err.IsError()) err = ensureDirectory(KqBlkPaths::kNodeDir, 0755);
  if (!err.IsError()) err = KqBlkOwner::record(name, {privateStore->getPath(), recallStore->getPath()});
  if (err.IsError()) return err;

  auto dev = std::make_shared<KqBlkEngineDevice>(name, std::move(privateStore),
                                                 std::move(recallStore));
  err = dev->queue.init();
  if (!err.IsError() && ::mkdir(mountDir.c_str(), 0700) != 0) {
    err = FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot make directory %s", mountDir.c_str());
  }
  if (err.IsError()) {
    KqBlkOwner::forget(name);
    return err;
  }
  ::chmod(mountDir.c_str(), 0700);
  err = dev->fuse.start(mountDir, &dev->io);
  if (!err.IsError()) {
    const int backing =
        ::open(KqBlkPaths::backingFile(name).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (backing < 0) {
      err = FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot open %s",
                                    KqBlkPaths::backingFile(name).c_str());
    } else {
      err = KqBlkBlockDev::attachLoop(backing, node, "kqblk:" + name, dev->loop);
      ::close(backing);  // the loop device holds its own reference
      dev->attached = !err.IsError();
    }
  }
  if (err.IsError()) {
    dev->queue.abort();
    if (dev->attached) releaseBlockDevice(name, dev->loop);
    if (!dev->fuse.stop()) m_stranded.push_back(dev);
    ::rmdir(mountDir.c_str());
    KqBlkOwner::forget(name);
    err.Push(FX_HERE, "cannot create device %s", name.c_str());
    return err;
  }
  {
    std::lock_guard<std::mutex> lock(m_registryMutex);
    m_devices[name] = dev;
  }
  devPath = node;
  kqDriverLog(kFunc, 1, "device %s is %s on %s (%lld bytes)", name.c_str(), node.c_str(),
                 dev->loop.kernelName().c_str(), static_cast<long long>(dev->io.size()));
  return CUxError();
}

CUxError KqBlkEngine::abort(const std::string& name) {
  CUxError err = checkName(name);
  if (err.IsError()) return err;
  if (auto dev = find(name)) {
    dev->queue.abort();
    kqDriverLog(kFunc, 1, "device %s aborted", name.c_str());
    return CUxError();
  }
  return abortLeftBehind(name);
}

namespace {

// What a device made by another process left on this machine.
struct LeftBehind {
  explicit LeftBehind(const std::string& name)
      : mountDir(KqBlkPaths::mountDir(name)),
        mounted(KqBlkBlockDev::mountedOn(mountDir, fsDev)),
        hasLoop(KqBlkBlockDev::findLoopByBackingFile(KqBlkPaths::backingFile(name), loop)) {}
  bool anything() const { return mounted || hasLoop || exists(mountDir); }

  std::string mountDir;
  dev_t fsDev = 0;  // of the FUSE mount
  bool mounted;
  KqBlkBlockDev::Loop loop;
  bool hasLoop;
};

}  // namespace

CUxError KqBlkEngine::abortLeftBehind(const std::string& name) {
  const LeftBehind left(name);
  if (!left.anything()) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "no device %s", name.c_str());
  }
  if (left.mounted && !kqblk_abortFuseConnection(left.fsDev)) {
    // No control entry: either the connection is gone already or the
    // control file system is missing, and then nothing can be aborted.
    dev_t controlDev = 0;
    if (!KqBlkBlockDev::mountedOn(KqBlkPaths::kFuseControlDir, controlDev)) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, ENOTSUP,
                                     "cannot abort device %s: no FUSE control file system at %s",
                                     name.c_str(), KqBlkPaths::kFuseControlDir);
    }
  }
  kqDriverLog(kFunc, 1, "device %s of another process aborted", name.c_str());
  return CUxError();
}

CUxError KqBlkEngine::checkNotBusy(const std::string& name, const KqBlkBlockDev::Loop& loop) {
  // A loop device that let go of our file may be another program's by now:
  // its users are none of ours.
  if (!KqBlkBlockDev::stillHolds(loop)) return CUxError();
  std::vector<dev_t> devices{loop.dev};
  for (const KqBlkBlockDev::Partition& part : KqBlkBlockDev::partitions(loop)) {
    devices.push_back(part.dev);
  }
  const std::string reason = KqBlkBlockDev::busyReason(devices, KqBlkPaths::node(name));
  if (!reason.empty()) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EBUSY, "device %s is busy: %s", name.c_str(),
                                   reason.c_str());
  }
  return CUxError();
}

CUxError KqBlkEngine::releaseBlockDevice(const std::string& name,
                                         const KqBlkBlockDev::Loop& loop) {
  const std::string node = KqBlkPaths::node(name);
  for (const KqBlkBlockDev::Partition& part : KqBlkBlockDev::partitions(loop)) {
    CUxError err = KqBlkBlockDev::deletePartition(loop, node, part.number);
    if (err.IsError()) return err;
    KqBlkBlockDev::removeNode(KqBlkPaths::partitionNode(name, part.number), part.dev);
  }
  CUxError err = KqBlkBlockDev::detachLoop(loop, node, kDetachWaitMs);
  KqBlkBlockDev::removeNode(node, loop.dev);
  return err;
}

CUxError KqBlkEngine::destroy(const std::string& name) {
  CUxError err = checkName(name);
  if (err.IsError()) return err;
  std::lock_guard<std::mutex> admin(m_adminMutex);
  auto dev = find(name);
  if (!dev) return destroyLeftBehind(name);
  std::lock_guard<std::mutex> lock(dev->mutex);
  if (dev->attached) {
    err = checkNotBusy(name, dev->loop);
    if (err.IsError()) return err;
    // Whoever still waits for a recall would keep the loop device open.
    dev->queue.abort();
    err = releaseBlockDevice(name, dev->loop);
    if (err.IsError()) return err;
    dev->attached = false;
  }
  if (!dev->fuse.stop()) m_stranded.push_back(dev);
  const std::string mountDir = KqBlkPaths::mountDir(name);
  if (::rmdir(mountDir.c_str()) != 0 && errno != ENOENT) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot remove %s", mountDir.c_str());
  }
  forget(name);
  KqBlkOwner::forget(name);
  kqDriverLog(kFunc, 1, "device %s destroyed", name.c_str());
  return CUxError();
}

CUxError KqBlkEngine::destroyLeftBehind(const std::string& name) {
  const LeftBehind left(name);
  if (!left.anything()) {
    removeStaleNodes(name);
    KqBlkOwner::forget(name);
    return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "no device %s", name.c_str());
  }
  if (left.hasLoop) {
    CUxError err = checkNotBusy(name, left.loop);
    if (err.IsError()) return err;
  }
  // Its server may be alive but stuck: end its connection so that nothing
  // below waits for it.
  if (left.mounted) kqblk_abortFuseConnection(left.fsDev);
  if (left.hasLoop) {
    CUxError err = releaseBlockDevice(name, left.loop);
    if (err.IsError()) return err;
  }
  if (left.mounted && ::umount2(left.mountDir.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0 &&
      errno != EINVAL) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot unmount %s", left.mountDir.c_str());
  }
  if (::rmdir(left.mountDir.c_str()) != 0 && errno != ENOENT) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot remove %s", left.mountDir.c_str());
  }
  removeStaleNodes(name);
  KqBlkOwner::forget(name);
  kqDriverLog(kFunc, 1, "device %s of another process destroyed", name.c_str());
  return CUxError();
}
