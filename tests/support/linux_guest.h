// A phony Linux guest of two disks. Disk 1 (MBR): ext4 /boot holding an
// initramfs, the ext4 root whose /etc/fstab names /boot by UUID=, /home by
// LABEL=, /srv by /dev/sdb1 and /boot/efi by UUID= (with comments and odd
// blanks), an xfs /home and a vfat EFI partition. Disk 2: an ext4 /srv, a
// swap partition and a partition never formatted.
#pragma once

#include <memory>
#include <string>

#include "support/disk_image.h"

struct LinuxGuest {
  static constexpr const char* kRootUuid = "5b1a2c3d-4e5f-4061-8273-94a5b6c7d8e9";
  static constexpr const char* kBootUuid = "0b1a2c3d-4e5f-4061-8273-94a5b6c7d8e9";
  static constexpr const char* kSrvUuid = "2b1a2c3d-4e5f-4061-8273-94a5b6c7d8e9";
  static constexpr const char* kEfiVolumeId = "EF15-2B0C";

  explicit LinuxGuest(const std::string& directory);
  DiskImage system;  // disk 1
  DiskImage data;    // disk 2
};
