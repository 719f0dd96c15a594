// Subvolume paths come from the guest (its fstab, its directory names), so
// they are resolved by us inside a read-only mount of the file system's top
// level and the kernel is given only the subvolume's number: a subvol= path
// handed to the kernel would be resolved with the links the guest wrote.
#include "kqblk_btrfs_layout.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "kq_btrfs.h"
#include "kq_error.h"
#include "kq_fd.h"
#include "kq_inroot.h"
#include "kq_log.h"
#include "kq_mounts.h"
#include "kqblk_guest_root.h"
#include "kqblk_matchers.h"

namespace {

const char kFunc[] = "kqblk_btrfsLayout";
// Bounds on a walk through the guest's directories for subvolumes: its
// depth, the directories it opens and the entries it reads in all.
const size_t kMaxDepth = 4;
const size_t kMaxDirectories = 4096;
const size_t kMaxEntries = 65536;
const size_t kMaxSubvolumes = 256;

// Which subvolume an fstab entry asks for.
struct Selector {
  enum Kind { kDefault, kPath, kId, kInvalid } kind = kDefault;
  std::string path;  // without leading or trailing "/"
  uint64_t id = 0;
};

std::string normalised(const std::string& path) {
  std::string out;
  for (size_t at = 0; at < path.size();) {
    const size_t end = std::min(path.find('/', at), path.size());
    if (end > at) out += (out.empty() ? "" : "/") + path.substr(at, end - at);
    at = end + 1;
  }
  return out;
}

Selector selectorOf(const kqblk_fstab_entry& entry) {
  Selector path;
  Selector id;
  const std::string options = entry.get().mnt_opts ? entry.get().mnt_opts : "";
  for (size_t at = 0; at <= options.size();) {
    const size_t end = std::min(options.find(',', at), options.size());
    const std::string option = options.substr(at, end - at);
    at = end + 1;
    if (option.rfind("subvol=", 0) == 0) {
      path.kind = Selector::kPath;
      path.path = normalised(option.substr(7));
    } else if (option.rfind("subvolid=", 0) == 0) {
      const std::string digits = option.substr(9);
      id.kind = digits.empty() || digits.size() > 19 ||
                        digits.find_first_not_of("0123456789") != std::string::npos
                    ? Selector::kInvalid
                    : Selector::kId;
      if (id.kind == Selector::kId) id.id = std::stoull(digits);
    }
  }
  // The number decides when both are given, as with the kernel.
  return id.kind != Selector::kDefault ? id : path;
}

// subvolid=5 and subvol=/ both name the top level.
bool namesTopLevel(const Selector& s) {
  return (s.kind == Selector::kId && s.id == kKqBtrfsTopLevel) ||
         (s.kind == Selector::kPath && s.path.empty());
}

bool isBtrfsEntry(const kqblk_fstab_entry& entry) {
  return entry.get().mnt_type && std::strcmp(entry.get().mnt_type, "btrfs") == 0;
}

KqFd openDir(const std::string& path) {
  return KqFd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool heldSubvolume(const kqblk_mountpoint& record, uint64_t& id) {
  const KqFd dir = openDir(record.mountPath);
  return dir.get() >= 0 && KqBtrfsSubvolumeOf(dir.get(), id);
}

bool holdsDefault(const kqblk_mountpoint& record) {
  const KqFd dir = openDir(record.mountPath);
  uint64_t held = 0;
  uint64_t fallback = 0;
  return dir.get() >= 0 && KqBtrfsSubvolumeOf(dir.get(), held) &&
         KqBtrfsDefaultSubvolume(dir.get(), fallback) && held == fallback;
}

bool isBtrfsRecord(const kqblk_mountpoint& record) {
  uint64_t id = 0;
  return record.error.empty() && heldSubvolume(record, id);
}

std::string failure(const kqblk_mountpoint& record, const std::string& what, int error) {
  return "Failed to mount btrfs subvolume " + what + " of " + record.device + ": " +
         std::strerror(error);
}

// The top level of one btrfs, mounted read-only beside the record's own
// directory while the layout needs it, and taken down with the object.
class TopLevel {
 public:
  explicit TopLevel(const kqblk_mountpoint& record) : m_dir(record.initialMountPath + ".top") {
    if (::mkdir(m_dir.c_str(), 0700) != 0) {
      EvDebug::Error(kFunc, "mkdir %s failed: %s", m_dir.c_str(), std::strerror(errno));
      m_dir.clear();
      return;
    }
    const KqFd dir = openDir(m_dir);
    const int error = dir.get() < 0 ? errno
                                    : KqMountBtrfsSubvolume(record.device, dir.get(),
                                                            kKqBtrfsTopLevel, true);
    if (error != 0) {
      EvDebug::Error(kFunc, "%s", failure(record, "/", error).c_str());
      return;
    }
    KqMountEntry entry;
    std::string why;
    m_top.reset(KqPinMount(m_dir, entry, why));
    if (m_top.get() < 0) EvDebug::Error(kFunc, "Cannot pin %s: %s", m_dir.c_str(), why.c_str());
  }
  ~TopLevel() {
    if (m_top.get() >= 0) KqDetachPinnedMount(m_top.get());
    m_top.reset(-1);
    if (!m_dir.empty()) ::rmdir(m_dir.c_str());
  }
  TopLevel(const TopLevel&) = delete;
  TopLevel& operator=(const TopLevel&) = delete;

  int fd() const { return m_top.get(); }

  // The subvolume an entry names, resolved inside the top level.
  bool resolve(const Selector& selector, uint64_t& id) const {
    if (selector.kind == Selector::kId) {
      id = selector.id;
      return true;
    }
    if (selector.kind != Selector::kPath || fd() < 0) return false;
    std::string why;
    const KqFd found(KqOpenInRoot(fd(), selector.path.empty() ? "." : selector.path, false, why));
    return found.get() >= 0 && KqBtrfsIsSubvolumeTop(found.get()) &&
           KqBtrfsSubvolumeOf(found.get(), id);
  }

  // The first subvolume below the top level, nearest first, for which
  // `wanted` (given its path from the top) holds; "" when none does within
  // the walk's bounds.
  std::string firstSubvolume(const std::function<bool(const std::string&)>& wanted) const {
    std::deque<std::pair<std::string, size_t>> pending = {{"", 0}};
    size_t opened = 0;
    size_t subvolumes = 0;
    size_t entriesLeft = kMaxEntries;
    while (!pending.empty()) {
      const auto [path, depth] = pending.front();
      pending.pop_front();
      for (const std::string& name : childDirectories(path, entriesLeft)) {
        if (++opened > kMaxDirectories) return "";
        const std::string child = path.empty() ? name : path + "/" + name;
        const KqFd dir(::openat(fd(), child.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.get() < 0) continue;
        if (KqBtrfsIsSubvolumeTop(dir.get())) {
          if (wanted(child)) return child;
          if (++subvolumes >= kMaxSubvolumes) return "";
        }
        if (depth + 1 < kMaxDepth) pending.emplace_back(child, depth + 1);
      }
    }
    return "";
  }

 private:
  // Directory names below `path` in name order, read while `entriesLeft`
  // lasts; links are not followed.
  std::vector<std::string> childDirectories(const std::string& path, size_t& entriesLeft) const {
    std::vector<std::string> names;
    const int dir = ::openat(fd(), path.empty() ? "." : path.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return names;
    DIR* listing = ::fdopendir(dir);
    if (listing == nullptr) {
      ::close(dir);
      return names;
    }
    for (const dirent* e; entriesLeft > 0 && (e = ::readdir(listing)) != nullptr; --entriesLeft) {
      if (e->d_type == DT_DIR && std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        names.emplace_back(e->d_name);
      }
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string m_dir;
  KqFd m_top;
};

// Puts subvolume `id` on the record's directory in place of what is
// mounted there (a mount of this very device, made by the request).
bool remount(kqblk_mountpoint& record, uint64_t id, const std::string& path) {
  KqMountEntry entry;
  std::string why;
  KqFd mounted(KqPinMount(record.mountPath, entry, why));
  struct stat device;
  const std::vector<dev_t> devices =
      mounted.get() >= 0 ? KqMountBlockDevices(entry, mounted.get()) : std::vector<dev_t>();
  if (::stat(record.device.c_str(), &device) != 0 ||
      std::find(devices.begin(), devices.end(), device.st_rdev) == devices.end()) {
    EvDebug::Error(kFunc, "%s is not the mount of %s: left as it is", record.mountPath.c_str(),
                   record.device.c_str());
    return false;
  }
  struct statvfs fs;
  const bool readOnly = ::fstatvfs(mounted.get(), &fs) == 0 && (fs.f_flag & ST_RDONLY);
  const int detached = KqDetachPinnedMount(mounted.get());
  if (detached != 0) {
    EvDebug::Error(kFunc, "Cannot unmount %s: %s", record.mountPath.c_str(), std::strerror(detached));
    return false;
  }
  const KqFd dir = openDir(record.mountPath);
  const int error =
      dir.get() < 0 ? errno : KqMountBtrfsSubvolume(record.device, dir.get(), id, readOnly);
  if (error != 0) {
    record.error = failure(record, path, error);
    EvDebug::Error(kFunc, "%s", record.error.c_str());
    return false;
  }
  EvDebug::Debug(kFunc, "%s now holds subvolume %s (%llu) of %s", record.mountPath.c_str(),
                 path.c_str(), static_cast<unsigned long long>(id), record.device.c_str());
  return true;
}

// The subvolume at `path` of the top level whose own fstab mounts it on
// "/": the root of the guest.
bool isRootSubvolume(const TopLevel& top, const std::string& path, uint64_t& id) {
  std::string why;
  const KqFd tree(KqOpenInRoot(top.fd(), path, false, why));
  if (tree.get() < 0 || !KqBtrfsSubvolumeOf(tree.get(), id) || !kqblk_isGuestRoot(tree.get())) {
    return false;
  }
  try {
    for (const kqblk_fstab_entry& entry : kqblk_readGuestFstab(tree.get())) {
      if (std::strcmp(entry.get().mnt_dir, "/") != 0 || !isBtrfsEntry(entry)) continue;
      uint64_t named = 0;
      if (top.resolve(selectorOf(entry), named) && named == id) return true;
    }
  } catch (const CUxError& e) {
    EvDebug::Error(kFunc, "Not reading the fstab of subvolume %s: %s", path.c_str(),
                   e.AsString().c_str());
  }
  return false;
}

bool describes(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
               const std::list<boost::shared_ptr<KqBlkDisk>>& disks) {
  for (kqblk_device_matcher matches : kqblk_device_matchers) {
    if (matches(entry, record, disks)) return true;
  }
  return false;
}

// The records of one file system, by their device.
std::vector<kqblk_mountpoint*> recordsOf(std::list<kqblk_mountpoint>& mountPoints,
                                         const std::string& device) {
  std::vector<kqblk_mountpoint*> records;
  for (kqblk_mountpoint& record : mountPoints) {
    if (record.device == device && isBtrfsRecord(record)) records.push_back(&record);
  }
  return records;
}

// A record of its own for subvolume `id` of the btrfs of `base`.
kqblk_mountpoint subvolumeRecord(const kqblk_mountpoint& base, uint64_t id, const std::string& path) {
  kqblk_mountpoint record;
  record.device = base.device;
  record.volumeGroup = base.volumeGroup;
  record.mountPath = base.initialMountPath + "-subvol" + std::to_string(id);
  record.initialMountPath = record.mountPath;
  record.guestPath = record.mountPath.substr(record.mountPath.rfind('/'));
  if (::mkdir(record.mountPath.c_str(), 0700) != 0) {
    record.error = "mkdir " + record.mountPath + " failed. " + std::strerror(errno);
    return record;
  }
  const KqFd dir = openDir(record.mountPath);
  struct statvfs fs;
  const bool readOnly = ::statvfs(base.mountPath.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY);
  const int error =
      dir.get() < 0 ? errno : KqMountBtrfsSubvolume(record.device, dir.get(), id, readOnly);
  if (error != 0) {
    record.error = failure(record, path, error);
    ::rmdir(record.mountPath.c_str());
  }
  return record;
}

bool guestMountsTopLevel(const kqblk_mountpoint& record, const std::list<kqblk_fstab_entry>& fstab,
                         const std::list<boost::shared_ptr<KqBlkDisk>>& disks) {
  for (const kqblk_fstab_entry& entry : fstab) {
    const Selector chosen = selectorOf(entry);
    const bool topLevel =
        namesTopLevel(chosen) || (chosen.kind == Selector::kDefault && holdsDefault(record));
    if (topLevel && describes(entry, record, disks)) return true;
  }
  return false;
}

// One fstab entry that names a subvolume: mounted unless a record of its
// file system holds it already.
void mountNamedSubvolume(std::list<kqblk_mountpoint>& mountPoints, const kqblk_fstab_entry& entry,
                         const std::list<kqblk_fstab_entry>& fstab,
                         const std::list<boost::shared_ptr<KqBlkDisk>>& disks,
                         std::map<std::string, std::unique_ptr<TopLevel>>& tops) {
  const Selector selector = selectorOf(entry);
  kqblk_mountpoint* base = nullptr;
  for (kqblk_mountpoint& record : mountPoints) {
    if (isBtrfsRecord(record) && describes(entry, record, disks)) {
      base = &record;
      break;
    }
  }
  if (base == nullptr) return;
  std::unique_ptr<TopLevel>& top = tops[base->device];
  if (!top) top = std::make_unique<TopLevel>(*base);
  uint64_t id = 0;
  if (!top->resolve(selector, id)) {
    EvDebug::Error(kFunc, "No subvolume of %s is what the entry for %s names", base->device.c_str(),
                   entry.get().mnt_dir);
    return;
  }
  const std::string path = selector.kind == Selector::kPath ? "/" + selector.path
                                                           : "subvolid=" + std::to_string(id);
  kqblk_mountpoint* topLevel = nullptr;
  for (kqblk_mountpoint* record : recordsOf(mountPoints, base->device)) {
    uint64_t held = 0;
    if (!heldSubvolume(*record, held)) continue;
    if (held == id) return;
    if (held == kKqBtrfsTopLevel && !record->isRoot) topLevel = record;
  }
  // A top level that the guest itself mounts somewhere stays; one that it
  // never shows (it holds all subvolumes, snapshots too) gives way.
  if (topLevel != nullptr && !guestMountsTopLevel(*topLevel, fstab, disks)) {
    remount(*topLevel, id, path);
    return;
  }
  mountPoints.push_back(subvolumeRecord(*base, id, path));
  if (mountPoints.back().error.empty()) {
    EvDebug::Debug(kFunc, "Mounted subvolume %s of %s on %s", path.c_str(), base->device.c_str(),
                   mountPoints.back().mountPath.c_str());
  } else {
    EvDebug::Error(kFunc, "%s", mountPoints.back().error.c_str());
  }
}

}  // namespace

void kqblk_mountRootSubvolume(std::list<kqblk_mountpoint>& mountPoints) {
  for (const kqblk_mountpoint& record : mountPoints) {
    const KqFd top = openDir(record.mountPath);
    if (record.error.empty() && top.get() >= 0 && kqblk_isGuestRoot(top.get())) return;
  }
  std::vector<std::string> searched;
  for (kqblk_mountpoint& record : mountPoints) {
    if (!isBtrfsRecord(record) ||
        std::find(searched.begin(), searched.end(), record.device) != searched.end()) {
      continue;
    }
    searched.push_back(record.device);
    const TopLevel top(record);
    if (top.fd() < 0) continue;
    uint64_t id = 0;
    const std::string path =
        top.firstSubvolume([&](const std::string& candidate) { return isRootSubvolume(top, candidate, id); });
    if (path.empty()) continue;
    EvDebug::Debug(kFunc, "Subvolume /%s of %s is the guest's root", path.c_str(), record.device.c_str());
    remount(record, id, "/" + path);
    return;
  }
}

void kqblk_mountFstabSubvolumes(std::list<kqblk_mountpoint>& mountPoints,
                                const std::list<kqblk_fstab_entry>& fstab,
                                const std::list<boost::shared_ptr<KqBlkDisk>>& disks) {
  std::map<std::string, std::unique_ptr<TopLevel>> tops;
  for (const kqblk_fstab_entry& entry : fstab) {
    const Selector selector = selectorOf(entry);
    if (!isBtrfsEntry(entry) || selector.kind == Selector::kDefault) continue;
    if (selector.kind == Selector::kInvalid) {
      EvDebug::Error(kFunc, "The entry for %s names no subvolume: %s", entry.get().mnt_dir,
                     entry.get().mnt_opts);
      continue;
    }
    mountNamedSubvolume(mountPoints, entry, fstab, disks, tops);
  }
  tops.clear();
  for (kqblk_mountpoint& record : mountPoints) {
    if (!isBtrfsRecord(record)) continue;
    KqMountEntry mounted;
    std::string why;
    const KqFd pinned(KqPinMount(record.mountPath, mounted, why));
    if (pinned.get() >= 0) record.subvolume = mounted.root;
  }
}

bool kqblk_subvolumeAgrees(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record) {
  if (record.subvolume.empty()) return true;
  const Selector selector = selectorOf(entry);
  uint64_t held = 0;
  switch (selector.kind) {
    case Selector::kDefault:
      return holdsDefault(record);
    case Selector::kPath:
      return selector.path == normalised(record.subvolume);
    case Selector::kId:
      return heldSubvolume(record, held) && held == selector.id;
    case Selector::kInvalid:
      break;
  }
  return false;
}

bool kqblk_holdsChosenSubvolume(const kqblk_mountpoint& record) {
  return !record.subvolume.empty() && !holdsDefault(record);
}
