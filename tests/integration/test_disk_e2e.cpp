// A backed-up disk exposed end to end: reader plugin, service thread, the
// userspace driver, real file systems mounted from the device.

#include <set>

#include "kq_process.h"
#include "kqblk_store.h"
#include "support/driver_fixture.h"
#include "support/exposed_guest_test.h"
#include "support/test_util.h"

using ::testing::IsEmpty;

using EndToEnd = ExposedGuestTest;

TEST_F(EndToEnd, MountsEachPartitionAndReadsFilesByteExactFetchingLittle) {
  ExposedDisk e(guest->image.path(), guest->image.sizeBytes(), dir.path());
  e.expose();
  {
    ScopedMount root(e.devPath + "p1", dir / "p1", "ro");
    EXPECT_EQ(readFile(root.path() + "/small.bin"), guest->files[1]["small.bin"]);
    const uint64_t recalled = e.disk->getRecallStore()->getPresentCount() * 4096u;
    // One small file on a 400 MiB disk: the mount and the file, little more.
    EXPECT_LT(recalled, guest->image.sizeBytes() / 20) << recalled << " bytes recalled";
    for (const auto& file : guest->files[1]) {
      EXPECT_EQ(readFile(root.path() + "/" + file.first), file.second) << file.first;
    }
  }
  ScopedMount data(e.devPath + "p2", dir / "p2", "ro,norecovery");
  for (const auto& file : guest->files[2]) {
    EXPECT_EQ(readFile(data.path() + "/" + file.first), file.second) << file.first;
  }
}

TEST_F(EndToEnd, WritesReachTheSourceOnlyThroughWriteBack) {
  const std::string copy = dir / "copy.img";
  runTool("cp --sparse=always " + shellQuote(guest->image.path()) + " " + shellQuote(copy));
  const std::string before = runTool("md5sum < " + shellQuote(copy));
  ExposedDisk e(copy, guest->image.sizeBytes(), dir.path());
  e.expose();
  {
    ScopedMount root(e.devPath + "p1", dir / "p1", "rw");
    writeFile(root.path() + "/new.bin", randomBytes(300000, 9));
    writeFile(root.path() + "/small.bin", randomBytes(5000, 10));
    root.unmount();
  }
  EXPECT_EQ(runTool("md5sum < " + shellQuote(copy)), before);
  EXPECT_GT(e.disk->getPrivateStore()->getPresentCount(), 0);
  // Everything the device shows, recalled while the thread serves it.
  const std::string device = runTool("md5sum < " + shellQuote(e.devPath));
  ASSERT_TRUE(e.disk->writeBackChanges());
  EXPECT_EQ(runTool("md5sum < " + shellQuote(copy)), device);
  EXPECT_NE(device, before);
}

TEST_F(EndToEnd, ReadAheadPastTheSourcesEndNeitherFailsReadsNorAbortsTheDevice) {
  // Said to be larger than its source: read-ahead at the source's end asks
  // for extents the source cannot give.
  const uint64_t bytes = guest->image.sizeBytes();
  ExposedDisk e(guest->image.path(), bytes + (1 << 20), dir.path());
  e.expose();
  const uint64_t block = 65536;
  std::string out;
  std::string err;
  EXPECT_EQ(KqProcess::system("dd if=" + shellQuote(e.devPath) + " of=/dev/null bs=" +
                                  std::to_string(block) + " iflag=direct count=32 skip=" +
                                  std::to_string(bytes / block - 32),
                              &out, &err, 60, false),
            0)
      << err;
  EXPECT_EQ(readBlockDirect(e.devPath, 10, &err), 0) << "the device was aborted: " << err;
}

TEST_F(EndToEnd, TeardownInEveryStateLeavesNothingBehind) {
  const int before = openDescriptors();
  const std::set<std::string> loopsBefore = boundLoops();
  const std::string image = guest->image.path();
  const int64_t bytes = static_cast<int64_t>(guest->image.sizeBytes());
  for (int stopAt = 0; stopAt <= 5; ++stopAt) {
    ExposedDisk e(image, static_cast<uint64_t>(bytes), dir.path());
    if (stopAt >= 1) e.disk->connect();
    if (stopAt >= 2) {
      e.devPath = e.disk->createKqBlkDev();
      // Renamed, the disk would abort and destroy some other device.
      EXPECT_THROW(e.disk->setDiskUUID("renamed"), KqException);
      EXPECT_FALSE(e.disk->setDiskParams(1 << 20, bytes, 512, "renamed"));
    }
    if (stopAt >= 3) e.disk->startThread();
    if (stopAt >= 4) e.disk->waitForDeviceReady();
    if (stopAt >= 5) {
      // Connected again after serving, as a write-back does: state 1 with a device.
      e.disk->stopThread();
      e.disk->connect();
      ASSERT_EQ(e.disk->getState(), STATE_CONNECTED);
    }
    const std::string name = e.disk->getDiskUUID();
    // The destructor alone takes it down from here.
    e.disk.reset();
    EXPECT_THAT(leftovers(name), IsEmpty()) << "stopped at step " << stopAt;
    EXPECT_NE(::access((dir / name).c_str(), F_OK), 0) << "stopped at step " << stopAt;
  }
  {
    // A thread whose start-up fails: its device vanished underneath it.
    ExposedDisk e(image, static_cast<uint64_t>(bytes), dir.path());
    e.disk->connect();
    e.devPath = e.disk->createKqBlkDev();
    KqBlkDriverUnix other;
    ASSERT_FALSE(other.abortDevice(e.disk->getDiskUUID()).IsError());
    ASSERT_FALSE(other.destroyDevice(e.disk->getDiskUUID()).IsError());
    e.disk->startThread();
    e.disk->stopThread();
    e.disk->destroyKqBlkDev();
    EXPECT_EQ(e.disk->getState(), STATE_INIT);
    e.disk->disconnect_direct();
  }
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(boundLoops(), loopsBefore);
}

TEST_F(EndToEnd, DiskWith4096ByteSectorsIsExposedWhole) {
  const int64_t bytes = static_cast<int64_t>(guest->image.sizeBytes());
  ExposedDisk e(guest->image.path(), static_cast<uint64_t>(bytes), dir.path());
  ASSERT_TRUE(e.disk->setDiskParams(1 << 20, bytes, 4096, guest->image.path()));
  e.expose();
  EXPECT_EQ(runTool("blockdev --getsize64 " + shellQuote(e.devPath)), std::to_string(bytes) + "\n");
}
