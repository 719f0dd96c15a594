// A phony Linux guest of two disks. Disk 1 (MBR): ext4 /boot holding an
// initramfs, the ext4 root whose /etc/fstab names /boot and /boot/efi by
// UUID=, /home by LABEL= and /srv by /dev/sdb1, an xfs /home and a vfat EFI
// partition. Disk 2: an ext4 /srv, a swap partition and a partition never
// formatted.
#pragma once

#include <string>

#include "support/phony_guest.h"

struct LinuxGuest {
  static constexpr const char* kSrvUuid = "2b1a2c3d-4e5f-4061-8273-94a5b6c7d8e9";

  explicit LinuxGuest(const std::string& directory);
  PhonyGuest guest;
  DiskImage& system;  // disk 1
  DiskImage& data;    // disk 2
};
