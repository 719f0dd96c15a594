// Driver devices from creation to removal (root): names, busy devices,
// partitions, ownership, and a device whose creating process was killed.
#include <poll.h>
#include <signal.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include "kqblk_driver.h"
#include "kqblk_engine.h"
#include "kqblk_engine_blockdev.h"
#include "support/disk_image.h"
#include "support/driver_fixture.h"
#include "support/driver_recall_server.h"
#include "support/guest_image.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/test_util.h"

namespace {

const int64_t kMiB = 1024 * 1024;
const int kTimeout = 120;

dev_t deviceOf(const std::string& node) {
  struct stat st;
  return ::stat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode) ? st.st_rdev : 0;
}

bool owned(const std::string& node) {
  const dev_t dev = deviceOf(node);
  return dev != 0 && KqBlkDriverUnix::ownsBlockDevice(major(dev), minor(dev));
}

class DriverLifecycleTest : public DriverTest {
 protected:
  // A device over the image, served from it. Stores and server live as long
  // as the test; the device guard destroys it before them.
  std::string expose(const std::string& image, int64_t bytes, const std::string& stem) {
    m_stores.push_back(std::make_unique<StorePair>(bytes));
    const std::string name = testDeviceName(stem);
    m_guards.push_back(std::make_unique<DeviceGuard>(name));
    std::string node;
    CUxError err = KqBlkDriverUnix().createAutoAbortDevice(
        name, m_stores.back()->privateStore(), m_stores.back()->recallStore(), node);
    EXPECT_FALSE(err.IsError()) << err.AsString();
    m_servers.push_back(
        std::make_unique<RecallServer>(name, m_stores.back()->recallStore().get(), image));
    return name;
  }

  void TearDown() override {
    m_servers.clear();
    m_guards.clear();
    m_stores.clear();
  }

  TempDir m_dir;
  std::vector<std::unique_ptr<StorePair>> m_stores;
  std::vector<std::unique_ptr<DeviceGuard>> m_guards;
  std::vector<std::unique_ptr<RecallServer>> m_servers;
};

TEST_F(DriverLifecycleTest, RejectsUnsafeNamesDuplicatesAndUnknownDevices) {
  StorePair stores(4 * kMiB);
  KqBlkDriverUnix driver;
  // Which names are unsafe is tested on the name check alone; here, that
  // each entry point refuses one before it touches a path.
  {
    const std::string name = "../x";
    std::string node;
    CUxError err =
        driver.createAutoAbortDevice(name, stores.privateStore(), stores.recallStore(), node);
    ASSERT_TRUE(err.IsError()) << "accepted \"" << name << "\"";
    EXPECT_EQ(EINVAL, FXErrorUtil::GetErrNo(err)) << err.AsString();
    EXPECT_TRUE(node.empty());
    EXPECT_EQ(EINVAL, FXErrorUtil::GetErrNo(driver.abortDevice(name)));
    EXPECT_EQ(EINVAL, FXErrorUtil::GetErrNo(driver.destroyDevice(name)));
  }
  struct stat st;
  EXPECT_NE(0, ::lstat("/run/kqblk/x", &st)) << "\"../x\" escaped the device directory";

  StorePair other(4 * kMiB, 8192);
  std::string node;
  CUxError err = driver.createAutoAbortDevice(testDeviceName("mixed"), stores.privateStore(),
                                              other.recallStore(), node);
  EXPECT_EQ(EINVAL, FXErrorUtil::GetErrNo(err)) << "stores of different extent sizes";
  err = driver.createAutoAbortDevice(testDeviceName("null"), nullptr, stores.recallStore(), node);
  EXPECT_EQ(EINVAL, FXErrorUtil::GetErrNo(err));

  const std::string name = testDeviceName("dup");
  DeviceGuard guard(name);
  ASSERT_FALSE(
      driver.createAutoAbortDevice(name, stores.privateStore(), stores.recallStore(), node)
          .IsError());
  std::string second;
  err = driver.createAutoAbortDevice(name, other.privateStore(), other.recallStore(), second);
  EXPECT_EQ(EEXIST, FXErrorUtil::GetErrNo(err));
  EXPECT_TRUE(second.empty());
  EXPECT_EQ(4 * kMiB / 512, std::stoll(runTool("blockdev --getsz " + shellQuote(node))));

  // Blanks and non-ASCII bytes are fine in names (escaped in mount tables).
  StorePair third(4 * kMiB);
  const std::string spaced = testDeviceName("with space \xc3\xbc");
  {
    DeviceGuard spacedGuard(spaced);
    std::string spacedNode;
    err = driver.createAutoAbortDevice(spaced, third.privateStore(), third.recallStore(),
                                       spacedNode);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_TRUE(owned(spacedNode));
    err = driver.destroyDevice(spaced);
    EXPECT_FALSE(err.IsError()) << err.AsString();
  }
  EXPECT_EQ(std::vector<std::string>(), leftovers(spaced));

  const std::string unknown = testDeviceName("unknown");
  int64_t extent = 0;
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(driver.abortDevice(unknown)));
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(driver.destroyDevice(unknown)));
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(driver.monitorDevice(unknown)));
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(driver.getRecallRequest(unknown, extent)));
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(driver.waitForDeviceReady(unknown, 1)));
}

TEST_F(DriverLifecycleTest, DestroyRefusesWhileBusyAndThenLeavesNothing) {
  const std::set<std::string> loopsBefore = boundLoops();
  DiskImage image(m_dir / "plain.img", 64);
  const std::string name = expose(image.path(), 64 * kMiB, "busy");
  const std::string node = "/dev/kqblk/" + name;
  KqBlkDriverUnix driver;
  ASSERT_FALSE(driver.waitForDeviceReady(name, kTimeout).IsError()) << "a disk without partitions";
  EXPECT_NE(0u, deviceOf(node));
  EXPECT_EQ(0u, deviceOf(node + "p1")) << "no partitions on a disk without a table";
  const int loopIndex = KqBlkEngine::instance().find(name)->loop.index;
  EXPECT_EQ(runTool("cat /sys/block/loop" + std::to_string(loopIndex) + "/loop/dio"), "1\n")
      << "no direct I/O: the FUSE file gets one page at a time";

  withinOrAbort(name, kTimeout, [&] { return runTool("mkfs.ext4 -q -F " + shellQuote(node)); });
  ScopedMount mounted(node, m_dir / "mnt", "rw");
  CUxError err = driver.destroyDevice(name);
  ASSERT_TRUE(err.IsError()) << "destroyed while mounted";
  EXPECT_EQ(EBUSY, FXErrorUtil::GetErrNo(err)) << err.AsString();
  EXPECT_EQ(4096, readDirect(node, 0, 4096).bytes) << "a refused destroy must not harm the device";
  mounted.unmount();
  runTool("blockdev --setro " + shellQuote(node));  // as a mount that falls back to read-only does

  const int exclusive = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  ASSERT_GE(exclusive, 0);
  err = driver.destroyDevice(name);
  EXPECT_EQ(EBUSY, FXErrorUtil::GetErrNo(err)) << err.AsString();
  ::close(exclusive);

  // A plain opener outlives the detach: the kernel frees the loop device at
  // its last close, and another program may attach it before the retry.
  const int opener = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(opener, 0);
  ASSERT_FALSE(driver.abortDevice(name).IsError());
  EXPECT_EQ(EBUSY, FXErrorUtil::GetErrNo(driver.destroyDevice(name)));
  ::close(opener);
  DiskImage otherImage(m_dir / "other.img", 8);
  LoopOptions sameLoop;
  sameLoop.device = "/dev/loop" + std::to_string(loopIndex);
  std::unique_ptr<LoopDevice> other;
  for (int i = 0; i < 100 && !other; ++i) {
    try {
      other = std::make_unique<LoopDevice>(otherImage.path(), sameLoop);
    } catch (const std::exception&) {
      usleep(20000);  // until the last close has freed it
    }
  }
  ASSERT_TRUE(other) << sameLoop.device << " was never freed";
  EXPECT_EQ(runTool("cat /sys/block/" + other->name() + "/ro"), "0\n") << "our read-only mark outlived us";

  err = driver.destroyDevice(name);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(std::vector<std::string>(), leftovers(name));
  EXPECT_EQ(runTool("losetup -n -O BACK-FILE " + shellQuote(other->path())),
            otherImage.path() + "\n")
      << "the retry detached a loop device that was no longer the driver's";
  other.reset();
  EXPECT_EQ(loopsBefore, boundLoops());
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(driver.destroyDevice(name)));
}

TEST_F(DriverLifecycleTest, MbrAndGptPartitionsAppearMountAndGoWithTheDevice) {
  const struct {
    const char* name;
    const char* script;
    std::vector<std::pair<int, int64_t>> sectors;  // of each partition the device shows
    int absent;
  } tables[] = {{"mbr",
                 "label: dos\nstart=2048, size=16384, type=83\nstart=18432, size=8192, type=83\n"
                 "start=26624, type=5\nstart=28672, size=8192, type=83\n",
                 {{1, 16384}, {2, 8192}, {5, 8192}}, 6},
                {"gpt",
                 "label: gpt\nstart=2048, size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n"
                 "start=18432, size=24576, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n",
                 {{1, 16384}, {2, 24576}}, 3}};
  KqBlkDriverUnix driver;
  for (const auto& table : tables) {
    SCOPED_TRACE(table.name);
    DiskImage image(m_dir / (std::string(table.name) + ".img"), 32);
    image.partition(table.script);
    image.fillRandom(18432 * 512, 8192, 5);  // partition 2 starts there in both tables
    {
      LoopDevice loop(image.path());
      loop.addPartitions();
      fillFileSystem(loop.partitionPath(1), {"ext4", "", ""}, {{"hello.txt", "hello from p1\n"}});
    }
    const std::string name = expose(image.path(), 32 * kMiB, table.name);
    CUxError err = driver.waitForDeviceReady(name, kTimeout);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_FALSE(driver.waitForDeviceReady(name, kTimeout).IsError()) << "ready twice is ready";
    const std::string node = "/dev/kqblk/" + name;
    for (const auto& part : table.sectors) {
      const std::string path = node + "p" + std::to_string(part.first);
      ASSERT_TRUE(owned(path)) << path;
      EXPECT_EQ(part.second, std::stoll(runTool("blockdev --getsz " + shellQuote(path)))) << path;
    }
    EXPECT_EQ(0u, deviceOf(node + "p" + std::to_string(table.absent)));
    EXPECT_TRUE(readDirect(node + "p2", 0, 8192).data == readFile(image.path(), 18432 * 512, 8192));
    {
      ScopedMount mounted(node + "p1", m_dir / "mnt", "ro");
      std::string line;
      std::getline(std::ifstream(mounted.path() + "/hello.txt"), line);
      EXPECT_EQ("hello from p1", line);
      EXPECT_EQ(EBUSY, FXErrorUtil::GetErrNo(driver.destroyDevice(name))) << "partition mounted";
      mounted.unmount();
    }
    ASSERT_FALSE(driver.abortDevice(name).IsError());
    err = driver.destroyDevice(name);
    ASSERT_FALSE(err.IsError()) << err.AsString();
    EXPECT_EQ(std::vector<std::string>(), leftovers(name));
  }
}

// The driver's own nodes and partitions count as owned in the other tests.
TEST_F(DriverLifecycleTest, OwnsNoOtherDevice) {
  DiskImage plain(m_dir / "plain.img", 16);
  plain.partition("label: dos\nstart=2048, size=8192, type=83\n");
  LoopDevice byHand(plain.path());
  byHand.addPartitions();
  EXPECT_FALSE(owned(byHand.path())) << "a loop device the driver did not make";
  EXPECT_FALSE(owned(byHand.partitionPath(1)));
  struct stat root;
  ASSERT_EQ(0, ::stat("/", &root));
  EXPECT_FALSE(KqBlkDriverUnix::ownsBlockDevice(major(root.st_dev), minor(root.st_dev)));
  EXPECT_FALSE(KqBlkDriverUnix::ownsBlockDevice(0, 0));
}

// The child makes a device over the stores, reports, and waits to be
// killed; it never returns into the test.
[[noreturn]] void childMakesDevice(const StorePair& stores, const std::string& name, int report) {
  std::string node;
  const CUxError err = KqBlkDriverUnix().createAutoAbortDevice(name, stores.privateStore(),
                                                               stores.recallStore(), node);
  const std::string text = err.IsError() ? "0" + err.AsString() : "1";
  if (::write(report, text.data(), text.size()) < 0) _exit(2);
  for (;;) ::pause();
}

TEST_F(DriverLifecycleTest, DeviceOfAKilledProcessIsAbortedAndDestroyedByName) {
  const std::set<std::string> loopsBefore = boundLoops();
  const std::string name = testDeviceName("orphan");
  const std::string node = "/dev/kqblk/" + name;
  StorePair stores(16 * kMiB);
  DeviceGuard guard(name);
  int report[2];
  ASSERT_EQ(0, ::pipe2(report, O_CLOEXEC));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(report[0]);
    childMakesDevice(stores, name, report[1]);
  }
  auto killChild = [pid, reaped = false]() mutable {
    if (reaped) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    reaped = true;
  };
  ScopeExit reap([&] { killChild(); });
  ::close(report[1]);
  pollfd p = {report[0], POLLIN, 0};
  ASSERT_EQ(1, ::poll(&p, 1, kTimeout * 1000));
  char status[512] = {0};
  const ssize_t n = ::read(report[0], status, sizeof status - 1);
  ::close(report[0]);
  ASSERT_GT(n, 0);
  ASSERT_EQ('1', status[0]) << "child: " << status + 1;
  EXPECT_TRUE(owned(node)) << "owned also from a process that did not make it";

  killChild();
  // Its server died with it: I/O fails instead of waiting for recalls.
  const IoResult failed = withinOrAbort(name, kTimeout, [&] { return readDirect(node, 0, 4096); });
  EXPECT_EQ(-1, failed.bytes);

  KqBlkDriverUnix driver;
  CUxError err = driver.abortDevice(name);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  err = driver.destroyDevice(name);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  EXPECT_EQ(std::vector<std::string>(), leftovers(name));
  EXPECT_EQ(loopsBefore, boundLoops());
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(driver.abortDevice(name)));
  EXPECT_EQ(ENOENT, FXErrorUtil::GetErrNo(driver.destroyDevice(name)));
}

}  // namespace
