// Teardown with the real tools (root): loop-mounted ext4 images and a bind
// mount unmounted with a holder killed, a mount this process holds kept and
// reported, a guest link that leads out of the root never followed, and the
// mounts of a driver device found in the mount table and cleaned up.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>

#include "doubles/tool_doubles.h"
#include "integration/discovery_devices.h"
#include "kq_log.h"
#include "kq_mounts.h"
#include "kq_shell.h"
#include "kqblk_cache_manager.h"
#include "kqblk_disk_utils.h"
#include "kqblk_mountpoint_cleanup.h"
#include "support/disk_image.h"
#include "support/exposed_disk.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/sleeping_child.h"
#include "support/temp_dir.h"

using ::testing::ElementsAre;

namespace {

std::string formattedExt4(const std::string& image) {
  makeFileSystem(image, {"ext4", "", ""});
  return image;
}

// A small ext4 image of the test's own on a loop device.
struct Ext4Loop {
  explicit Ext4Loop(const std::string& path) : image(path, 16), loop(formattedExt4(path)) {}
  DiskImage image;
  LoopDevice loop;
};

// Unmounts whatever is left below the test's directory before its loop
// devices go: declared after them.
struct UnmountBelow {
  ~UnmountBelow() { unmountBelow(dir); }
  std::string dir;
};

// Short pauses between unmount attempts while the object lives.
struct ShortPauses {
  ShortPauses() { kqblk_unmountTimings.retryPauseMs = 100; }
  ~ShortPauses() { kqblk_unmountTimings = KqBlkUnmountTimings(); }
};

void mountOn(const std::string& source, const std::string& dir, const std::string& options = "") {
  runTool("mkdir -p " + shellQuote(dir) + " && mount " + options + " " + shellQuote(source) + " " +
          shellQuote(dir));
}

kqblk_mountpoint record(const std::string& device, const std::string& mountPath,
                        const std::string& bindPath = "", const std::string& guestPath = "") {
  kqblk_mountpoint r;
  r.device = device;
  r.mountPath = mountPath;
  r.bindPath = bindPath;
  r.guestPath = guestPath;
  return r;
}

}  // namespace

TEST(TeardownReal, UnmountsLoopAndBindMountsKillsHoldersAndKeepsWhatThisProcessHolds) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices and mounts";
  const ShortPauses pauses;
  TempDir dir;
  Ext4Loop root(dir / "root.img"), data(dir / "data.img"), held(dir / "held.img"),
      own(dir / "own.img");
  const UnmountBelow guard{dir.path()};
  const std::string m = dir / "mnt/MountDir-";
  mountOn(root.loop.path(), m + "1");
  mountOn(data.loop.path(), m + "2");
  mountOn(held.loop.path(), m + "3");
  mountOn(own.loop.path(), m + "4");
  mountOn(m + "2", m + "1/data", "--bind");
  SleepingChild holder(m + "3");
  const int ownHold = open((m + "4").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(ownHold, 0);
  std::list<kqblk_mountpoint> records = {
      record(root.loop.path(), m + "1"), record(data.loop.path(), m + "2", m + "1//data", "//data"),
      record(held.loop.path(), m + "3"), record(own.loop.path(), m + "4")};
  KqLogCapture log;

  EXPECT_EQ(KqBlkDiskUtils::cleanupMountPoints(dir / "mnt", records), 0);
  EXPECT_EQ(holder.endingSignal(), SIGKILL);
  // A removed directory had nothing mounted on it.
  for (const char* n : {"1", "2", "3"}) EXPECT_NE(access((m + n).c_str(), F_OK), 0) << n;
  // Status 32 for a busy mount is no success.
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.front().mountPath, m + "4");
  EXPECT_EQ(records.front().error.rfind("Failed to run umount " + KqShellQuote(m + "4") + ":err:", 0),
            0u);
  EXPECT_TRUE(KqIsMountedOn(m + "4"));
  EXPECT_FALSE(log.find("ODS holding mount point [" + m + "4]. Ignore").empty());
  close(ownHold);
}

TEST(TeardownReal, ABindPathThroughAGuestLinkNeverLeadsOut) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for loop devices and mounts";
  const ShortPauses pauses;
  TempDir dir;
  Ext4Loop disk(dir / "disk.img");
  const UnmountBelow guard{dir.path()};
  // The host's own directory that the guest's /home points at.
  const std::string outside = dir / "outside";
  mountOn("kqblk-test", outside, "-t tmpfs");
  std::ofstream(outside + "/marker") << "host\n";
  const struct {
    std::string link;       // the guest's /home
    std::string inside;     // where that leads inside the guest root, below it
  } cases[] = {
      {outside, outside},
      {"../outside", "/outside"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(++index);
    const std::string rootDir = dir / ("root" + std::to_string(index));
    const std::string mountDir = dir / ("MountDir-" + std::to_string(index));
    runTool("mkdir -p " + shellQuote(rootDir + c.inside));
    ASSERT_EQ(symlink(c.link.c_str(), (rootDir + "/home").c_str()), 0);
    // Placed as the layout places a file system at the guest's /home.
    mountOn(disk.loop.path(), mountDir);
    mountOn(mountDir, rootDir + c.inside, "--bind");
    kqblk_mountpoint r = record(disk.loop.path(), mountDir, rootDir + "//home", "//home");

    EXPECT_EQ(cleanup_one_mtpt(r), 0);
    EXPECT_TRUE(KqIsMountedOn(outside));
    EXPECT_EQ(fileText(outside + "/marker"), "host\n");
    EXPECT_FALSE(KqIsMountedOn(rootDir + c.inside));
    EXPECT_NE(access(mountDir.c_str(), F_OK), 0);
  }
}

TEST(TeardownReal, FindsTheMountsOfDriverDevicesAndCleansThemUp) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk");
  KqBlkDisk::gTimings = KqBlkDeviceTimings{100, 1000, 3};
  CacheManager cache(1ull << 30);
  KqBlkDisk::setCacheManager(&cache);
  TempDir dir;
  DiskImage image(dir / "guest.img", 32);
  makeFileSystem(image.path(), {"ext4", "", ""});
  ASSERT_EQ(mkdir((dir / "stores").c_str(), 0755), 0);
  ExposedDisk exposed(image.path(), image.sizeBytes(), dir / "stores");
  exposed.expose();
  Ext4Loop byHand(dir / "hand.img"), onDriver(dir / "lv.img");
  const UnmountBelow guard{dir.path()};
  mountOn(exposed.devPath, dir / "driver");
  mountOn(byHand.loop.path(), dir / "hand");
  mountOn(onDriver.loop.path(), dir / "lv");
  // Device-mapper stands in: the second loop device is taken for a volume
  // built on the driver's device.
  struct stat driverDev, lvDev;
  ASSERT_EQ(stat(exposed.devPath.c_str(), &driverDev), 0);
  ASSERT_EQ(stat(onDriver.loop.path().c_str(), &lvDev), 0);
  ToolDoubles dmsetup({"dmsetup"});
  dmsetup.on("dmsetup",
             "deps -j " + std::to_string(major(lvDev.st_rdev)) + " -m " +
                 std::to_string(minor(lvDev.st_rdev)),
             " 1 dependencies  : (" + std::to_string(major(driverDev.st_rdev)) + ", " +
                 std::to_string(minor(driverDev.st_rdev)) + ")\n");

  std::list<kqblk_mountpoint> found;
  KqBlkDiskUtils::getKqBlkMountPoints(found);
  std::list<kqblk_mountpoint> ours;
  std::vector<std::string> listed;
  for (const kqblk_mountpoint& r : found) {
    if (r.mountPath.compare(0, dir.path().size() + 1, dir.path() + "/") != 0) continue;
    ours.push_back(r);
    listed.push_back(r.device + " " + r.mountPath);
  }
  EXPECT_THAT(listed, ElementsAre(exposed.devPath + " " + dir / "driver",
                                  onDriver.loop.path() + " " + dir / "lv"));

  EXPECT_EQ(KqBlkDiskUtils::cleanupMountPoints(dir.path(), ours), 0);
  EXPECT_TRUE(ours.empty());
  EXPECT_FALSE(KqIsMountedOn(dir / "driver"));
  EXPECT_FALSE(KqIsMountedOn(dir / "lv"));
  EXPECT_TRUE(KqIsMountedOn(dir / "hand"));
  KqBlkDisk::setCacheManager(nullptr);
}
