#include "fullkernel/lvm_guest.h"

namespace {

// The volume mounted at `mountPoint`, holding the guest's file `guestPath`.
PhonyVolume mounted(const FileSystemSpec& fs, const std::string& mountPoint,
                    const std::string& fstabName, const std::string& guestPath) {
  const size_t top = mountPoint == "/" ? 1 : mountPoint.size() + 1;
  return {fs, {{guestPath.substr(top), LvmGuest::files().at(guestPath)}}, mountPoint, fstabName};
}

PhonyGuestSpec lvmGuest() {
  const PhonyVolume pv{{"lvm", "", ""}};
  PhonyVolume root = mounted({"ext4", "root", ""}, "/", "/dev/mapper/vg_root-root", "/etc/hostname");
  for (const char* dir : {"dev/", "boot/", "home/", "var/", "data/"}) {
    root.files.emplace_back(dir, "");
  }
  const PhonyVolume boot = mounted({"ext4", "boot", ""}, "/boot", "UUID", "/boot/vmlinuz-guest");
  const PhonyVolume efi = mounted({"vfat", "EFI", "EF152B0C"}, "/boot/efi", "UUID",
                                  "/boot/efi/EFI/debian/grubx64.efi");
  const PhonyVolume home = mounted({"xfs", "home", ""}, "/home", "/dev/mapper/vg_root-home",
                                   "/home/admin/notes.txt");
  const PhonyVolume var = mounted({"ext4", "var", ""}, "/var", "dm-uuid",
                                  "/var/log/messages");
  const PhonyVolume data = mounted({"ext4", "data", ""}, "/data", "/dev/mapper/my--vg-data",
                                   "/data/payload.txt");
  return {{{"lvm-system.img", 480, "label: dos\n", {{"size=32M, type=83", boot}, {"type=8e", pv}}},
           {"lvm-data.img", 96, "label: gpt\n",
            {{"size=32M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B", efi},
             {"type=E6D6D379-F507-44C2-A23C-238F2A3DF928", pv}}}},
          {{"vg_root", {{0, 2}}, {{"root", "-L 64M", root}, {"home", "-L 300M", home}, {"var", "-L 32M", var}},
            {"lvcreate -y -s -L 8M -n var_snap vg_root/var"}},
           {"my-vg", {{1, 2}}, {{"data", "-L 24M", data}}}}};
}

}  // namespace

const std::map<std::string, std::string>& LvmGuest::files() {
  static const std::map<std::string, std::string> kFiles = {
      {"/etc/hostname", "lvm-guest\n"},          {"/boot/vmlinuz-guest", "kernel\n"},
      {"/boot/efi/EFI/debian/grubx64.efi", "efi\n"}, {"/home/admin/notes.txt", "at home\n"},
      {"/var/log/messages", "logged\n"},         {"/data/payload.txt", "data\n"}};
  return kFiles;
}

LvmGuest::LvmGuest(const std::string& directory)
    : guest(directory, lvmGuest()), system(guest.disk(0)), data(guest.disk(1)) {}
