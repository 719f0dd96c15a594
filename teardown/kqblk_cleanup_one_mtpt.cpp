// One record unmounted: its bind mount first, then the device's own mount,
// in up to three attempts. Each is pinned by a descriptor, checked to be a
// mount of a driver device (or of the record's own device, for a disk of
// this machine), and detached through that descriptor, so that
// renaming or replacing a directory on its path meanwhile changes nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kq_log.h"
#include "kq_mounts.h"
#include "kq_sleep.h"
#include "kqblk_bind_target.h"
#include "kqblk_driver_ownership.h"
#include "kqblk_mountpoint_cleanup.h"

KqBlkUnmountTimings kqblk_unmountTimings;

namespace {

const char kFunc[] = "cleanup_one_mtpt";
const int kAttempts = 3;

std::string failedText(const std::string& path, const std::string& why) {
  return "Failed to unmount " + path + ": " + why;
}

// Whether the mount holds the record's own device alone: a disk of this
// machine that the caller gave (it has no driver device), told by number.
bool onRecordsDevice(const KqMountEntry& entry, int fd, const std::string& device) {
  struct stat st;
  if (device.empty() || ::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  const std::vector<dev_t> devices = KqMountBlockDevices(entry, fd);
  return devices.size() == 1 && devices.front() == st.st_rdev;
}

// The mount pinned at `fd` (reached as `path`) detached, its holders killed
// first. 0 when done or when nothing is mounted there; else an errno, with
// `error` set.
int unmountPinned(int fd, const std::string& path, const std::string& device, std::string& error) {
  KqMountEntry entry;
  std::string why;
  const int pinned = KqPinnedMountEntry(fd, entry, why);
  if (pinned == EINVAL || pinned == ENOENT) {
    EvDebug::DebugLvl(kFunc, 2, "Nothing to unmount on %s: %s", path.c_str(), why.c_str());
    return 0;
  }
  if (pinned != 0) {
    error = failedText(path, why);
    return pinned;
  }
  if (!kqblk_isOurMount(entry, fd) && !onRecordsDevice(entry, fd, device)) {
    error = failedText(path, "what is mounted there is on no kqblk device: left alone");
    EvDebug::Error(kFunc, "%s", error.c_str());
    return EPERM;
  }
  if (kill_holding_proc(KqMountFileDevices(entry, fd), path, fd) == 2) {
    error = failedText(path, "this process holds it");
    return EBUSY;
  }
  const int detached = KqDetachPinnedMount(fd);
  if (detached != 0) error = failedText(path, std::strerror(detached));
  return detached;
}

// The record's own mount directory, pinned; -1 when there is none.
int openMountPath(const std::string& path, int& status, std::string& error) {
  if (path.empty()) return -1;
  const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT) {
    status = errno;
    error = failedText(path, std::string("cannot open it: ") + std::strerror(errno));
  }
  return fd;
}

}  // namespace

int cleanup_one_mtpt(kqblk_mountpoint& record) {
  int status = -1;
  EvDebug::DebugLvl(kFunc, 2, "%s", record.error.c_str());
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    status = 0;
    const int bindTarget = kqblk_bindTarget(record, kFunc);
    if (bindTarget >= 0) {
      const int result = unmountPinned(bindTarget, record.bindPath, record.device, record.error);
      ::close(bindTarget);
      if (result != 0) status = result;
    }
    const int own = openMountPath(record.mountPath, status, record.error);
    if (own >= 0) {
      const int result = unmountPinned(own, record.mountPath, record.device, record.error);
      ::close(own);
      if (result != 0) status = result;
    }
    if (status == 0) break;
    if (attempt < kAttempts) {
      EvDebug::Debug(kFunc, "Retrying unmount for mountpoint %s", record.mountPath.c_str());
      UXSLEEP(kqblk_unmountTimings.retryPauseMs);
      continue;
    }
    EvDebug::Debug(kFunc, "Unmount of [%s] : mountpoint %s failed after %d retries. rc %d. Err %s",
                   record.device.c_str(), record.mountPath.c_str(), kAttempts, status,
                   record.error.c_str());
  }
  const int removed = ::rmdir(record.mountPath.c_str());
  if (removed != 0) {
    EvDebug::Debug(kFunc, "rmdir %s failed, rc %d, errno %d", record.mountPath.c_str(), removed,
                   errno);
  }
  return status;
}
