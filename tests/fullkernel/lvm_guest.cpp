#include "fullkernel/lvm_guest.h"

#include <sstream>

#include "support/admin_lvm.h"
#include "support/guest_image.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/test_util.h"

namespace {
const char kEspType[] = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
const char kLvmType[] = "E6D6D379-F507-44C2-A23C-238F2A3DF928";
}  // namespace

const std::map<std::string, std::string>& LvmGuest::files() {
  static const std::map<std::string, std::string> kFiles = {
      {"/etc/hostname", "lvm-guest\n"},          {"/boot/vmlinuz-guest", "kernel\n"},
      {"/boot/efi/EFI/debian/grubx64.efi", "efi\n"}, {"/home/admin/notes.txt", "at home\n"},
      {"/var/log/messages", "logged\n"},         {"/data/payload.txt", "data\n"}};
  return kFiles;
}

LvmGuest::LvmGuest(const std::string& directory)
    : system(directory + "/lvm-system.img", 480), data(directory + "/lvm-data.img", 96) {
  system.partition("label: dos\nstart=2048, size=65536, type=83\nstart=67584, type=8e\n");
  data.partition(std::string("label: gpt\nstart=2048, size=65536, type=") + kEspType +
                 "\nstart=67584, type=" + kLvmType + "\n");
  const std::string fstab = std::string("# guest fstab on LVM\n") +
                            "/dev/mapper/vg_root-root / ext4 defaults 0 1\n" +
                            "UUID=" + kBootUuid + " /boot ext4 defaults 0 2\n" +
                            "UUID=" + kEfiVolumeId + " /boot/efi vfat umask=0077 0 1\n" +
                            "/dev/mapper/vg_root-home /home xfs defaults 0 0\n" +
                            "/dev/vg_root/var /var ext4 defaults 0 0\n" +
                            "/dev/mapper/my--vg-data /data ext4 defaults 0 0\n";
  const auto& f = files();
  auto inside = [&f](const std::string& guestPath, const std::string& mountPoint) {
    return std::make_pair(guestPath.substr(mountPoint.size()), f.at(guestPath));
  };
  LoopDevice sys(system.path());
  sys.addPartitions();
  LoopDevice dat(data.path());
  dat.addPartitions();
  const AdminLvm lvm(directory + "/lvm-admin", {sys.partitionPath(2), dat.partitionPath(2)});
  // Whatever happens, nothing stays active once the loop devices go.
  const ScopeExit deactivate([&] {
    try {
      lvm("vgchange -an vg_root my-vg");
    } catch (...) {
    }
  });
  lvm("pvcreate -y " + shellQuote(sys.partitionPath(2)) + " " + shellQuote(dat.partitionPath(2)));
  lvm("vgcreate vg_root " + shellQuote(sys.partitionPath(2)));
  lvm("vgcreate my-vg " + shellQuote(dat.partitionPath(2)));
  for (const char* lv : {"-L 64M -n root vg_root", "-L 300M -n home vg_root", "-L 32M -n var vg_root",
                         "-L 24M -n data my-vg"}) {
    lvm(std::string("lvcreate -y -Wy -Zy ") + lv);
  }
  fillFileSystem(sys.partitionPath(1), {"ext4", "boot", kBootUuid}, {inside("/boot/vmlinuz-guest", "/boot")});
  fillFileSystem("/dev/mapper/vg_root-root", {"ext4", "root", ""},
                 {{"etc/fstab", fstab}, inside("/etc/hostname", ""), {"dev/", ""}, {"boot/", ""},
                  {"home/", ""}, {"var/", ""}, {"data/", ""}});
  fillFileSystem("/dev/mapper/vg_root-home", {"xfs", "home", ""}, {inside("/home/admin/notes.txt", "/home")});
  fillFileSystem("/dev/mapper/vg_root-var", {"ext4", "var", ""}, {inside("/var/log/messages", "/var")});
  fillFileSystem("/dev/mapper/my--vg-data", {"ext4", "data", ""}, {inside("/data/payload.txt", "/data")});
  std::string serial = kEfiVolumeId;
  serial.erase(4, 1);
  fillFileSystem(dat.partitionPath(1), {"vfat", "EFI", serial},
                 {inside("/boot/efi/EFI/debian/grubx64.efi", "/boot/efi")});
  lvm("lvcreate -y -s -L 8M -n var_snap vg_root/var");
  std::istringstream groups(lvm("vgs --noheadings -o vg_name,vg_uuid"));
  std::string name, uuid;
  while (groups >> name >> uuid) groupUuids[name] = uuid;
  std::istringstream pvs(lvm("pvs --noheadings -o vg_name,pv_uuid"));
  while (pvs >> name >> uuid) pvUuids[name] = uuid;
}
