#include "kq_mounts.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "kq_inroot.h"

namespace {

const char kMountTable[] = "/proc/self/mountinfo";
// A line holds at most a few escaped paths; anything longer is not the
// kernel's table as we know it.
const size_t kMaxLine = 64 * 1024;
const size_t kMaxFields = 64;

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < line.size() && out.size() < kMaxFields) {
    const size_t end = line.find(' ', at);
    out.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

// The kernel writes blank, tab, newline and backslash in paths as \ooo.
std::string unescaped(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string oct = field.substr(i + 1, 3);
      if (oct.find_first_not_of("01234567") == std::string::npos &&
          oct[0] <= '3') {
        out += static_cast<char>(std::strtol(oct.c_str(), nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

bool decimal(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::strtoul(text.c_str(), nullptr, 10);
  return value <= max;
}

bool deviceNumber(const std::string& text, dev_t& device) {
  const size_t colon = text.find(':');
  unsigned long maj = 0;
  unsigned long min = 0;
  if (colon == std::string::npos || !decimal(text.substr(0, colon), 0xfff, maj) ||
      !decimal(text.substr(colon + 1), 0xfffff, min)) {
    return false;
  }
  device = makedev(maj, min);
  return true;
}

// "36 35 98:0 /root /dir options [optional...] - type source superoptions"
bool parseLine(const std::string& line, KqMountEntry& entry) {
  const std::vector<std::string> f = fields(line);
  size_t separator = 6;
  while (separator < f.size() && f[separator] != "-") ++separator;
  unsigned long id = 0;
  if (separator + 2 >= f.size() || !decimal(f[0], INT_MAX, id) || !deviceNumber(f[2], entry.device)) {
    return false;
  }
  entry.id = static_cast<int>(id);
  entry.root = unescaped(f[3]);
  entry.directory = unescaped(f[4]);
  entry.options = f[5];
  entry.type = unescaped(f[separator + 1]);
  entry.source = unescaped(f[separator + 2]);
  return true;
}

bool isBtrfs(const KqMountEntry& entry) { return entry.type == "btrfs"; }

std::string sysfsText(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  return text;
}

// The member devices the kernel lists for the btrfs file system open at `fd`.
std::vector<dev_t> btrfsMembers(int fd) {
  std::vector<dev_t> members;
  const int dir = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return members;
  struct btrfs_ioctl_fs_info_args info;
  std::memset(&info, 0, sizeof info);
  const int got = ::ioctl(dir, BTRFS_IOC_FS_INFO, &info);
  ::close(dir);
  if (got != 0) return members;
  char uuid[37];
  const unsigned char* u = info.fsid;
  std::snprintf(uuid, sizeof uuid,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1],
                u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14],
                u[15]);
  const std::string devices = std::string("/sys/fs/btrfs/") + uuid + "/devices";
  DIR* d = ::opendir(devices.c_str());
  if (d == nullptr) return members;
  while (dirent* e = ::readdir(d)) {
    dev_t member = 0;
    if (e->d_name[0] != '.' && deviceNumber(sysfsText(devices + "/" + e->d_name + "/dev"), member)) {
      members.push_back(member);
    }
  }
  ::closedir(d);
  return members;
}

}  // namespace

bool KqReadMountTable(std::vector<KqMountEntry>& entries) {
  entries.clear();
  std::ifstream table(kMountTable);
  if (!table) return false;
  for (std::string line; std::getline(table, line);) {
    KqMountEntry entry;
    if (line.size() <= kMaxLine && parseLine(line, entry)) entries.push_back(entry);
  }
  return true;
}

int KqPinnedMountEntry(int fd, KqMountEntry& entry, std::string& why) {
  struct statx stx;
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_MNT_ID, &stx) != 0) {
    const int code = errno;
    why = std::string("cannot stat it: ") + std::strerror(code);
    return code;
  }
  if (!(stx.stx_mask & STATX_MNT_ID) || !(stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) {
    why = "the kernel does not say which mount it is on";
    return ENOTSUP;
  }
  if (!(stx.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
    why = "nothing is mounted on it";
    return EINVAL;
  }
  std::vector<KqMountEntry> table;
  if (!KqReadMountTable(table)) {
    const int code = errno;
    why = std::string("cannot read the mount table: ") + std::strerror(code);
    return code;
  }
  for (const KqMountEntry& candidate : table) {
    if (static_cast<uint64_t>(candidate.id) != stx.stx_mnt_id) continue;
    if (!isBtrfs(candidate) && makedev(stx.stx_dev_major, stx.stx_dev_minor) != candidate.device) {
      why = "its device number is not its mount's";
      return EXDEV;
    }
    entry = candidate;
    return 0;
  }
  why = "its mount is not in this process's mount table";
  return ENOENT;
}

int KqPinMount(const std::string& path, KqMountEntry& entry, std::string& why) {
  const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    why = std::string("cannot open it: ") + std::strerror(code);
    errno = code;
    return -1;
  }
  const int code = KqPinnedMountEntry(fd, entry, why);
  if (code != 0) {
    ::close(fd);
    errno = code;
    return -1;
  }
  return fd;
}

std::vector<dev_t> KqMountBlockDevices(const KqMountEntry& entry, int fd) {
  if (!isBtrfs(entry)) {
    if (major(entry.device) == 0) return {};  // anonymous: tmpfs, FUSE, proc and the like
    return {entry.device};
  }
  if (fd >= 0) return btrfsMembers(fd);
  KqMountEntry pinned;
  std::string why;
  const int own = KqPinMount(entry.directory, pinned, why);
  if (own < 0) return {};
  // Another mount may lie on that directory by now.
  std::vector<dev_t> members;
  if (pinned.id == entry.id) members = btrfsMembers(own);
  ::close(own);
  return members;
}

std::vector<dev_t> KqMountFileDevices(const KqMountEntry& entry, int fd) {
  std::vector<dev_t> devices{entry.device};
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_dev != entry.device) devices.push_back(st.st_dev);
  return devices;
}

int KqDetachPinnedMount(int fd) {
  // The descriptor's /proc link leads the kernel to the pinned mount itself.
  return ::umount2(KqDescriptorPath(fd).c_str(), MNT_DETACH) == 0 ? 0 : errno;
}
