// A request's run up to serving: its directories checked, the driver
// loaded, each disk exposed, then what is on them found, taken over,
// mounted and laid out. Any failure takes down what was made.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "kq_config.h"
#include "kq_error.h"
#include "kq_fs.h"
#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "kqblk_request_state.h"

namespace {

const char kFunc[] = "KqBlkRequest::start";

// Discovery reads process-wide settings (the configuration directory, the
// read-only switch, the LUKS keys, the layout switch): one request at a
// time sets them and discovers.
std::mutex gDiscoveryMutex;

// A failure of the run, said in one line.
struct RunFailure {
  std::string why;
};

// A directory of the request: made (0700) if missing, refused when it or a
// directory above it is a link or could be changed by a user other than root.
void prepareDirectory(const char* what, const std::string& path, bool& made) {
  struct stat st;
  made = ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
  std::string why;
  const int fd = KqOpenTrustedDir(path, true, 0700, why);
  if (fd < 0) throw RunFailure{std::string("cannot use ") + what + " " + path + ": " + why};
  ::close(fd);
}

// The mount root must be empty, on a writable file system.
void checkMountRoot(const std::string& root) {
  struct statvfs vfs;
  if (::statvfs(root.c_str(), &vfs) != 0 || (vfs.f_flag & ST_RDONLY) || ::access(root.c_str(), W_OK) != 0) {
    throw RunFailure{root + ": " + std::strerror(EROFS)};
  }
  KQFindData entry;
  if (KQFindFirstFile(root, &entry)) throw RunFailure{root + ": not empty"};
}

std::string loadDriver(std::string baseDir) {
  std::string errorText;
  if (KqBlkDiskUtils::LoadKqblkDriver(baseDir, errorText)) return std::string();
  while (!errorText.empty() && errorText.back() == '\n') errorText.pop_back();
  return "the kqblk driver cannot be loaded: " + (errorText.empty() ? std::string("no base directory") : errorText);
}

}  // namespace

bool kqblk_validRequestId(const std::string& id) {
  if (id.empty() || id.size() > 32 || id[0] == '.' || id[0] == '-') return false;
  for (char c : id) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

KqBlkRequest::KqBlkRequest(KqBlkRequestOptions options) : m(std::make_unique<State>()) {
  m->options = std::move(options);
}

KqBlkRequest::~KqBlkRequest() {
  try {
    tearDown();
  } catch (...) {
    EvDebug::Error("KqBlkRequest::~KqBlkRequest", "%s", kqCurrentExceptionText().c_str());
  }
}

void KqBlkRequest::setProgress(KqBlkProgressCallback callback) { m->progress.setCallback(std::move(callback)); }

bool KqBlkRequest::start() {
  if (m->started || m->down) {
    m->error = "a request starts once";
    return false;
  }
  m->started = true;
  m->since = std::chrono::steady_clock::now();
  State& s = *m;
  const KqBlkRequestOptions& o = s.options;
  s.progress.startTicking([&s](KqBlkProgress& p) { s.count(p); });
  try {
    s.begin(KqBlkStep::Checking);
    if (!kqblk_validRequestId(o.id)) throw RunFailure{o.id + ": not a usable request id"};
    if (o.disks.empty()) throw RunFailure{"no disk given"};
    if (o.mount) {
      prepareDirectory("the mount root", o.mountRoot, s.madeRoot);
      checkMountRoot(o.mountRoot);
    }
    prepareDirectory("the store directory", o.storeDir, s.madeStore);
    s.storeChecked = o.mount;
    // The id is ours now: what a killed request of the same id left goes.
    if (o.mount) CUxDirectory::Remove(o.storeDir + "/lvm", true, false);

    s.begin(KqBlkStep::LoadingDriver);
    const std::string driverFailure = loadDriver(o.baseDir);
    if (!driverFailure.empty()) throw RunFailure{driverFailure};
    s.cache = kqblk_sharedCache();

    for (const KqBlkDiskSource& source : o.disks) {
      s.begin(KqBlkStep::Exposing, source.path);
      try {
        std::unique_ptr<KqBlkDisk> disk = kqblk_makeDisk(source, o.storeDir, o.devicePrefix.empty() ? o.id + "-" : o.devicePrefix);
        disk->connect();
        KqBlkDisk& d = *disk;
        {
          std::lock_guard<std::mutex> lock(s.disksMutex);
          s.disks.push_back(std::move(disk));
        }
        const std::string device = d.createKqBlkDev();
        d.startThread();
        // The machine's own disk is a device already; only ours wait for the driver.
        if (!source.machineDisk) d.waitForDeviceReady();
        EvDebug::Debug(kFunc, "Exposed %s as %s", source.path.c_str(), device.c_str());
      } catch (const RunFailure&) {
        throw;
      } catch (...) {
        throw RunFailure{source.path + ": cannot expose it: " + kqCurrentExceptionText()};
      }
    }

    if (o.mount) {
      s.begin(KqBlkStep::Discovering);
      std::list<std::string> devices;
      std::list<boost::shared_ptr<KqBlkDisk>> handles;
      for (auto& d : s.disks) {
        // LVM's filter admits only our driver's nodes: a disk of this machine
        // gives its name, which no node there has, so LVM leaves it alone.
        devices.push_back(d->hasDevice() ? d->getDevPath() : d->getDiskUUID());
        handles.emplace_back(d.get(), [](KqBlkDisk*) {});
      }
      CUxError err;
      {
        std::lock_guard<std::mutex> lock(gDiscoveryMutex);
        try {
          KqBlkDiskUtils::setConfigDir(o.storeDir.c_str(), false);
          s.lvm.reset(KqBlkDiskUtils::initLVMConfig("lvm", devices));
          // What the take-over is about to change, kept to be put back before a write-back.
          for (const auto& h : handles) {
            if (o.writeBack) s.identities.push_back(kqblk_keepIdentities(h));
          }
          KqBlkDiskUtils::setKqBlkRO(o.readOnly);
          KqBlkDiskUtils::setLuksKeys(o.keys, o.writeBack);
          if (!o.layout) KQPlatformInfo::setOverride("Session", "sHLXFixupMounts", "N");
          KqBlkDiskUtils::discoverAndMount(o.mountRoot, o.id, handles, s.records, s.groups, true, &err,
                                           *s.lvm);
        } catch (...) {
          err = FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "%s", kqCurrentExceptionText().c_str());
        }
        KQPlatformInfo::clearOverride("Session", "sHLXFixupMounts");
        KqBlkDiskUtils::setLuksKeys({}, false);
      }
      if (err.IsError()) throw RunFailure{"discovery failed: " + err.AsString()};
      s.begin(KqBlkStep::Reporting);
      s.layers = KqBlkDiskUtils::reportLayers(handles, s.records, s.groups);
    }
    s.begin(KqBlkStep::Serving);
  } catch (...) {
    try {
      throw;
    } catch (const RunFailure& f) {
      s.error = f.why;
    } catch (...) {
      s.error = std::string("stopped while ") + kqblkStepName(s.at) + ": " + kqCurrentExceptionText();
    }
    s.failedAt = s.at;
    EvDebug::Error(kFunc, "Request %s failed %s: %s", o.id.c_str(), kqblkStepName(s.at), s.error.c_str());
    s.progress.stopTicking();
    const std::string failure = s.error;
    s.error = tearDown() ? failure : failure + "; " + s.error;
    return false;
  }
  s.progress.stopTicking();
  return true;
}

const KqBlkRequestOptions& KqBlkRequest::options() const { return m->options; }
const std::string& KqBlkRequest::error() const { return m->error; }
KqBlkStep KqBlkRequest::failedStep() const { return m->failedAt; }
const std::list<kqblk_mountpoint>& KqBlkRequest::records() const { return m->records; }
const std::list<kqblk_vg>& KqBlkRequest::groups() const { return m->groups; }
const std::list<kqblk_layer>& KqBlkRequest::layers() const { return m->layers; }

std::vector<std::string> KqBlkRequest::devices() const {
  std::vector<std::string> devices;
  for (const auto& d : m->disks) devices.push_back(d->hasDevice() ? d->getDevPath() : d->getDiskUUID());
  return devices;
}

std::string KqBlkRequest::tree() const {
  for (const kqblk_mountpoint& r : m->records) {
    if (r.isRoot && r.isBound) return r.mountPath;
  }
  return m->options.mountRoot;
}

void KqBlkRequest::State::count(KqBlkProgress& p) const {
  std::lock_guard<std::mutex> lock(disksMutex);
  for (const auto& d : disks) {
    p.bytesRecalled += d->recalledBytes();
    p.bytesWrittenBack += d->writtenBackBytes();
  }
}

KqBlkRecallStats KqBlkRequest::recallStats() const {
  KqBlkRecallStats stats;
  for (const auto& d : m->disks) {
    stats.extents += d->recalledExtents();
    stats.bytes += d->recalledBytes();
  }
  stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m->since).count();
  return stats;
}
