// The mount table as the kernel shows it to this process, and mounts pinned
// by a descriptor so that a step on one acts on that very mount, whatever
// later happens to the path that led to it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// One line of /proc/self/mountinfo, its escapes (\040 for a blank, ...)
// decoded. The device number is the kernel's: the file system's own, never
// what the source text claims.
struct KqMountEntry {
  int id = 0;             // the mount's id
  dev_t device = 0;       // the mounted file system's major:minor
  std::string root;       // the mounted directory of the file system (a btrfs subvolume's path)
  std::string directory;  // where it is mounted
  std::string type;
  std::string source;     // free text chosen by whoever mounted it
  std::string options;    // the mount's own options
};

// The entries in table order. False, with errno set, when the table cannot
// be opened; malformed lines are left out.
bool KqReadMountTable(std::vector<KqMountEntry>& entries);

// The mount whose root the O_PATH descriptor `fd` is, looked up by its
// mount id. 0, or with `why`: EINVAL when `fd` is no mount's root, ENOENT
// when its mount is not in this process's table (detached meanwhile),
// EXDEV when the file system's device number is not the one the table
// gives (a btrfs subvolume's own number aside), another errno when it
// cannot be told.
int KqPinnedMountEntry(int fd, KqMountEntry& entry, std::string& why);
// Opens the directory `path` (O_PATH, its last component no link) and
// looks its mount up as above: the descriptor, or -1 with errno and `why`.
int KqPinMount(const std::string& path, KqMountEntry& entry, std::string& why);

// The block devices the file system of the mount lives on: its own device
// number, or for btrfs (whose number is anonymous) every member device the
// kernel lists for it, asked through `fd` (the pinned mount) or, with -1,
// through the entry's directory provided the same mount is still there.
// Empty when it is on no block device.
std::vector<dev_t> KqMountBlockDevices(const KqMountEntry& entry, int fd);

// The device numbers that files of the pinned mount show in stat: the
// table's and, for btrfs, the one of the mounted subvolume.
std::vector<dev_t> KqMountFileDevices(const KqMountEntry& entry, int fd);

// Detaches the pinned mount (MNT_DETACH) through the descriptor itself,
// never through its path text. 0, or the errno of the failure.
int KqDetachPinnedMount(int fd);
