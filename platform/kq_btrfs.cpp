#include "kq_btrfs.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kq_fd.h"
#include "kq_inroot.h"

namespace {

const long kBtrfsMagic = 0x9123683E;

// The ioctls want a descriptor opened for reading, not an O_PATH one.
KqFd readable(int fd) { return KqFd(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)); }

bool onBtrfs(int fd) {
  struct statfs fs;
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == kBtrfsMagic;
}

}  // namespace

bool KqBtrfsIsSubvolumeTop(int fd) {
  struct stat st;
  return onBtrfs(fd) && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
         st.st_ino == BTRFS_FIRST_FREE_OBJECTID;
}

bool KqBtrfsSubvolumeOf(int fd, uint64_t& id) {
  const KqFd dir = readable(fd);
  if (dir.get() < 0 || !onBtrfs(dir.get())) return false;
  struct btrfs_ioctl_ino_lookup_args args;
  std::memset(&args, 0, sizeof args);
  args.objectid = BTRFS_FIRST_FREE_OBJECTID;
  if (::ioctl(dir.get(), BTRFS_IOC_INO_LOOKUP, &args) != 0) return false;
  id = args.treeid;
  return true;
}

bool KqBtrfsDefaultSubvolume(int fd, uint64_t& id) {
  const KqFd dir = readable(fd);
  if (dir.get() < 0 || !onBtrfs(dir.get())) return false;
  // The root tree's directory item "default" points at the default
  // subvolume; a file system that never set one has none (the top level).
  struct btrfs_ioctl_search_args args;
  std::memset(&args, 0, sizeof args);
  args.key.tree_id = BTRFS_ROOT_TREE_OBJECTID;
  args.key.min_objectid = args.key.max_objectid = BTRFS_ROOT_TREE_DIR_OBJECTID;
  args.key.min_type = args.key.max_type = BTRFS_DIR_ITEM_KEY;
  args.key.max_offset = UINT64_MAX;
  args.key.max_transid = UINT64_MAX;
  args.key.nr_items = 16;
  if (::ioctl(dir.get(), BTRFS_IOC_TREE_SEARCH, &args) != 0) return false;
  id = kKqBtrfsTopLevel;
  size_t at = 0;
  for (uint32_t i = 0; i < args.key.nr_items; ++i) {
    struct btrfs_ioctl_search_header header;
    if (at + sizeof header > sizeof args.buf) break;
    std::memcpy(&header, args.buf + at, sizeof header);
    at += sizeof header;
    if (header.len > sizeof args.buf - at) break;
    struct btrfs_dir_item item;
    if (header.type == BTRFS_DIR_ITEM_KEY && header.len >= sizeof item) {
      std::memcpy(&item, args.buf + at, sizeof item);
      const size_t nameLength = le16toh(item.name_len);
      if (nameLength == 7 && sizeof item + nameLength <= header.len &&
          std::memcmp(args.buf + at + sizeof item, "default", 7) == 0) {
        const uint64_t target = le64toh(item.location.objectid);
        if (target != 0) id = target;
        return true;
      }
    }
    at += header.len;
  }
  return true;
}

int KqMountBtrfsSubvolume(const std::string& device, int dirFd, uint64_t id, bool readOnly) {
  const std::string data = "subvolid=" + std::to_string(id);
  const unsigned long flags = MS_NOSUID | MS_NODEV | MS_NOEXEC | (readOnly ? MS_RDONLY : 0);
  return ::mount(device.c_str(), KqDescriptorPath(dirFd).c_str(), "btrfs", flags, data.c_str()) == 0
             ? 0
             : errno;
}
