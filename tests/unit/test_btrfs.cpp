// Btrfs duplicate-UUID handling through scripted btrfs tools. Detection is
// real: the first btrfs "device" is an image file made by mkfs.btrfs.

#include <algorithm>
#include <chrono>
#include <thread>

#include "doubles/tool_doubles.h"
#include "integration/discovery_devices.h"
#include "kq_log.h"
#include "kq_sync.h"
#include "kqblk_btrfs.h"
#include "kqblk_disk_utils.h"
#include "support/disk_image.h"
#include "support/run_tool.h"
#include "support/test_util.h"

using ::testing::ElementsAre;
using Args = std::vector<std::string>;

namespace {

class Btrfs : public ::testing::Test {
 protected:
  Btrfs() {
    if (const char* old = std::getenv("KQBLK_LOCK_DIR")) m_oldLockDir = old;
    setenv("KQBLK_LOCK_DIR", (dir / "locks").c_str(), 1);
    makeFileSystem(fs.path(), FileSystemSpec{"btrfs", "", ""});
    std::ofstream(plain) << std::string(200000, 'x');
  }
  ~Btrfs() override {
    if (m_oldLockDir.empty()) unsetenv("KQBLK_LOCK_DIR");
    else setenv("KQBLK_LOCK_DIR", m_oldLockDir.c_str(), 1);
  }
  // A copy of the file system image, as a cloned guest disk carries it.
  std::string copyOfFs() {
    const std::string copy = dir / "copy";
    runTool("cp --sparse=always " + shellQuote(fs.path()) + " " + shellQuote(copy));
    return copy;
  }

  ToolDoubles tools;
  TempDir dir;
  DiskImage fs{dir / "fs1", 128};
  const std::string plain = dir / "plain";
  const std::string missing = dir / "missing";
  std::string m_oldLockDir;
};

}  // namespace

// Not even "btrfs device scan", which would read every block device.
TEST_F(Btrfs, WithoutBtrfsNothingRunsAndTheListStays) {
  std::list<std::string> devices = {plain, missing};
  EXPECT_TRUE(KqBlkDiskUtils::processBtrFSDevices(devices, "kq-5-").empty());
  EXPECT_THAT(devices, ElementsAre(plain, missing));
  EXPECT_TRUE(tools.calls().empty());
}

// Each copy of a file system gets a new identity through its first device in
// the list; a further member of the same copy leaves the list. UUIDs and
// members come from the devices themselves, never from tool output.
TEST_F(Btrfs, RelabelsEachCopyAndErasesFurtherMembers) {
  DiskImage m1(dir / "m1", 128);
  DiskImage m2(dir / "m2", 128);
  runTool("mkfs.btrfs -f -q -d single -m single " + shellQuote(m1.path()) + " " +
          shellQuote(m2.path()));
  const std::string copy = copyOfFs();
  const std::string single = blkidValue(fs.path(), "UUID");
  const std::string multi = blkidValue(m1.path(), "UUID");
  std::list<std::string> devices = {missing, m2.path(), fs.path(), plain, m1.path(), copy};

  std::vector<std::string> tuned = {fs.path(), copy, m2.path()};
  std::vector<Args> labels = {{"filesystem", "label", "--", fs.path(), "kq-5-" + single},
                              {"filesystem", "label", "--", copy, "kq-5-" + single},
                              {"filesystem", "label", "--", m2.path(), "kq-5-" + multi}};
  Args scan = {"device", "scan", "--", fs.path(), copy, m2.path(), m1.path()};
  if (multi < single) {
    std::rotate(tuned.begin(), tuned.begin() + 2, tuned.end());
    std::rotate(labels.begin(), labels.begin() + 2, labels.end());
    std::rotate(scan.begin() + 3, scan.begin() + 5, scan.end());
  }
  const std::list<std::string> result = KqBlkDiskUtils::processBtrFSDevices(devices, "kq-5-");
  EXPECT_EQ(std::vector<std::string>(result.begin(), result.end()), tuned);
  EXPECT_THAT(devices, ElementsAre(missing, m2.path(), fs.path(), plain, copy));
  labels.push_back(scan);
  EXPECT_EQ(tools.argsOf("btrfs"), labels);
  std::vector<Args> tunes;
  for (const std::string& device : tuned) tunes.push_back({"-fu", device});
  EXPECT_EQ(tools.argsOf("btrfstune"), tunes);
  EXPECT_EQ(tools.tools().at(1), "btrfstune");  // each tune right after its label
}

TEST_F(Btrfs, FailuresStopWithWhatWasDoneAndTimeOut) {
  KqLogCapture log;
  const std::string copy = copyOfFs();
  std::list<std::string> devices = {fs.path(), copy};
  tools.on("btrfstune", "-fu " + copy, "", "busy", 1, 1);
  tools.on("btrfs", "device scan *", "", "no scan", 1, 1);
  EXPECT_THAT(KqBlkDiskUtils::processBtrFSDevices(devices, "k-"), ElementsAre(fs.path()));
  tools.on("btrfs", "filesystem label *", "", "read-only", 1, 1);
  EXPECT_TRUE(KqBlkDiskUtils::processBtrFSDevices(devices, "k-").empty());
  EXPECT_EQ(tools.argsOf("btrfstune").size(), 2u);  // none after the failed label
  EXPECT_EQ(tools.argsOf("btrfs").size(), 3u);      // no scan after a failure either
  EXPECT_THAT(devices, ElementsAre(fs.path(), copy));

  // Every btrfs command runs with the LVM commands' time-out: a tune that
  // would succeed after 30 seconds fails after 1.
  ScopedConfig settings("[Session]\nnHLXSystemCmdTimeout = 1\n");
  tools.on("btrfstune", "*", "", "", 0, -1, 30);
  EXPECT_TRUE(KqBlkDiskUtils::processBtrFSDevices(devices, "k-").empty());
  EXPECT_EQ(log.find("Failed to run [btrfstune -fu '" + fs.path() + "'] :err: [timedout]").size(),
            1u);
}

TEST_F(Btrfs, ScansWaitForTheMachineWideMutex) {
  KqNamedMutex other(HLX_BTRFS_MUTEX_NAME);
  ASSERT_TRUE(other.lock());
  std::list<std::string> devices = {fs.path()};
  std::thread discovery([&] { KqBlkDiskUtils::processBtrFSDevices(devices, "kq-5-"); });
  // Label and tune run; the scan must then wait while the mutex is held.
  for (int i = 0; i < 600 && tools.calls().size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(tools.calls().size(), 2u) << "scanned while another holder had the mutex";
  other.unlock();
  discovery.join();
  EXPECT_EQ(tools.calls().size(), 3u);
  EXPECT_TRUE(other.lock()) << "the mutex was not released";
  other.unlock();
}
