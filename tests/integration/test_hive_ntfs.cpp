// Drive letters of a phony Windows guest on real NTFS volumes (ntfs-3g,
// which keeps names' case), each volume described from its block-id tags.
#include <sys/mount.h>

#include "kq_hive.h"
#include "kqblk_blkid.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/test_util.h"
#include "support/windows_guest.h"

namespace {

std::string tag(const std::string& device, const char* name) {
  std::string value;
  kqblk_blkid(device).getTag(name, value);
  return value;
}

// A volume the way the Windows layout describes it: a dos volume carries
// its disk's signature, every volume its partition GUID and byte offset.
DiskPartInfo describe(const std::string& disk, const std::string& part) {
  DiskPartInfo v;
  v.device = part;
  if (tag(part, "PART_ENTRY_SCHEME") == "dos") {
    v.signature = static_cast<uint32_t>(std::stoul(tag(disk, "DISK_SIGNATURE"), nullptr, 16));
  }
  FXMisc::ConvertStringToUuid(tag(part, "PART_ENTRY_UUID"), &v.partitionGuid);
  v.offset = std::stoll(tag(part, "PART_ENTRY_OFFSET")) * 512;
  return v;
}

}  // namespace

TEST(HiveOnNtfs, SystemAndDataVolumesGetTheirLettersOnMbrAndGptDisks) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  for (WindowsGuest::Table kind : {WindowsGuest::Table::Mbr, WindowsGuest::Table::Gpt}) {
    SCOPED_TRACE(kind == WindowsGuest::Table::Mbr ? "MBR" : "GPT");
    TempDir dir;
    WindowsGuest guest(dir / "windows.img", kind);
    LoopDevice loop(guest.image.path());
    loop.addPartitions();
    std::list<std::string> devices;
    std::list<std::string> mountPaths;
    std::list<DiskPartInfo> volumes;
    for (int number : {2, 1}) {  // the system volume need not come first
      const std::string part = loop.partitionPath(number);
      const std::string mountPath = dir / ("MountDir-" + std::to_string(number));
      runTool("mkdir " + shellQuote(mountPath) + " && mount -t ntfs-3g -o ro " + shellQuote(part) +
              " " + shellQuote(mountPath));
      devices.push_back(part);
      mountPaths.push_back(mountPath);
      volumes.push_back(describe(loop.path(), part));
    }
    std::list<std::string> letters;
    std::string hivePath;
    const CUxError err = CSysHiveParser("guid", devices, mountPaths, volumes, false)
                             .GetDriveLetters(letters, hivePath);
    for (const std::string& mountPath : mountPaths) ::umount2(mountPath.c_str(), MNT_DETACH);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(letters, (std::list<std::string>{"D", "C"}));
    EXPECT_EQ(hivePath, dir / "MountDir-1/Windows/System32/config/SYSTEM");
  }
}
