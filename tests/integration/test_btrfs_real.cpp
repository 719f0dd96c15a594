// Btrfs duplicate-UUID handling with the real tools on loop devices (root).


#include "integration/discovery_devices.h"
#include "kqblk_disk_utils.h"
#include "kqblk_vg_identity.h"
#include "support/disk_image.h"
#include "support/loop_device.h"
#include "support/phony_guest.h"
#include "support/run_tool.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

namespace {

std::string prefix() { return "kq-t" + std::to_string(getpid()) + "-"; }

}  // namespace

// Two copies of one file system, exposed through driver-style nodes: btrfs
// names them by their loop devices, discovery by the nodes.
TEST(BtrfsReal, CopiesOfOneFileSystemGetTheirOwnIdentityAndMountSideBySide) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  DiskImage original(dir / "a.img", 128);
  makeFileSystem(original.path(), FileSystemSpec{"btrfs", "guestfs", ""});
  DiskImage copy(dir / "b.img", 128);
  runTool("cp --sparse=always " + shellQuote(original.path()) + " " + shellQuote(copy.path()));
  LoopDevice a(original.path());
  LoopDevice b(copy.path());
  BtrfsForget forget({a.path(), b.path()});
  KqblkTestNode nodeA("btrfs-a", a.path());
  KqblkTestNode nodeB("btrfs-b", b.path());
  const std::string uuid = blkidValue(a.path(), "UUID");
  ASSERT_EQ(blkidValue(b.path(), "UUID"), uuid);

  std::list<std::string> devices = {nodeA.path(), nodeB.path()};
  EXPECT_THAT(KqBlkDiskUtils::processBtrFSDevices(devices, prefix()),
              ElementsAre(nodeA.path(), nodeB.path()));
  EXPECT_THAT(devices, ElementsAre(nodeA.path(), nodeB.path()));
  EXPECT_NE(blkidValue(nodeA.path(), "UUID"), uuid);
  EXPECT_NE(blkidValue(nodeB.path(), "UUID"), uuid);
  EXPECT_NE(blkidValue(nodeA.path(), "UUID"), blkidValue(nodeB.path(), "UUID"));
  EXPECT_EQ(blkidValue(nodeA.path(), "LABEL"), prefix() + uuid);
  EXPECT_EQ(blkidValue(nodeB.path(), "LABEL"), prefix() + uuid);

  const ScopedMount mountA(nodeA.path(), dir / "ma", "rw"), mountB(nodeB.path(), dir / "mb", "rw");
  runTool("touch " + shellQuote(dir / "ma/one") + " " + shellQuote(dir / "mb/two"));
  struct stat st;
  EXPECT_NE(stat((dir / "ma/two").c_str(), &st), 0) << "both mounts show one file system";
}

TEST(BtrfsReal, FileSystemOverTwoDevicesKeepsOneOfThemInTheList) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  DiskImage imageC(dir / "c.img", 128);
  DiskImage imageD(dir / "d.img", 128);
  LoopDevice c(imageC.path());
  LoopDevice d(imageD.path());
  BtrfsForget forget({c.path(), d.path()});
  runTool("mkfs.btrfs -f -q -d single -m single " + shellQuote(c.path()) + " " +
          shellQuote(d.path()));
  const std::string uuid = blkidValue(c.path(), "UUID");
  ASSERT_EQ(blkidValue(d.path(), "UUID"), uuid);

  std::list<std::string> devices = {c.path(), d.path()};
  const std::list<std::string> tuned = KqBlkDiskUtils::processBtrFSDevices(devices, prefix());
  ASSERT_EQ(tuned.size(), 1u);
  EXPECT_EQ(devices, tuned);
  // The file system, not one device, got the new identity.
  const std::string newUuid = blkidValue(c.path(), "UUID");
  EXPECT_NE(newUuid, uuid);
  EXPECT_EQ(blkidValue(d.path(), "UUID"), newUuid);
  EXPECT_EQ(blkidValue(d.path(), "LABEL"), prefix() + uuid);
}

// A guest label shaped like the tools' output ("uuid: ...", a device line
// naming another device of the request) must not change which device gets
// which identity: each file system is tuned through its own device, under its
// own UUID.
TEST(BtrfsReal, ALabelShapedLikeToolOutputChangesOnlyItsOwnDevice) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  DiskImage imageA(dir / "a.img", 128);
  DiskImage imageB(dir / "b.img", 128);
  makeFileSystem(imageB.path(), FileSystemSpec{"btrfs", "plain", ""});
  LoopDevice a(imageA.path());
  LoopDevice b(imageB.path());
  BtrfsForget forget({a.path(), b.path()});
  KqblkTestNode nodeA("crafted", a.path());
  KqblkTestNode nodeB("victim", b.path());
  const std::string uuidB = blkidValue(b.path(), "UUID");
  const std::string crafted =
      "x' uuid: " + uuidB + "\n\tdevid 1 size 1 used 1 path " + nodeB.path();
  runTool("mkfs.btrfs -f -q -L " + shellQuote(crafted) + " " + shellQuote(a.path()));
  const std::string uuidA = blkidValue(a.path(), "UUID");

  std::list<std::string> devices = {nodeA.path(), nodeB.path()};
  const std::list<std::string> tuned = KqBlkDiskUtils::processBtrFSDevices(devices, prefix());
  EXPECT_EQ(tuned.size(), 2u);
  EXPECT_THAT(devices, ElementsAre(nodeA.path(), nodeB.path()));
  EXPECT_EQ(blkidValue(a.path(), "LABEL"), prefix() + uuidA);
  EXPECT_EQ(blkidValue(b.path(), "LABEL"), prefix() + uuidB);
  EXPECT_NE(blkidValue(a.path(), "UUID"), uuidA);
  EXPECT_NE(blkidValue(b.path(), "UUID"), uuidB);
}

// The fsid and label that the take-over changes come back from the
// identity kept before it, an empty label too.
TEST(BtrfsReal, KeptIdentityPutsTheGuestsFsidAndLabelBack) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  for (const char* label : {"guestfs", ""}) {
    SCOPED_TRACE(std::string("label [") + label + "]");
    TempDir dir;
    DiskImage image(dir / "e.img", 128);
    makeFileSystem(image.path(), FileSystemSpec{"btrfs", label, ""});
    LoopDevice e(image.path());
    BtrfsForget forget({e.path()});
    KqblkTestNode node("btrfs-e", e.path());
    const std::string uuid = blkidValue(e.path(), "UUID");
    kqblk_vg_identity identity;
    ASSERT_TRUE(kqblk_keepIdentity(node.path(), identity));
    EXPECT_EQ(identity.btrfsFsid, uuid);
    EXPECT_EQ(identity.btrfsLabel, label);

    std::list<std::string> devices = {node.path()};
    ASSERT_THAT(KqBlkDiskUtils::processBtrFSDevices(devices, prefix()), ElementsAre(node.path()));
    ASSERT_NE(blkidValue(e.path(), "UUID"), uuid);
    std::string why;
    ASSERT_TRUE(kqblk_restoreIdentities({identity}, why)) << why;
    EXPECT_EQ(blkidValue(e.path(), "UUID"), uuid);
    EXPECT_EQ(blkidValue(e.path(), "LABEL"), label);
  }
}
