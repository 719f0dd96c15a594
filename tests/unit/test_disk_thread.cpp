// The service thread: start and stop, serving recalls, failures.
#include <dirent.h>

#include "doubles/test_disk.h"
#include "kqblk_cache_manager.h"
#include "kqblk_store.h"
#include "support/exposed_disk.h"
#include "support/test_util.h"

using ::testing::HasSubstr;

namespace {

// The extent as the test source has it: byte i of the disk is i % 251.
bool holdsSourceExtent(KqBlkRecallStore* store, int64_t extent) {
  std::vector<char> data(4096);
  if (store->readExtent(extent, data.data()).IsError()) return false;
  for (size_t i = 0; i < data.size(); ++i) {
    if (static_cast<unsigned char>(data[i]) != (extent * 4096 + static_cast<int64_t>(i)) % 251) return false;
  }
  return true;
}

class DiskThread : public DiskFixture {
 protected:
  void SetUp() override {
    DiskFixture::SetUp();
    disk.setDiskUUID("dev0");
    disk.setSectors(4096);
    disk.connect();
    disk.createKqBlkDev();
  }
  TestDisk disk{"/vm/disk0", dir.path()};
};

}  // namespace

TEST_F(DiskThread, ServesRecallsReconnectingOnTheFirstRequest) {
  disk.startThread();
  EXPECT_EQ(disk.getState(), STATE_MONITORING);
  driverDouble().pushRequest(3);
  ASSERT_TRUE(driverDouble().waitForRecalls(1, 5000));
  EXPECT_EQ(disk.connects.load(), 2);  // once by the test, once by the thread
  EXPECT_EQ(disk.lastOffset.load(), 3 * 4096);
  EXPECT_TRUE(holdsSourceExtent(disk.recallStore(), 3));

  // Already recalled: answered from the store without reading the source.
  const int reads = disk.reads;
  driverDouble().pushRequest(3);
  ASSERT_TRUE(driverDouble().waitForRecalls(2, 5000));
  EXPECT_EQ(disk.reads.load(), reads);
  disk.stopThread();
  EXPECT_EQ(disk.getState(), STATE_DEVICE_CREATED);
}

TEST_F(DiskThread, ReadinessChangeBeforeARequestConnectsFirst) {
  disk.startThread();
  // A second thread would take the first one's stop pipe away from it.
  const int stopPipe = disk.pipeFds()[0];
  EXPECT_THAT([&] { disk.startThread(); }, throwsKq(-1, HasSubstr("driver thread already started")));
  EXPECT_EQ(disk.pipeFds()[0], stopPipe);
  driverDouble().poke();  // readable, but the queue is empty (errno 11)
  driverDouble().pushRequest(1);
  ASSERT_TRUE(driverDouble().waitForRecalls(1, 5000));
  EXPECT_EQ(disk.connects.load(), 2);
  EXPECT_FALSE(disk.getLastError().IsError());
  disk.stopThread();
}

TEST_F(DiskThread, OneReadFillingSeveralExtentsReportsEachDone) {
  disk.returnSize = 3 * 4096;  // the source hands back a buffer of its own
  disk.startThread();
  driverDouble().pushRequest(10);
  ASSERT_TRUE(driverDouble().waitForRecalls(3, 5000));
  EXPECT_EQ(driverDouble().recallsDone, (std::vector<int64_t>{10, 11, 12}));
  EXPECT_EQ(disk.reads.load(), 1);
  EXPECT_TRUE(holdsSourceExtent(disk.recallStore(), 12));
  disk.stopThread();
}

// The source gone when the first request reconnects: the device is
// aborted, so that its reader fails instead of waiting for ever.
TEST_F(DiskThread, AReconnectThatFailsAbortsTheDevice) {
  disk.failConnect = true;
  KqLogCapture log;
  disk.startThread();
  driverDouble().pushRequest(3);
  for (int i = 0; i < 500 && driverDouble().countCalls("abort:dev0") == 0; ++i) usleep(10000);
  EXPECT_EQ(driverDouble().countCalls("abort:dev0"), 1u);
  const auto caught = log.find("Caught Exception [test][1][TestDisk::connect]:[scripted connect failure]");
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_THAT(caught[0].text, ::testing::EndsWith("  Aborting device [dev0]"));
  disk.stopThread();
}

TEST_F(DiskThread, FiveFailedReadsAbortTheDeviceUnlessOnlyReadAheadWantedTheExtent) {
  disk.failReadsFrom = 0;
  KqLogCapture log;
  disk.startThread();
  // Read-ahead (perhaps past the source's end): dropped, the device lives.
  driverDouble().readAhead = {7};
  driverDouble().pushRequest(7);
  ASSERT_TRUE(driverDouble().waitForRecalls(1, 5000));
  EXPECT_EQ(driverDouble().countCalls("abort:dev0"), 0u);
  // A reader waits for this one.
  driverDouble().pushRequest(5);
  for (int i = 0; i < 500 && driverDouble().countCalls("abort:dev0") == 0; ++i) usleep(10000);
  EXPECT_EQ(driverDouble().countCalls("abort:dev0"), 1u);
  EXPECT_EQ(disk.reads.load(), 10);
  const auto caught = log.find("Caught Exception [kqblk_disk]");
  ASSERT_EQ(caught.size(), 1u);
  EXPECT_THAT(caught[0].text, HasSubstr(
      "[KqBlkDisk::DeviceThreadFunc]:[Disconnect direct done upon lib disk read err]"));
  EXPECT_THAT(caught[0].text, ::testing::EndsWith("  Aborting device [dev0]"));
  EXPECT_EQ(caught[0].level, -1);
  EXPECT_EQ(driverDouble().recallsDone, std::vector<int64_t>{7});
  disk.stopThread();  // the thread has ended already; this must not hang
  EXPECT_EQ(disk.getState(), STATE_DEVICE_CREATED);
}

TEST_F(DiskThread, FullCacheDropsDataReportsDoneAndLogsChangesOnce) {
  CacheManager cache(1);  // nothing fits
  KqBlkDisk::setCacheManager(&cache);
  KqLogCapture log;
  disk.startThread();
  driverDouble().pushRequest(7);
  driverDouble().pushRequest(7);
  driverDouble().pushRequest(8);
  ASSERT_TRUE(driverDouble().waitForRecalls(3, 5000));
  disk.stopThread();
  EXPECT_FALSE(disk.recallStore()->hasExtent(7));
  const std::string name7 = "Could not update file [" + dir / "dev0/rbstore/data#7" + "] len [4096] in cache";
  const auto same = log.find(name7);
  ASSERT_EQ(same.size(), 2u);
  EXPECT_EQ(same[0].level, -1);
  EXPECT_EQ(same[1].level, 2);
  EXPECT_EQ(log.find("data#8] len [4096] in cache")[0].level, -1);
  EXPECT_EQ(log.find("Cache Full. Cannot move in additional extents!").size(), 3u);
}

TEST_F(DiskThread, DriverErrorEndsTheThreadWithoutAbort) {
  KqLogCapture log;
  disk.startThread();
  driverDouble().raiseError();
  // Its last error may be read only after the join.
  for (int i = 0; i < 500 && log.find("Returning from thread func").empty(); ++i) usleep(10000);
  disk.stopThread();
  EXPECT_EQ(FXErrorUtil::GetErrNo(disk.getLastError()), 22);
  EXPECT_EQ(driverDouble().countCalls("abort:dev0"), 0u);
}

TEST_F(DiskThread, StartupFailuresLeaveStopAndDestroyWorking) {
  driverDouble().monitorResult = FXErrorUtil::ErrorErrNo(FX_HERE, ENODEV, "no device");
  KqLogCapture log;
  disk.startThread();
  EXPECT_EQ(log.find("Driver thread started correctly for dev0").size(), 1u);
  EXPECT_EQ(disk.getState(), STATE_DEVICE_CREATED);
  disk.stopThread();
  disk.destroyKqBlkDev();
  EXPECT_EQ(disk.getState(), STATE_INIT);
}

TEST_F(DiskThread, StopWithoutThreadAndDescriptorsAreReleased) {
  const int before = openDescriptors();
  {
    TestDisk idle("/vm/idle", dir.path());
    idle.setDiskUUID("idle");
    idle.connect();
    idle.stopThread();  // no device, no thread: returns at once
    EXPECT_EQ(idle.getState(), STATE_INIT);
  }
  for (int round = 0; round < 3; ++round) {
    TestDisk d("/vm/d", dir.path());
    d.setDiskUUID("d" + std::to_string(round));
    d.connect();
    d.createKqBlkDev();
    d.startThread();
    d.stopThread();
    d.destroyKqBlkDev();
  }
  EXPECT_EQ(openDescriptors(), before);
}
