#include "support/linux_guest.h"

#include "support/guest_image.h"
#include "support/loop_device.h"
#include "support/run_tool.h"

LinuxGuest::LinuxGuest(const std::string& directory)
    : system(directory + "/system.img", 420), data(directory + "/data.img", 24) {
  system.partition(
      "label: dos\nlabel-id: 0x5eed1e55\n"
      "start=2048, size=65536, type=83\n"    // /boot, 32 MiB
      "start=67584, size=131072, type=83\n"  // /, 64 MiB
      "start=198656, size=620544, type=83\n"  // /home, xfs wants 300 MiB
      "start=819200, type=ef\n");            // /boot/efi
  data.partition(
      "label: dos\n"
      "start=2048, size=28672, type=83\n"  // /srv
      "start=30720, size=8192, type=82\n"  // swap
      "start=38912, type=83\n");           // never formatted
  const std::string fstab = std::string("# /etc/fstab: static file system information\n\n") +
                            "UUID=" + kRootUuid + "  /  ext4  errors=remount-ro 0 1\n" +
                            "UUID=" + kBootUuid + "\t/boot\text4 defaults 0 2\n" +
                            "   LABEL=home   /home xfs defaults 0 0  \n" +
                            "/dev/sdb1 /srv ext4 defaults 0 0\n" +
                            "UUID=" + kEfiVolumeId + " /boot/efi vfat umask=0077 0 1\n";
  {
    LoopDevice loop(system.path());
    loop.addPartitions();
    fillFileSystem(loop.partitionPath(1), {"ext4", "boot", kBootUuid}, {{"initramfs-6.1.0-guest.img", "initrd"}});
    fillFileSystem(loop.partitionPath(2), {"ext4", "root", kRootUuid},
         {{"etc/fstab", fstab}, {"etc/hostname", "phony-linux\n"}, {"dev/", ""}, {"home/", ""},
          {"srv/", ""}, {"boot/", ""}});
    fillFileSystem(loop.partitionPath(3), {"xfs", "home", ""}, {{"admin/notes.txt", "at home\n"}});
    std::string serial = kEfiVolumeId;
    serial.erase(4, 1);
    makeFileSystem(loop.partitionPath(4), {"vfat", "EFI", serial});
    loop.detach();
  }
  LoopDevice loop(data.path());
  loop.addPartitions();
  fillFileSystem(loop.partitionPath(1), {"ext4", "srv", kSrvUuid}, {{"www/index.html", "served\n"}});
  runTool("mkswap -q " + shellQuote(loop.partitionPath(2)));
  loop.detach();
}
