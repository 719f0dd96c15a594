// The crash sweep against real leftovers (root): a request whose process
// was killed mid-read is swept away; a live request in another process, a
// loop mount made by hand and the machine's own mounts stay as they were.

#include <algorithm>
#include <set>

#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "support/child_process.h"
#include "support/guest_image.h"
#include "support/guest_request.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/test_util.h"

namespace {

struct Mount {
  std::string source, target, type;
  bool operator<(const Mount& o) const {
    return std::tie(source, target, type) < std::tie(o.source, o.target, o.type);
  }
};

std::set<Mount> mounts() {
  std::set<Mount> found;
  std::ifstream in("/proc/self/mounts");
  Mount m;
  std::string rest;
  while (in >> m.source >> m.target >> m.type && std::getline(in, rest)) found.insert(m);
  return found;
}

}  // namespace

TEST(CrashSweep, TakesDownWhatADeadRequestLeftAndNothingElse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  loadDriver();
  TempDir dir;
  ::mkdir((dir / "hand").c_str(), 0755);
  GuestImage deadImage(dir / "dead.img");
  GuestImage liveImage(dir / "live.img");
  DiskImage handImage(dir / "hand.img", 16);
  makeFileSystem(handImage.path(), {"ext4", "hand", ""});
  LoopDevice handLoop(handImage.path());
  ScopedMount handMount(handLoop.path(), dir / "hand", "rw");

  ServedRequest live(liveImage.image.path(), dir.path(), "live");
  ServedRequest dead(deadImage.image.path(), dir.path(), "dead");
  // Reads the guest's file over and over, holding it open.
  const std::string file = dead.root + "/etc/hostname";
  Child reader({"/bin/sh", "-c", "exec 3<\"$0\"; echo open; while :; do cat \"$0\" >/dev/null; done", file});
  ASSERT_EQ(reader.readLine(), "open\n");
  const std::set<Mount> before = mounts();
  const std::string topBefore = runTool("ls -A /");
  dead.server.kill();

  std::list<std::string> devices;
  KqBlkDiskUtils::getKqBlkDevs(devices);
  // Other requests may run on this machine: the sweep must leave them be.
  const std::set<std::string> listed(devices.begin(), devices.end());
  ASSERT_EQ(listed.count(dead.device) + listed.count(live.device), 2u);
  for (const std::string& device : devices) {  // "exp-..." names hold a "p": still no partition
    EXPECT_NE(device.rfind(dead.device + "p", 0), 0u) << device;
  }
  for (const std::string& device : devices) KqBlkDiskUtils::cleanupAll(dir / "mnt-dead", device);

  // Nothing of the dead request is left.
  EXPECT_FALSE(reader.running()) << "the process holding the guest's file lives on";
  KqBlkDiskUtils::getKqBlkDevs(devices);
  EXPECT_EQ(std::count(devices.begin(), devices.end(), dead.device), 0);
  EXPECT_EQ(std::count(devices.begin(), devices.end(), live.device), 1);
  for (const Mount& m : mounts()) {
    EXPECT_EQ(m.source.rfind(dead.device, 0), std::string::npos) << m.target;
    EXPECT_EQ(m.target.rfind(dir / "mnt-dead", 0), std::string::npos) << m.target;
    EXPECT_EQ(m.target.find("/" + dead.name()), std::string::npos) << "FUSE mount " << m.target;
  }
  EXPECT_EQ(runTool("losetup -l -n -O BACK-FILE").find("/" + dead.name() + "/"), std::string::npos);
  EXPECT_FALSE(exists(dir / ("stores-dead/" + dead.name() + "/rbstore")));
  EXPECT_FALSE(exists(dir / ("stores-dead/" + dead.name() + "/pbstore")));

  // Everything else is as it was: the live request, the hand-made mount
  // and the machine's own.
  // Devices of other dead requests on this machine go too; those of the
  // live one, and everything not the driver's, stay.
  for (const Mount& m : before) {
    const bool drivers = m.source.rfind("/dev/kqblk/", 0) == 0 || m.target.rfind("/run/kqblk/dev/", 0) == 0;
    if (drivers && m.source.find(live.name()) == std::string::npos &&
        m.target.find(live.name()) == std::string::npos) {
      continue;
    }
    EXPECT_EQ(mounts().count(m), 1u) << "gone: " << m.source << " on " << m.target;
  }
  EXPECT_EQ(runTool("ls -A /"), topBefore) << "the sweep left something in /";
  EXPECT_EQ(readFile(live.root + "/etc/hostname").size(), 6u);
  live.server.closeInput();
  EXPECT_EQ(live.server.wait(), 0);
}

// A device this process serves is its caller's: the sweep takes it down.
// Another live process's is left alone, and the log says so at the normal
// level. The request's own teardown afterwards finds nothing to do.
TEST(CrashSweep, TakesDownADeviceThisProcessServesButNotAnotherLiveProcesss) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  loadDriver();
  TempDir dir;
  GuestImage ownImage(dir / "own.img");
  GuestImage liveImage(dir / "live.img");
  ServedRequest live(liveImage.image.path(), dir.path(), "other");
  const RequestEnvironment environment(dir / "lvm");
  GuestRequest own("own", dir.path(), {ownImage.image.path()});
  ASSERT_TRUE(own.discoverAndMount()) << own.error;
  ASSERT_TRUE(exists(own.root() + "/etc/hostname"));
  const std::string ownDevice = own.device(0);
  KqLogCapture log;
  KqBlkDiskUtils::cleanupAll(own.mountRoot, ownDevice);
  KqBlkDiskUtils::cleanupAll(own.mountRoot, live.device);

  std::list<std::string> devices;
  KqBlkDiskUtils::getKqBlkDevs(devices);
  EXPECT_EQ(std::count(devices.begin(), devices.end(), ownDevice), 0);
  EXPECT_EQ(std::count(devices.begin(), devices.end(), live.device), 1);
  for (const Mount& m : mounts()) EXPECT_NE(m.target.rfind(own.mountRoot, 0), 0u) << m.target;
  const std::vector<KqLogLine> leftAlone = log.find(
      "is served by the live process " + std::to_string(live.server.pid()) + ": left alone");
  ASSERT_EQ(leftAlone.size(), 1u);
  EXPECT_EQ(leftAlone[0].level, 1);
  EXPECT_EQ(readFile(live.root + "/etc/hostname").size(), 6u);
  own.tearDown();
  live.server.closeInput();
  EXPECT_EQ(live.server.wait(), 0);
}
