// Teardown against the real driver (root): a mount is ours by its file
// system's device number, never by the source text its maker chose; the
// holders of our file systems are killed and nobody else; a mount this
// process holds is kept and reported; bind paths are resolved inside the
// guest root and pinned, so that links and renamed directories in the guest
// tree never redirect an unmount; a pinned mount is detached wherever its
// path leads by then.
#include <sys/wait.h>

#include <algorithm>
#include <iterator>

#include "integration/discovery_devices.h"
#include "kq_log.h"
#include "kq_mounts.h"
#include "kqblk_disk_utils.h"
#include "kqblk_mountpoint_cleanup.h"
#include "support/child_process.h"
#include "support/disk_image.h"
#include "support/exposed_disk.h"
#include "support/guest_request.h"
#include "support/run_tool.h"
#include "support/test_util.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

std::string madeDir(const std::string& path) {
  ::mkdir(path.c_str(), 0755);
  return path;
}

std::string formatted(const std::string& image, const std::string& type) {
  makeFileSystem(image, {type, "", ""});
  return image;
}

// A small image with one file system, exposed through the real driver.
struct ExposedFs {
  ExposedFs(const TempDir& dir, const std::string& tag, const std::string& type = "ext4")
      : image(dir / (tag + ".img"), type == "btrfs" ? 128 : 16),
        exposed(formatted(image.path(), type), image.sizeBytes(), madeDir(dir / ("stores-" + tag))) {
    exposed.expose();
  }
  const std::string& node() const { return exposed.devPath; }
  DiskImage image;
  ExposedDisk exposed;
};

void mountOn(const std::string& source, const std::string& dir, const std::string& options = "") {
  runTool("mkdir -p " + shellQuote(dir) + " && mount " + options + " " + shellQuote(source) + " " +
          shellQuote(dir));
}

// A process holding a file open, or with its working directory in `dir`,
// for as long as it lives.
std::vector<std::string> holding(const std::string& how, const std::string& dir) {
  if (how == "cwd") return {"/bin/sh", "-c", "cd \"$0\" && echo open && exec sleep 600", dir};
  return {"/bin/sh", "-c", "exec 3<\"$0\"; echo open; exec sleep 600", dir + "/file"};
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

// The source the kernel shows for what is mounted on `dir` (the topmost),
// empty when nothing is.
std::string sourceOn(const std::string& dir) {
  std::vector<KqMountEntry> table;
  KqReadMountTable(table);
  std::string source;
  for (const KqMountEntry& e : table) {
    if (e.directory == dir) source = e.source;
  }
  return source;
}

bool mountedOn(const std::string& dir) { return !sourceOn(dir).empty(); }

class TeardownReal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the driver and mounts";
    loadDriver();
    kqblk_unmountTimings.retryPauseMs = 100;
  }
  void TearDown() override { kqblk_unmountTimings = KqBlkUnmountTimings(); }

 private:
  RequestEnvironment m_env;
};

}  // namespace

TEST_F(TeardownReal, TheFileSystemsDeviceNumberDecidesWhatIsOursAndWhoIsKilled) {
  TempDir dir;
  ExposedFs a(dir, "a"), b(dir, "b"), withBtrfs(dir, "c", "btrfs");
  const ScopeExit unmount([&] { unmountBelow(dir.path()); });  // before the devices go
  // Blanks in a mount directory reach the table as \040.
  const std::string own = dir / "own mount", held = dir / "held", fake = dir / "fake",
                    btrfs = dir / "btrfs";
  mountOn(a.node(), own);
  mountOn(b.node(), held);
  // btrfs shows an anonymous device number of its own, not its device's.
  mountOn(withBtrfs.node(), btrfs);
  // Anyone can name a driver node as the source of a mount of their own.
  mountOn(a.node(), fake, "-t tmpfs");
  for (const std::string& d : {own, held, fake, btrfs}) std::ofstream(d + "/file") << "x\n";
  std::ofstream(dir / "file") << "x\n";
  const int ownHold = ::open((held + "/file").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(ownHold, 0);
  const struct {
    std::string mountDir;
    const char* hold;  // how its holder holds it: "file" or "cwd"
    bool unmounted, holderKilled;
    const char* error;  // left in the record, "" when it went
  } cases[] = {
      {own, "file", true, true, ""},
      {own, "cwd", true, true, ""},
      {btrfs, "file", true, true, ""},
      {held, "file", false, false, "this process holds it"},
      {fake, "file", false, false, "on no kqblk device"},
      {dir.path(), "cwd", false, false, ""},  // a process on the proxy's own file system
  };
  std::vector<std::unique_ptr<Child>> holders;
  for (const auto& c : cases) {
    holders.emplace_back(new Child(holding(c.hold, c.mountDir)));
    ASSERT_EQ(holders.back()->readLine(), "open\n");
  }

  std::list<kqblk_mountpoint> found;
  KqBlkDiskUtils::getKqBlkMountPoints(found);
  std::list<kqblk_mountpoint> records;
  for (const kqblk_mountpoint& r : found) {
    if (r.mountPath.rfind(dir.path() + "/", 0) == 0) records.push_back(r);
  }
  std::vector<std::string> listed;
  for (const kqblk_mountpoint& r : records) listed.push_back(r.device + " " + r.mountPath);
  EXPECT_THAT(listed, ElementsAre(a.node() + " " + own, b.node() + " " + held, withBtrfs.node() + " " + btrfs));
  // A record that claims the impostor is ours changes nothing either.
  records.push_back(record(a.node(), fake));
  KqLogCapture log;

  EXPECT_EQ(KqBlkDiskUtils::cleanupMountPoints(dir.path(), records), 0);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.mountDir + " " + c.hold);
    EXPECT_EQ(mountedOn(c.mountDir), !c.unmounted && c.mountDir != dir.path());
    if (c.holderKilled) {
      const int status = holders[i]->wait();
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    } else {
      EXPECT_TRUE(holders[i]->running());
    }
    const auto left = std::find_if(records.begin(), records.end(),
                                   [&](const kqblk_mountpoint& r) { return r.mountPath == c.mountDir; });
    if (*c.error) {
      ASSERT_NE(left, records.end());
      EXPECT_THAT(left->error, HasSubstr(c.error));
    } else {
      EXPECT_EQ(left, records.end());
    }
  }
  EXPECT_FALSE(log.find("ODS holding mount point [" + held + "]. Ignore").empty());
  ::close(ownHold);
}

TEST_F(TeardownReal, ABindPathThroughAGuestLinkNeverLeadsOut) {
  TempDir dir;
  ExposedFs disk(dir, "disk");
  const ScopeExit unmount([&] { unmountBelow(dir.path()); });  // before the devices go
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
    mountOn(disk.node(), mountDir);
    mountOn(mountDir, rootDir + c.inside, "--bind");
    kqblk_mountpoint r = record(disk.node(), mountDir, rootDir + "//home", "//home");

    EXPECT_EQ(cleanup_one_mtpt(r), 0);
    EXPECT_TRUE(mountedOn(outside));
    EXPECT_EQ(fileText(outside + "/marker"), "host\n");
    EXPECT_FALSE(mountedOn(rootDir + c.inside));
    EXPECT_NE(access(mountDir.c_str(), F_OK), 0);
  }
}

TEST_F(TeardownReal, ARenamedGuestDirectoryNeverRedirectsTheUnmount) {
  TempDir dir;
  ExposedFs root(dir, "root"), data(dir, "data");
  const ScopeExit unmount([&] { unmountBelow(dir.path()); });  // before the devices go
  const std::string rootDir = dir / "MountDir-1", dataDir = dir / "MountDir-2";
  mountOn(root.node(), rootDir);
  mountOn(data.node(), dataDir);
  mountOn(dataDir, rootDir + "/srv/data", "--bind");
  // Inside the served tree /srv is renamed and another file system (not a
  // guest's) comes to lie where the guest's /srv/data was.
  ASSERT_EQ(rename((rootDir + "/srv").c_str(), (rootDir + "/srv.old").c_str()), 0);
  mountOn("kqblk-other", rootDir + "/srv/data", "-t tmpfs");
  kqblk_mountpoint r = record(data.node(), dataDir, rootDir + "//srv/data", "//srv/data");

  EXPECT_EQ(cleanup_one_mtpt(r), EPERM);
  EXPECT_THAT(r.error, HasSubstr("on no kqblk device"));
  EXPECT_EQ(sourceOn(rootDir + "/srv/data"), "kqblk-other");
  EXPECT_FALSE(mountedOn(dataDir));
}

TEST(PinnedMount, IsDetachedWhereverItsPathLeadsByThen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for mounts";
  const struct {
    const char* name;
    bool link;  // the pinned mount's parent is replaced by a link, else by a directory
  } cases[] = {{"renamed", false}, {"linked", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    mountOn("kqblk-pinned", dir / "p/m", "-t tmpfs");
    mountOn("kqblk-other", dir / "o/m", "-t tmpfs");
    KqMountEntry entry;
    std::string why;
    const int fd = KqPinMount(dir / "p/m", entry, why);
    ASSERT_GE(fd, 0) << why;
    EXPECT_EQ(entry.source, "kqblk-pinned");
    ASSERT_EQ(rename((dir / "p").c_str(), (dir / "moved").c_str()), 0);
    if (c.link) {
      ASSERT_EQ(symlink("o", (dir / "p").c_str()), 0);
    } else {
      ASSERT_EQ(rename((dir / "o").c_str(), (dir / "p").c_str()), 0);
    }

    EXPECT_EQ(KqDetachPinnedMount(fd), 0);
    ::close(fd);
    EXPECT_EQ(sourceOn(dir / (c.link ? "o/m" : "p/m")), "kqblk-other");
    EXPECT_FALSE(mountedOn(dir / "moved/m"));
  }
}
