// The per-device mount with the real tools (root): an ext4 and an xfs image
// on loop devices are checked and mounted under a temporary mount root, and
// a file put there by mkfs is read through each mount.
#include <sys/mount.h>

#include <list>
#include <map>

#include "integration/discovery_devices.h"
#include "kqblk_mntftr.h"
#include "support/disk_image.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/test_util.h"

TEST(MntFtrReal, MountsExt4AndXfsFromLoopDevices) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices and mounts";
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "content").c_str(), 0755), 0);
  std::ofstream(dir / "content/hello.txt") << "hello from the guest\n";
  DiskImage ext4(dir / "ext4.img", 32), xfs(dir / "xfs.img", 320);
  runTool("mkfs.ext4 -F -q -d " + shellQuote(dir / "content") + " " + shellQuote(ext4.path()));
  // A prototype file puts the same file into the new xfs.
  std::ofstream(dir / "proto") << "/dev/null\n0 0\nd--755 0 0\nhello.txt ---644 0 0 "
                               << dir / "content/hello.txt" << "\n$\n";
  runTool("mkfs.xfs -f -q -K -p " + shellQuote(dir / "proto") + " " + shellQuote(xfs.path()));
  LoopDevice ext4Loop(ext4.path()), xfsLoop(xfs.path());
  const std::string root = dir / "root";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);

  std::list<kqblk_mountpoint> records;
  // Only what this test mounted goes, before the loop devices do.
  const ScopeExit unmount([&] {
    for (const kqblk_mountpoint& r : records) {
      if (umount(r.mountPath.c_str()) != 0) umount2(r.mountPath.c_str(), MNT_DETACH);
      rmdir(r.mountPath.c_str());
    }
  });
  std::map<std::string, std::string> groups;
  MntFtr mount(records, root, "kq-r7-", groups, false, false, true);
  mount(ext4Loop.path());
  mount(xfsLoop.path());

  ASSERT_EQ(records.size(), 2u);
  for (const kqblk_mountpoint& r : records) {
    SCOPED_TRACE(r.device);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.mountPath, root + r.guestPath);
    EXPECT_EQ(fileText(r.mountPath + "/hello.txt"), "hello from the guest\n");
  }
  EXPECT_EQ(records.front().guestPath, "/" + ext4Loop.name());
}
