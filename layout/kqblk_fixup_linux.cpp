// The guest's own tree: every file system bind-mounted where the guest's
// fstab puts it inside the mounted root file system. Mount directories come
// from the guest, so each one is resolved inside the root (".." stops at
// its top, links are read as the guest would) and nothing outside the root
// is ever made or mounted over.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "kq_error.h"
#include "kq_fd.h"
#include "kq_inroot.h"
#include "kq_log.h"
#include "kqblk_blkid.h"
#include "kqblk_btrfs_layout.h"
#include "kqblk_disk_utils.h"
#include "kqblk_fstab.h"
#include "kqblk_guest_root.h"
#include "kqblk_matchers.h"

namespace {

const char kFunc[] = "KqBlkDiskUtils::fixupMountPoints_Linux";
const char kRootFunc[] =
    "static std::list<kqblk_mountpoint>::iterator "
    "KqBlkDiskUtils::identifyRoot(std::list<kqblk_mountpoint>&)";
const char kLostAndFound[] = "/kqlostandfound/";

bool isRootFileSystem(const std::string& mountPath) {
  KqFd top(::open(mountPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return top.get() >= 0 && kqblk_isGuestRoot(top.get());
}

// A name from the guest (a file system's UUID) becomes a directory name.
bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

std::string lostAndFoundName(const kqblk_mountpoint& record) {
  const size_t slash = record.initialMountPath.rfind('/');
  std::string name =
      slash == std::string::npos ? record.initialMountPath : record.initialMountPath.substr(slash + 1);
  if (!name.empty() && name.compare(0, 8, "MountDir") != 0) return name;
  try {
    std::string uuid;
    kqblk_blkid(record.device).getTag("UUID", uuid);
    if (plainName(uuid)) name = uuid;
  } catch (const CUxError& e) {
    EvDebug::Error(kFunc, "Caught exception %s.\n", e.AsString().c_str());
  }
  return name;
}

void logFailure(const std::string& command, const std::string& why) {
  EvDebug::Error(kFunc, "%s", ("Failed to run " + command + ":err:" + why + "\nout:").c_str());
}

// A bind path that no system call could name again (to unmount it) is refused.
bool tooLong(const kqblk_mountpoint& record, const std::string& bindPath) {
  if (bindPath.size() < PATH_MAX) return false;
  EvDebug::Error(kFunc,
                 "Not binding dev %s at a path of %zu characters: longer than a path may be",
                 record.device.c_str(), bindPath.size());
  return true;
}

// Bind-mounts `source` on `relative` inside the root, which must be some
// directory below the root: covering the whole root would hide the guest.
bool bindInRoot(int rootFd, const std::string& source, const std::string& relative,
                const std::string& bindPath) {
  const std::string command = "mount -o bind " + source + " " + bindPath;
  std::string why;
  KqFd target(KqOpenInRoot(rootFd, relative, false, why));
  struct stat top;
  struct stat st;
  if (target.get() >= 0 && ::fstat(rootFd, &top) == 0 && ::fstat(target.get(), &st) == 0 &&
      st.st_dev == top.st_dev && st.st_ino == top.st_ino) {
    why = "the target is the root file system itself";
  } else if (target.get() >= 0 && KqDescriptorTarget(target.get()).empty()) {
    // Links in the guest's tree can lead to a path too long to name: a
    // mount there could never be unmounted by its path.
    why = "the target's path is too long";
  } else if (target.get() >= 0 &&
             ::mount(source.c_str(), KqDescriptorPath(target.get()).c_str(), nullptr, MS_BIND,
                     nullptr) == 0) {
    return true;
  } else if (target.get() >= 0) {
    why = std::strerror(errno);
  }
  logFailure(command, why);
  return false;
}

// Opens `relative` inside the root, making the directories it lacks; those
// made are appended to `made`, so that teardown can take them back. Past a
// ".." what existed before cannot be told apart, so nothing there is recorded.
int openMakingDirs(int rootFd, const std::string& relative, std::vector<std::string>& made,
                   std::string& why) {
  std::vector<std::string> missing;
  std::string prefix;
  for (size_t at = 0; at <= relative.size();) {
    const size_t end = std::min(relative.find('/', at), relative.size());
    const std::string part = relative.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") break;
    prefix += "/" + part;
    if (KqFd(KqOpenInRoot(rootFd, prefix, false, why)).get() < 0) missing.push_back(prefix);
  }
  const int fd = KqOpenInRoot(rootFd, relative, true, why);
  std::string ignored;
  for (const std::string& dir : missing) {
    if (KqFd(KqOpenInRoot(rootFd, dir, false, ignored)).get() >= 0) made.push_back(dir);
  }
  return fd;
}

}  // namespace

bool kqblk_isGuestRoot(int topFd) {
  std::string why;
  KqFd fstab(KqOpenInRoot(topFd, "etc/fstab", false, why));
  struct stat st;
  if (fstab.get() < 0 || ::fstat(fstab.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return KqFd(KqOpenInRoot(topFd, "dev", false, why)).get() >= 0;
}

std::list<kqblk_fstab_entry> kqblk_readGuestFstab(int topFd) {
  std::string why;
  const int fd = KqOpenFileInRoot(topFd, "etc/fstab", why);
  if (fd < 0) {
    EvDebug::Debug(kFunc, "Not reading the guest's fstab: %s", why.c_str());
    return {};
  }
  FILE* f = ::fdopen(fd, "r");
  if (f == nullptr) {
    ::close(fd);
    return {};
  }
  const std::unique_ptr<FILE, int (*)(FILE*)> closer(f, std::fclose);
  return kqblk_fstab_reader(f).get();
}

std::list<kqblk_mountpoint>::iterator KqBlkDiskUtils::identifyRoot(
    std::list<kqblk_mountpoint>& mountPoints) {
  for (auto it = mountPoints.begin(); it != mountPoints.end(); ++it) {
    if (!it->error.empty()) continue;
    it->isRoot = isRootFileSystem(it->mountPath);
    if (it->isRoot) {
      EvDebug::Debug(kRootFunc, "%s is root.", it->device.c_str());
      return it;
    }
  }
  if (mountPoints.empty()) return mountPoints.end();
  mountPoints.front().isRoot = true;
  EvDebug::Debug(kRootFunc, "%s is root.", mountPoints.front().device.c_str());
  return mountPoints.begin();
}

bool KqBlkDiskUtils::fixupMountPoints_Linux(const std::string&,
                                            std::list<kqblk_mountpoint>& mountPoints,
                                            const std::list<boost::shared_ptr<KqBlkDisk>>& disks) {
  if (mountPoints.empty()) {
    EvDebug::Debug(kFunc, "mount point list is empty. Not fixing up mountpoints.");
    return true;
  }
  try {
    kqblk_mountRootSubvolume(mountPoints);
    const std::string rootDir = identifyRoot(mountPoints)->mountPath;
    KqFd root(::open(rootDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::list<kqblk_fstab_entry> fstab =
        root.get() >= 0 ? kqblk_readGuestFstab(root.get()) : std::list<kqblk_fstab_entry>();
    kqblk_mountFstabSubvolumes(mountPoints, fstab, disks);

    for (kqblk_mountpoint& record : mountPoints) {
      if (!record.error.empty()) continue;
      EvDebug::Debug(kFunc, "Checking dev %s", record.device.c_str());
      if (record.isRoot) {
        EvDebug::Debug(kFunc, "dev %s mounts to root file system", record.device.c_str());
        continue;
      }
      const kqblk_fstab_entry* found = nullptr;
      for (const kqblk_fstab_entry& entry : fstab) {
        if (!kqblk_subvolumeAgrees(entry, record)) continue;
        for (kqblk_device_matcher matches : kqblk_device_matchers) {
          if (matches(entry, record, disks)) {
            found = &entry;
            break;
          }
        }
        if (found) break;
      }
      if (found) {
        EvDebug::Debug(kFunc, "found dev %s in fstab and it mounts to non-root file system",
                       record.device.c_str());
        const std::string bindPath = rootDir + "/" + found->get().mnt_dir;
        if (tooLong(record, bindPath)) continue;
        record.bindPath = bindPath;
        continue;
      }
      if (kqblk_holdsChosenSubvolume(record)) {
        EvDebug::Debug(kFunc, "No fstab entry names subvolume %s of dev %s: not placed",
                       record.subvolume.c_str(), record.device.c_str());
        continue;
      }
      EvDebug::Debug(kFunc,
                     "Could not find an entry in fstab file. Bind mount dev %s to "
                     "/kqlostandfound under root file system.",
                     record.device.c_str());
      const std::string relative = kLostAndFound + lostAndFoundName(record);
      if (tooLong(record, rootDir + relative)) continue;
      std::string why;
      KqFd made(root.get() >= 0 ? openMakingDirs(root.get(), relative, record.madeDirs, why) : -1);
      if (made.get() < 0) {
        logFailure("mkdir -p " + rootDir + relative, why);
        continue;
      }
      record.bindPath = rootDir + relative;
    }

    for (const kqblk_mountpoint& record : mountPoints) {
      EvDebug::Debug(kFunc, "pre-sort device list. dev:%s, bindPath:%s",
                     record.initialMountPath.c_str(), record.bindPath.c_str());
    }
    // Parents before children, the root (no bind path) first; records that
    // failed to mount go last and take no part.
    mountPoints.sort([](const kqblk_mountpoint& a, const kqblk_mountpoint& b) {
      if (a.error.empty() != b.error.empty()) return a.error.empty();
      return a.error.empty() && a.bindPath < b.bindPath;
    });

    for (kqblk_mountpoint& record : mountPoints) {
      EvDebug::Debug(kFunc, "post-sort device list. dev:%s, bindPath:%s",
                     record.initialMountPath.c_str(), record.bindPath.c_str());
      if (!record.error.empty()) continue;
      if (record.isRoot) {
        EvDebug::Debug(kFunc, "dev %s mounts to root file system", record.device.c_str());
      } else if (record.bindPath.empty()) {
        continue;
      } else {
        const std::string relative = record.bindPath.substr(rootDir.size());
        std::string why;
        if (KqFd(KqOpenInRoot(root.get(), relative, false, why)).get() < 0) {
          EvDebug::Debug(kFunc,
                         "Bind mount destination path %s in fstab doesn't exist in root file "
                         "system. Creating this path.",
                         record.bindPath.c_str());
          if (KqFd(openMakingDirs(root.get(), relative, record.madeDirs, why)).get() < 0) {
            logFailure("mkdir -p " + record.bindPath, why);
            continue;
          }
        }
        if (!bindInRoot(root.get(), record.mountPath, relative, record.bindPath)) {
          record.bindPath.clear();
          continue;
        }
      }
      record.isBound = true;
      record.guestPath = record.isRoot ? "/" : record.bindPath.substr(rootDir.size());
      EvDebug::Debug(kFunc, "Successfully mounted %s at %s Path under root %s",
                     record.device.c_str(), record.bindPath.c_str(), record.guestPath.c_str());
    }
  } catch (const CUxError& e) {
    EvDebug::Error(kFunc, "%s", ("Unable to parse fstab." + e.AsString()).c_str());
    return false;
  }
  return true;
}
