// The Windows layout on a phony Windows guest (MBR and GPT) on a loop
// device, its NTFS volumes mounted with ntfs-3g on MountDir directories as
// the per-device mount leaves them: each volume moves to its drive letter.


#include "kqblk_disk.h"
#include "kqblk_disk_utils.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/test_util.h"
#include "support/windows_guest.h"

namespace {

// A disk whose device is a test's loop device, with the driver's "p" prefix.
class LoopDisk : public KqBlkDisk {
 public:
  LoopDisk(const std::string& device, const std::string& dir) : KqBlkDisk(device, dir) {
    m_devPath = device;
  }
};

struct LayoutCase {
  const char* name;
  WindowsGuest::Table table;
  bool cTaken;  // the mount root already holds C: a symbolic link out of it
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class WindowsLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(WindowsLayout, VolumesMoveToTheirDriveLetters) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const LayoutCase& c = GetParam();
  ScopedConfig config("[Session]\nsHLXFixupMounts = Y\n");
  TempDir dir;
  WindowsGuest guest(dir / "windows.img", c.table);
  LoopDevice loop(guest.image.path());
  loop.addPartitions();
  TempDir root;
  TempDir outside;

  std::list<kqblk_mountpoint> records;
  for (int n : {1, 2}) {
    kqblk_mountpoint mp;
    mp.device = loop.partitionPath(n);
    mp.mountPath = mp.initialMountPath = root / ("MountDir-" + std::to_string(n));
    mp.guestPath = "/MountDir-" + std::to_string(n);
    runTool("mkdir " + shellQuote(mp.mountPath) + " && mount -t ntfs-3g -o nosuid,nodev,noexec " +
            shellQuote(mp.device) + " " + shellQuote(mp.mountPath));
    records.push_back(mp);
  }
  std::ofstream(root / "MountDir-2/hello.txt") << "data volume";
  kqblk_mountpoint failed;
  failed.device = root / "absent";
  failed.mountPath = failed.initialMountPath = root / "MountDir-3";
  failed.error = "Failed to mount";
  records.push_back(failed);
  if (c.cTaken) {
    ASSERT_EQ(symlink(outside.path().c_str(), (root / "C").c_str()), 0);
  }
  const std::list<boost::shared_ptr<KqBlkDisk>> disks{
      boost::shared_ptr<KqBlkDisk>(new LoopDisk(loop.path(), dir.path()))};

  ASSERT_TRUE(KqBlkDiskUtils::fixupMountPoints(root.path(), records, disks));

  const std::string system = c.cTaken ? root / "MountDir-1" : root / "C";
  auto mp = records.begin();
  EXPECT_EQ(mp->mountPath, system);
  EXPECT_EQ(mp->initialMountPath, root / "MountDir-1");
  EXPECT_EQ(fileText(system + "/Windows/System32/config/SYSTEM").substr(0, 4), "regf");
  ++mp;
  EXPECT_EQ(mp->mountPath, root / "D");
  EXPECT_EQ(mp->initialMountPath, root / "MountDir-2");
  EXPECT_EQ(fileText(root / "D/hello.txt"), "data volume");
  EXPECT_FALSE(exists(root / "MountDir-2"));
  EXPECT_EQ(exists(root / "MountDir-1"), c.cTaken);
  ++mp;
  EXPECT_EQ(mp->mountPath, root / "MountDir-3");
  // Nothing was made or mounted through the link.
  EXPECT_TRUE(fileText("/proc/self/mountinfo").find(outside.path()) == std::string::npos);
  EXPECT_FALSE(exists(outside / "Windows"));
}

const LayoutCase kCases[] = {
    {"Mbr", WindowsGuest::Table::Mbr, false},
    {"Gpt", WindowsGuest::Table::Gpt, false},
    {"LetterAlreadyTaken", WindowsGuest::Table::Mbr, true},
};

INSTANTIATE_TEST_SUITE_P(Guests, WindowsLayout, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
