// A mounted btrfs asked about its subvolumes, and one of them mounted by its
// number. Each call takes a descriptor (O_PATH will do) of a directory of
// the mounted file system; none follows a path the guest wrote.
#pragma once

#include <cstdint>
#include <string>

// The number of the top level, which every other subvolume lies below.
inline constexpr uint64_t kKqBtrfsTopLevel = 5;

// Whether the directory is the top directory of a btrfs subvolume.
bool KqBtrfsIsSubvolumeTop(int fd);
// The number of the subvolume holding the directory; false off btrfs.
bool KqBtrfsSubvolumeOf(int fd, uint64_t& id);
// The default subvolume: the one a mount without subvol= shows.
bool KqBtrfsDefaultSubvolume(int fd, uint64_t& id);
// Mounts subvolume `id` of the btrfs on `device` on the directory `dirFd`,
// nosuid, nodev, noexec, and read-only when asked. 0, or the errno.
int KqMountBtrfsSubvolume(const std::string& device, int dirFd, uint64_t id, bool readOnly);
