#include "support/linux_guest.h"

namespace {

PhonyGuestSpec linuxGuest() {
  const PhonyFiles rootFiles = {{"etc/hostname", "phony-linux\n"}, {"dev/", ""}, {"home/", ""},
                                {"srv/", ""}, {"boot/", ""}};
  const PhonyFiles srvFiles = {{"www/index.html", "served\n"}};
  return {{{"system.img", 420, "label: dos\nlabel-id: 0x5eed1e55\n",
            {{"size=32M, type=83", {{"ext4", "boot", ""}, {{"initramfs-6.1.0-guest.img", "initrd"}},
                                    "/boot", "UUID"}},
             {"size=64M, type=83", {{"ext4", "root", ""}, rootFiles, "/", "UUID"}},
             // xfs wants 300 MiB.
             {"size=303M, type=83", {{"xfs", "home", ""}, {{"admin/notes.txt", "at home\n"}},
                                     "/home", "LABEL"}},
             {"type=ef", {{"vfat", "EFI", "EF152B0C"}, {}, "/boot/efi", "UUID"}}}},
           {"data.img", 24, "label: dos\n",
            {{"size=14M, type=83",
              {{"ext4", "srv", LinuxGuest::kSrvUuid}, srvFiles, "/srv", "/dev/sdb1"}},
             {"size=4M, type=82", {{"swap", "", ""}}},
             {"type=83", {}}}}}};
}

}  // namespace

LinuxGuest::LinuxGuest(const std::string& directory)
    : guest(directory, linuxGuest()), system(guest.disk(0)), data(guest.disk(1)) {}
