// One file system to mount or mounted, from the moment its device is looked
// at until cleanup unmounts it; held by value in lists. Also the file-system
// type that mounting and discovery treat apart.
#pragma once

#include <string>
#include <vector>

struct kqblk_mountpoint {
  std::string device;            // block device holding the file system
  std::string initialMountPath;  // where it was first mounted; never changed
  std::string mountPath;         // where it is mounted now
  std::string volumeGroup;       // the group of a logical volume, else empty
  std::string spare1;            // unused, kept empty
  std::string spare2;            // unused, kept empty
  std::string error;             // why it is not usable; empty when mounted
  std::string bindPath;          // where it is bind-mounted into the guest tree
  std::string guestPath;         // its path in the guest tree, beginning with "/"
  bool isRoot = false;           // the guest's root file system
  bool isBound = false;          // placed into the guest tree
  // Directories made in the guest tree to place this file system (its bind
  // target, lost-and-found), as paths from the tree's top, parents first.
  std::vector<std::string> madeDirs;
  // For btrfs, the subvolume the mount holds as the kernel names it ("/",
  // "/@home"), once the layout has looked; empty for anything else.
  std::string subvolume;
  // For a file system the mount tool refused: what it said, for people
  // ("unknown filesystem type 'vfat'"); empty otherwise.
  std::string cause;
};

inline constexpr char FS_TYPE_BTRFS[] = "btrfs";
