// A request's disks discovered, mounted and laid out as the guest's own
// tree, through the real driver (root).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "kqblk_cache_manager.h"
#include "kqblk_disk_utils.h"
#include "support/exposed_disk.h"
#include "support/guest_image.h"
#include "support/linux_guest.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

namespace {

// Unmounts what the test mounted below its directory before the devices
// under those mounts go.
struct UnmountAll {
  explicit UnmountAll(std::string d) : dir(std::move(d)) {}
  ~UnmountAll() { unmountBelow(dir); }
  std::string dir;
};

boost::shared_ptr<KqBlkDisk> handle(ExposedDisk& e) {
  return boost::shared_ptr<KqBlkDisk>(e.disk.get(), [](KqBlkDisk*) {});
}

}  // namespace

TEST(DiscoverAndMount, LinuxGuestBecomesItsOwnTree) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk");
  KqBlkDisk::gTimings = KqBlkDeviceTimings{100, 1000, 3};
  CacheManager cache(1ull << 30);
  KqBlkDisk::setCacheManager(&cache);
  TempDir dir;
  LinuxGuest guest(dir.path());
  ::mkdir((dir / "stores").c_str(), 0755);
  ExposedDisk system(guest.system.path(), guest.system.sizeBytes(), dir / "stores");
  ExposedDisk data(guest.data.path(), guest.data.sizeBytes(), dir / "stores");
  system.expose();
  data.expose();
  const UnmountAll unmount(dir.path());
  ::mkdir((dir / "cfg").c_str(), 0755);
  KqBlkDiskUtils::setConfigDir((dir / "cfg").c_str(), false);
  std::unique_ptr<LVMConfig> cfg(KqBlkDiskUtils::initLVMConfig("req", {system.devPath, data.devPath}));
  const std::string mountRoot = dir / "mnt";
  ::mkdir(mountRoot.c_str(), 0755);

  std::list<kqblk_mountpoint> records;
  std::list<kqblk_vg> vgs;
  CUxError err;
  KqBlkDiskUtils::discoverAndMount(mountRoot, "req", {handle(system), handle(data)}, records, vgs,
                                   true, &err, *cfg);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_TRUE(vgs.empty());
  std::set<std::string> guestPaths;
  std::string root;
  for (const kqblk_mountpoint& r : records) {
    EXPECT_EQ(r.error, "") << r.device;
    EXPECT_TRUE(r.isBound) << r.device;
    guestPaths.insert(r.guestPath);
    if (r.isRoot) root = r.mountPath;
  }
  const std::string lost = std::string("/kqlostandfound/") + LinuxGuest::kSrvUuid;
  EXPECT_EQ(guestPaths, (std::set<std::string>{"/", "//boot", "//home", lost}));
  for (const std::string& file : {std::string("/etc/hostname"), std::string("/boot/initramfs-6.1.0-guest.img"),
                                  std::string("/home/admin/notes.txt"), lost + "/www/index.html"}) {
    EXPECT_EQ(::access((root + file).c_str(), R_OK), 0) << file;
  }

  // A second run on the same mount root finds every directory taken.
  std::list<kqblk_mountpoint> again;
  KqBlkDiskUtils::discoverAndMount(mountRoot, "req", {handle(system), handle(data)}, again, vgs,
                                   true, &err, *cfg);
  ASSERT_EQ(again.size(), records.size());
  for (const kqblk_mountpoint& r : again) {
    EXPECT_EQ(r.error.compare(0, 6 + r.mountPath.size(), "mkdir " + r.mountPath), 0) << r.error;
  }
  // Without mounting, every device is still recorded and nothing is mounted.
  const std::string listOnly = dir / "list-only";
  ::mkdir(listOnly.c_str(), 0755);
  std::list<kqblk_mountpoint> listed;
  KqBlkDiskUtils::discoverAndMount(listOnly, "req", {handle(system), handle(data)}, listed, vgs,
                                   false, &err, *cfg);
  EXPECT_EQ(listed.size(), records.size());
  for (const kqblk_mountpoint& r : listed) {
    EXPECT_EQ(r.error, "") << r.device;
    EXPECT_NE(::access(r.mountPath.c_str(), F_OK), 0) << r.mountPath;
  }
  KqBlkDisk::setCacheManager(nullptr);
  KqBlkDiskUtils::setConfigDir("", false);
}
