#include "support/windows_guest.h"

#include <sys/mount.h>

#include "support/hive_builder.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

namespace {

const char kNtfsType[] = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";  // basic data

std::string table(WindowsGuest::Table kind) {
  const std::string sizes[] = {"start=" + std::to_string(WindowsGuest::kSystemStart) + ", size=49152",
                               "start=" + std::to_string(WindowsGuest::kDataStart)};
  if (kind == WindowsGuest::Table::Mbr) {
    return "label: dos\nlabel-id: 0x1234abcd\n" + sizes[0] + ", type=7\n" + sizes[1] + ", type=7\n";
  }
  return std::string("label: gpt\n") + sizes[0] + ", type=" + kNtfsType + ", uuid=" +
         WindowsGuest::kSystemGuid + "\n" + sizes[1] + ", type=" + kNtfsType + ", uuid=" +
         WindowsGuest::kDataGuid + "\n";
}

}  // namespace

WindowsGuest::WindowsGuest(const std::string& path, Table kind) : image(path, 64) {
  image.partition(table(kind));
  LoopDevice loop(image.path());
  loop.addPartitions();
  makeFileSystem(loop.partitionPath(1), FileSystemSpec{"ntfs", "System", ""});
  makeFileSystem(loop.partitionPath(2), FileSystemSpec{"ntfs", "Data", ""});
  // Two runs within a second may give both volumes one serial.
  runTool("ntfslabel --new-serial " + shellQuote(loop.partitionPath(2)) + " Data");
  TempDir mnt;
  runTool("mount -t ntfs-3g " + shellQuote(loop.partitionPath(1)) + " " + shellQuote(mnt.path()));
  try {
    runTool("mkdir -p " + shellQuote(mnt / "Windows/System32/config"));
    const std::string hive = mnt / "Windows/System32/config/SYSTEM";
    writeEmptyHive(hive);
    const bool mbr = kind == Table::Mbr;
    addHiveKey(hive, "MountedDevices",
               {{"\\DosDevices\\C:", mbr ? mbrVolumeValue(kSignature, kSystemStart * 512)
                                         : gptVolumeValue(kSystemGuid)},
                {"\\DosDevices\\D:", mbr ? mbrVolumeValue(kSignature, kDataStart * 512)
                                         : gptVolumeValue(kDataGuid)}});
  } catch (...) {
    ::umount2(mnt.path().c_str(), MNT_DETACH);
    throw;
  }
  runTool("umount " + shellQuote(mnt.path()));
  loop.detach();
}
