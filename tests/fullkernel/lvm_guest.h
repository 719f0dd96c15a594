// A phony Linux guest on LVM (activation needs device-mapper: built inside
// the full-kernel VM). Disk 1 (MBR): an ext4 /boot and a physical volume of
// vg_root with logical volumes root (ext4; its fstab names / and /home as
// /dev/mapper/vg_root-..., /var by its device-mapper UUID under
// /dev/disk/by-id, /data as
// /dev/mapper/my--vg-data, /boot and /boot/efi by UUID=), home (xfs), var
// (ext4) and var_snap (a snapshot of var). Disk 2 (GPT): a vfat EFI system
// partition and a physical volume of my-vg with the logical volume data (ext4).
#pragma once

#include <map>
#include <string>

#include "support/phony_guest.h"

struct LvmGuest {
  // Guest path -> content of one file on each file system.
  static const std::map<std::string, std::string>& files();

  explicit LvmGuest(const std::string& directory);
  PhonyGuest guest;
  DiskImage& system;  // disk 1
  DiskImage& data;    // disk 2
  const std::map<std::string, std::string>& groupUuids =
      guest.groupUuids;  // guest group name -> UUID
  const std::map<std::string, std::string>& pvUuids =
      guest.pvUuids;  // guest group name -> its PV's UUID
};
