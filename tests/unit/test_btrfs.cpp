// Btrfs duplicate-UUID handling through scripted btrfs tools. Detection is
// real: the first btrfs "device" is an image file made by mkfs.btrfs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "doubles/tool_doubles.h"
#include "kq_log.h"
#include "kq_sync.h"
#include "kqblk_btrfs.h"
#include "kqblk_disk_utils.h"
#include "support/disk_image.h"

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
  // "btrfs filesystem show" output listing `paths` under `uuid`.
  static std::string show(const std::string& uuid, const std::vector<std::string>& paths) {
    std::string text = "Label: 'data'  uuid: " + uuid + "\n\tTotal devices 2\n";
    int devid = 1;
    for (const std::string& path : paths) {
      text += "\tdevid    " + std::to_string(devid++) + " size 128.00MiB used 8.00MiB path " + path + "\n";
    }
    return text + "\n";
  }

  ToolDoubles tools;
  TempDir dir;
  DiskImage fs{dir / "fs1", 128};
  const std::string plain = dir / "plain";
  const std::string missing = dir / "missing";
  const std::string m2 = dir / "m2";
  std::string m_oldLockDir;
};

}  // namespace

TEST_F(Btrfs, WithoutBtrfsNothingRunsAndTheListStays) {
  KqLogCapture log;
  std::list<std::string> devices = {plain, missing};
  EXPECT_TRUE(KqBlkDiskUtils::processBtrFSDevices(devices, "kq-5-").empty());
  EXPECT_THAT(devices, ElementsAre(plain, missing));
  EXPECT_TRUE(tools.calls().empty());
  EXPECT_EQ(log.find("Caught error").size(), 1u);
}

TEST_F(Btrfs, RelabelsFirstMembersAndErasesFurtherOnes) {
  KqLogCapture log;
  tools.on("btrfs", "filesystem show --all-devices",
           show("2222", {fs.path(), m2}) + show("1111", {"/dev/kqblk/x9"}) + "uuid: 4444\nuuid: 3333\n");
  tools.on("btrfs", "filesystem show -- 2222", show("2222", {fs.path(), m2}));
  tools.on("btrfs", "filesystem show -- 1111", show("1111", {"/dev/kqblk/x9"}));
  // 3333's first member belongs to the proxy; its member in the request goes.
  tools.on("btrfs", "filesystem show -- 3333", show("3333", {"/dev/sda3", "/dev/y7"}));
  tools.on("btrfs", "filesystem show -- 4444", "", "ERROR: not found", 1);
  // Detection stops at the first btrfs: "missing" fails, "unread" is never probed.
  std::list<std::string> devices = {missing, fs.path(), m2, "/dev/x9", "/dev/y7", dir / "unread"};

  EXPECT_THAT(KqBlkDiskUtils::processBtrFSDevices(devices, "kq-5-"),
              ElementsAre("/dev/x9", fs.path()));
  EXPECT_THAT(devices, ElementsAre(missing, fs.path(), "/dev/x9", dir / "unread"));
  EXPECT_THAT(tools.argsOf("btrfs"),
              ElementsAre(Args{"device", "scan"}, Args{"filesystem", "show", "--all-devices"},
                          Args{"filesystem", "show", "--", "2222"},
                          Args{"filesystem", "show", "--", "1111"},
                          Args{"filesystem", "show", "--", "4444"},
                          Args{"filesystem", "show", "--", "3333"},
                          Args{"filesystem", "label", "/dev/x9", "kq-5-1111"},
                          Args{"filesystem", "label", fs.path(), "kq-5-2222"}));
  EXPECT_THAT(tools.argsOf("btrfstune"), ElementsAre(Args{"-fu", "/dev/x9"}, Args{"-fu", fs.path()}));
  EXPECT_EQ(tools.tools().at(7), "btrfstune");  // each tune right after its label
  EXPECT_EQ(log.find("Caught error").size(), 1u);
  EXPECT_EQ(log.find("disk [/dev/sda3] is not part of HLX request").size(), 1u);
}

TEST_F(Btrfs, FailuresLeaveTheListAloneOrStopWithWhatWasDone) {
  KqLogCapture log;
  std::list<std::string> devices = {fs.path(), m2};
  tools.on("btrfs", "device scan", "out1", "err1", 1, 1);
  tools.on("btrfs", "filesystem show --all-devices", "o2", "e2", 1, 1);
  tools.on("btrfs", "filesystem show --all-devices", "no file systems here\n", "", 0, 1);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(KqBlkDiskUtils::processBtrFSDevices(devices, "k-").empty());
  EXPECT_EQ(log.find("scan failed out[out1] err[err1] - ignore err").size(), 1u);
  EXPECT_EQ(log.find("Failed to run [btrfs filesystem show --all-devices] :err: [e2]").size(), 1u);
  EXPECT_EQ(log.find("Empty list of Btrfs UUIDs found").size(), 1u);
  EXPECT_EQ(tools.calls().size(), 5u);

  tools.on("btrfs", "filesystem show --all-devices", "uuid: 1111\nuuid: 2222\n");
  tools.on("btrfs", "filesystem show -- 1111", show("1111", {fs.path()}));
  tools.on("btrfs", "filesystem show -- 2222", show("2222", {m2}));
  tools.on("btrfstune", "-fu " + m2, "", "busy", 1, 1);
  EXPECT_THAT(KqBlkDiskUtils::processBtrFSDevices(devices, "k-"), ElementsAre(fs.path()));
  tools.on("btrfs", "filesystem label *", "", "read-only", 1);
  EXPECT_TRUE(KqBlkDiskUtils::processBtrFSDevices(devices, "k-").empty());
  EXPECT_EQ(tools.argsOf("btrfstune").size(), 2u);  // none after the failed label
  EXPECT_THAT(devices, ElementsAre(fs.path(), m2));
}

TEST_F(Btrfs, ScansWaitForTheMachineWideMutex) {
  tools.on("btrfs", "filesystem show --all-devices", "nothing\n");
  KqNamedMutex other(HLX_BTRFS_MUTEX_NAME);
  ASSERT_TRUE(other.lock());
  std::list<std::string> devices = {fs.path()};
  std::thread discovery([&] { KqBlkDiskUtils::processBtrFSDevices(devices, "kq-5-"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(tools.calls().empty()) << "scanned while another holder had the mutex";
  other.unlock();
  discovery.join();
  EXPECT_EQ(tools.calls().size(), 2u);
  EXPECT_TRUE(other.lock()) << "the mutex was not released";
  other.unlock();
}
