#include "kqblk_engine_blockdev.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "kq_fs.h"
#include "kq_string.h"
#include "kqblk_engine_paths.h"

namespace KqBlkBlockDev {

namespace {

const int kAttachAttempts = 16;
const auto kPollStep = std::chrono::milliseconds(10);

std::string sysBlock(const Loop& loop) { return "/sys/block/" + loop.kernelName(); }

std::string sysDev(dev_t dev) {
  return FXString::Format("/sys/dev/block/%u:%u", major(dev), minor(dev));
}

bool deviceExists(dev_t dev) { return ::access(sysDev(dev).c_str(), F_OK) == 0; }

bool allDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

// Mount table fields escape blanks and backslashes as \ooo.
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string oct = field.substr(i + 1, 3);
      if (oct.find_first_not_of("01234567") == std::string::npos) {
        out += static_cast<char>(std::stoi(oct, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

struct MountEntry {
  dev_t dev = 0;
  std::string mountPoint;
};

std::vector<MountEntry> mountTable() {
  std::vector<MountEntry> entries;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devText, root, mountPoint;
    if (!(fields >> id >> parent >> devText >> root >> mountPoint)) continue;
    MountEntry entry;
    if (!parseDevNumber(devText, entry.dev)) continue;
    entry.mountPoint = unescapeMountField(mountPoint);
    entries.push_back(entry);
  }
  return entries;
}

int loopConfigure(int fd, int backingFd, const std::string& label) {
  loop_config config;
  std::memset(&config, 0, sizeof config);
  config.fd = static_cast<__u32>(backingFd);
  // Everything is set in this one call. Once attached, the device may be
  // read at once (udev probes it), and those reads wait for recalls that
  // nobody answers before the device's thread starts; an ioctl after the
  // attach (LOOP_SET_DIRECT_IO, LOOP_SET_STATUS64) freezes the queue until
  // they end: a deadlock. For the same reason no LO_FLAGS_PARTSCAN, whose
  // scan would read the device inside this call; partitions are added later.
  // Direct I/O makes the loop device hand whole requests to the FUSE file
  // instead of one page at a time; where the kernel cannot, pages it is.
  config.info.lo_flags = LO_FLAGS_DIRECT_IO;
  std::snprintf(reinterpret_cast<char*>(config.info.lo_file_name), LO_NAME_SIZE, "%s",
                label.c_str());
  if (::ioctl(fd, LOOP_CONFIGURE, &config) == 0) return 0;
  if (errno != EINVAL && errno != ENOTTY) return -errno;
  // Kernels before LOOP_CONFIGURE: attached plain, without label or direct
  // I/O, which would take the ioctls above.
  if (::ioctl(fd, LOOP_SET_FD, backingFd) != 0) return -errno;
  return 0;
}

int blkpg(const Loop& loop, const std::string& node, int op, int number, long long start,
          long long length) {
  const int fd = openDevice(loop.dev, O_RDONLY | O_CLOEXEC, node);
  if (fd < 0) return fd;
  // Checked while the descriptor pins the loop device: it cannot be freed
  // and given to another program before the ioctl.
  if (!stillHolds(loop)) {
    ::close(fd);
    return -ENXIO;
  }
  blkpg_partition part;
  std::memset(&part, 0, sizeof part);
  part.start = start;
  part.length = length;
  part.pno = number;
  blkpg_ioctl_arg arg;
  std::memset(&arg, 0, sizeof arg);
  arg.op = op;
  arg.datalen = sizeof part;
  arg.data = &part;
  const int rc = ::ioctl(fd, BLKPG, &arg) == 0 ? 0 : -errno;
  ::close(fd);
  return rc;
}

}  // namespace

std::string readSysfs(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string text;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
  return text;
}

bool parseDevNumber(const std::string& text, dev_t& dev) {
  unsigned maj = 0;
  unsigned min = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &tail) != 2) return false;
  dev = makedev(maj, min);
  return true;
}

int openDevice(dev_t dev, int flags, const std::string& preferred) {
  flags |= O_CLOEXEC;
  struct stat st;
  if (!preferred.empty() && ::lstat(preferred.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
      st.st_rdev == dev) {
    const int fd = ::open(preferred.c_str(), flags | O_NOFOLLOW);
    if (fd < 0) return -errno;
    if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev) return fd;
    ::close(fd);
  }
  // A node of our own, in a directory only root can enter.
  static std::atomic<unsigned> counter{0};
  const std::string temp = FXString::Format("%s/.node-%d-%u", KqBlkPaths::kControlDir,
                                            static_cast<int>(::getpid()), counter++);
  if (::mknod(temp.c_str(), S_IFBLK | 0600, dev) != 0) return -errno;
  const int fd = ::open(temp.c_str(), flags | O_NOFOLLOW);
  const int err = errno;
  ::unlink(temp.c_str());
  return fd >= 0 ? fd : -err;
}

CUxError makeNode(const std::string& path, dev_t dev) {
  if (::mknod(path.c_str(), S_IFBLK | 0600, dev) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot make the device node %s",
                                   path.c_str());
  }
  ::chmod(path.c_str(), 0600);
  return CUxError();
}

bool removeNode(const std::string& path, dev_t dev) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISBLK(st.st_mode)) return false;
  if (st.st_rdev != dev && deviceExists(st.st_rdev)) return false;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

CUxError attachLoop(int backingFd, const std::string& node, const std::string& label,
                    Loop& loop) {
  const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
  if (control < 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot open /dev/loop-control");
  }
  int err = EBUSY;
  for (int attempt = 0; attempt < kAttachAttempts && err == EBUSY; ++attempt) {
    const int index = ::ioctl(control, LOOP_CTL_GET_FREE);
    if (index < 0) {
      err = errno;
      break;
    }
    Loop candidate;
    candidate.index = index;
    if (!parseDevNumber(readSysfs(sysBlock(candidate) + "/dev"), candidate.dev)) {
      err = ENODEV;
      break;
    }
    CUxError made = makeNode(node, candidate.dev);
    if (made.IsError()) {
      ::close(control);
      return made;
    }
    const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
      err = errno;
      ::unlink(node.c_str());
      break;
    }
    const int rc = loopConfigure(fd, backingFd, label);
    if (rc == 0) candidate.backing = backingFile(candidate);
    ::close(fd);
    if (rc == 0) {
      ::close(control);
      loop = candidate;
      return CUxError();
    }
    err = -rc;  // EBUSY: another process took this loop device first
    ::unlink(node.c_str());
  }
  ::close(control);
  return FXErrorUtil::ErrorErrNo(FX_HERE, err, "cannot attach a loop device for %s",
                                 node.c_str());
}

std::string backingFile(const Loop& loop) { return readSysfs(sysBlock(loop) + "/loop/backing_file"); }

bool stillHolds(const Loop& loop) {
  const std::string now = backingFile(loop);
  return !now.empty() && now == loop.backing;
}

bool findLoopByBackingFile(const std::string& path, Loop& loop) {
  for (const std::string& name : listDir("/sys/block")) {
    if (name.compare(0, 4, "loop") != 0 || !allDigits(name.substr(4))) continue;
    Loop candidate;
    candidate.index = std::stoi(name.substr(4));
    if (backingFile(candidate) != path) continue;
    if (!parseDevNumber(readSysfs(sysBlock(candidate) + "/dev"), candidate.dev)) continue;
    candidate.backing = path;
    loop = candidate;
    return true;
  }
  return false;
}

CUxError detachLoop(const Loop& loop, const std::string& node, int waitMs) {
  if (!stillHolds(loop)) return CUxError();
  const int fd = openDevice(loop.dev, O_RDONLY, node);
  if (fd < 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, -fd, "cannot open loop device %s",
                                   loop.kernelName().c_str());
  }
  if (!stillHolds(loop)) {
    ::close(fd);
    return CUxError();
  }
  // A read-only mark (blockdev --setro while mounting) outlives the detach
  // and would make whoever attaches this loop device next read-only.
  const int writable = 0;
  ::ioctl(fd, BLKROSET, &writable);
  // With other openers the kernel only marks the device for detaching at
  // their last close; without, it lets go when this descriptor closes.
  const int rc = ::ioctl(fd, LOOP_CLR_FD, 0);
  const int err = errno;
  ::close(fd);
  if (rc != 0 && err != ENXIO) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, err, "cannot detach loop device %s",
                                   loop.kernelName().c_str());
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (backingFile(loop) == loop.backing) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EBUSY,
                                     "loop device %s is still open; it detaches at its last close",
                                     loop.kernelName().c_str());
    }
    std::this_thread::sleep_for(kPollStep);
  }
  return CUxError();
}

std::vector<Partition> partitions(const Loop& loop) {
  std::vector<Partition> found;
  const std::string dir = sysBlock(loop);
  const std::string prefix = loop.kernelName() + "p";
  for (const std::string& name : listDir(dir)) {
    if (name.compare(0, prefix.size(), prefix) != 0 || !allDigits(name.substr(prefix.size()))) {
      continue;
    }
    Partition part;
    part.number = std::atoi(readSysfs(dir + "/" + name + "/partition").c_str());
    if (part.number <= 0 || !parseDevNumber(readSysfs(dir + "/" + name + "/dev"), part.dev)) {
      continue;
    }
    found.push_back(part);
  }
  return found;
}

CUxError addPartition(const Loop& loop, const std::string& node, int number, long long start,
                      long long length) {
  const int rc = blkpg(loop, node, BLKPG_ADD_PARTITION, number, start, length);
  if (rc != 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, -rc, "cannot add partition %d to %s", number,
                                   loop.kernelName().c_str());
  }
  return CUxError();
}

CUxError deletePartition(const Loop& loop, const std::string& node, int number) {
  const int rc = blkpg(loop, node, BLKPG_DEL_PARTITION, number, 0, 0);
  if (rc != 0 && rc != -ENXIO) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, -rc, "cannot delete partition %d of %s", number,
                                   loop.kernelName().c_str());
  }
  return CUxError();
}

bool waitPartition(const Loop& loop, int number, std::chrono::steady_clock::time_point deadline,
                   dev_t& dev) {
  const std::string file =
      sysBlock(loop) + "/" + loop.kernelName() + "p" + std::to_string(number) + "/dev";
  for (;;) {
    if (parseDevNumber(readSysfs(file), dev)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollStep);
  }
}

std::string busyReason(const std::vector<dev_t>& devices, const std::string& node) {
  for (const MountEntry& entry : mountTable()) {
    for (dev_t dev : devices) {
      if (entry.dev == dev) {
        return FXString::Format("%u:%u is mounted on %s", major(dev), minor(dev),
                                entry.mountPoint.c_str());
      }
    }
  }
  for (dev_t dev : devices) {
    const std::vector<std::string> holders = listDir(sysDev(dev) + "/holders");
    if (!holders.empty()) {
      return FXString::Format("%u:%u is held by %s", major(dev), minor(dev),
                              holders.front().c_str());
    }
  }
  for (size_t i = 0; i < devices.size(); ++i) {
    const int fd = openDevice(devices[i], O_RDONLY | O_EXCL | O_NONBLOCK,
                              i == 0 ? node : std::string());
    if (fd >= 0) {
      ::close(fd);
    } else if (fd == -EBUSY) {
      return FXString::Format("%u:%u is in exclusive use", major(devices[i]), minor(devices[i]));
    }
  }
  return std::string();
}

bool mountedOn(const std::string& dir, dev_t& fsDev) {
  bool found = false;
  for (const MountEntry& entry : mountTable()) {
    if (entry.mountPoint == dir) {
      fsDev = entry.dev;  // the last one is the topmost
      found = true;
    }
  }
  return found;
}

bool ownedByDriver(unsigned maj, unsigned min, std::string* owner) {
  char real[PATH_MAX];
  if (::realpath(sysDev(makedev(maj, min)).c_str(), real) == nullptr) return false;
  std::string whole = real;
  if (::access((whole + "/partition").c_str(), F_OK) == 0) {
    whole = whole.substr(0, whole.rfind('/'));
  }
  const std::string kernelName = whole.substr(whole.rfind('/') + 1);
  if (kernelName.compare(0, 4, "loop") != 0 || !allDigits(kernelName.substr(4))) return false;
  std::string name;
  if (!KqBlkPaths::nameOfBackingFile(readSysfs(whole + "/loop/backing_file"), name)) return false;
  if (owner) *owner = name;
  return true;
}

std::vector<std::string> driverDevicesUnder(unsigned maj, unsigned min) {
  std::vector<std::string> names;
  std::vector<dev_t> pending{makedev(maj, min)};
  std::vector<dev_t> seen;
  // Device-mapper stacks are shallow; the bound only stops a loop.
  while (!pending.empty() && seen.size() < 256) {
    const dev_t dev = pending.back();
    pending.pop_back();
    if (std::find(seen.begin(), seen.end(), dev) != seen.end()) continue;
    seen.push_back(dev);
    std::string name;
    if (ownedByDriver(major(dev), minor(dev), &name)) {
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      continue;
    }
    const std::string slaves = sysDev(dev) + "/slaves";
    KQFindData entry;
    KQFindHandle find = KQFindFirstFile(slaves, &entry);
    if (!find) continue;
    do {
      dev_t below = 0;
      if (parseDevNumber(readSysfs(slaves + "/" + entry.name + "/dev"), below)) pending.push_back(below);
    } while (KQFindNextFile(find, &entry));
  }
  return names;
}

}  // namespace KqBlkBlockDev
