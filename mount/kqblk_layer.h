// One layer found on a request's disks (a partition table, a file system,
// an LVM physical volume or group, swap, something unknown) and what became
// of it: the report that says why a partition left no usable mount.
#pragma once

#include <string>

struct kqblk_layer {
  std::string device;  // the disk, partition or logical volume; a group's /dev/NAME
  std::string layer;   // what is on it: "gpt", "ext4", "btrfs /@home", "LVM2_member", ""
  std::string done;    // "listed", "mounted", "taken over", "skipped" or "failed"
  std::string why;     // where it went ("at /home"), or why it was skipped
};
