// The disk object's identity, state checks and destructor.
#include "doubles/test_disk.h"
#include "support/test_util.h"

namespace {

using ::testing::Property;

// Refused as the state checks refuse: status -1, raised in kqblk_disk by `function`.
auto refused(const std::string& function, const std::string& message) {
  return ::testing::Throws<KqException>(
      ::testing::AllOf(Property("getCode", &KqException::getCode, -1),
                       Property("getFileName", &KqException::getFileName, "kqblk_disk"),
                       Property("getFuncName", &KqException::getFuncName, function),
                       Property("getMessage", &KqException::getMessage, message)));
}

using DiskState = DiskFixture;

}  // namespace

TEST_F(DiskState, ShortNamesStayAndLongNamesAreHashedBehindThePrefix) {
  TestDisk disk("/vm/disk0", dir.path());
  disk.setIdPrefix("req7-");
  const std::string name63(63, 'a');
  EXPECT_EQ(disk.setDiskUUID(name63), name63);
  EXPECT_EQ(disk.setDiskUUID(std::string(64, 'a')), "req7-014842D480B571495A4A0363793F7367");
  EXPECT_EQ(disk.getDiskUUID(), "req7-014842D480B571495A4A0363793F7367");
  // Names that cannot be one file name are hashed whatever their length.
  EXPECT_EQ(disk.setDiskUUID("a/b"), "req7-A7E86136543B019D72468CEEBF71FB8E");
  EXPECT_EQ(disk.setDiskUUID("..").substr(0, 5), "req7-");
  EXPECT_EQ(disk.setDiskUUID("line\nbreak").size(), 5u + 32u);
  // The prefix starts directory names: none may lead out of the store directory.
  for (const std::string prefix : {"../", "a/b-", "..", "tab\t"}) {
    EXPECT_THROW(disk.setIdPrefix(prefix), KqException) << prefix;
  }
  EXPECT_EQ(disk.setDiskUUID(std::string(64, 'a')), "req7-014842D480B571495A4A0363793F7367");
}

TEST_F(DiskState, ChecksReportTheDiskPathAndStatesExactly) {
  TestDisk disk("/vm/disk0", dir.path());
  disk.setDiskUUID("abc");
  const KqBlkDisk idleCopy(disk);  // allowed in 0; gets the paths only
  EXPECT_EQ(idleCopy.getDiskPath(), "/vm/disk0");
  EXPECT_EQ(idleCopy.getDiskUUID(), "");
  EXPECT_EQ(idleCopy.getState(), STATE_INIT);
  EXPECT_THAT([&] { disk.disconnect(); },
              refused("KqBlkDisk::disconnect", "/vm/disk0 not connected: need state 1, curr(0)"));

  disk.connect();  // the base part leaves the state alone; the test source sets 1
  EXPECT_EQ(disk.getState(), STATE_CONNECTED);
  EXPECT_THAT([&] { disk.connect(); },
              refused("KqBlkDisk::connect", "/vm/disk0 already connected: state 1 invalid"));
  EXPECT_THAT([&] { disk.setIdPrefix("x"); },
              refused("KqBlkDisk::setIdPrefix", "/vm/disk0 cannot set idPrefix: state 1 invalid"));
  EXPECT_THAT(
      [&] { disk.setDiskPath("/other"); },
      refused("KqBlkDisk::setDiskPath", "/vm/disk0 cannot set disk path: need state 0, curr(1)"));
  EXPECT_THAT([&] { KqBlkDisk copy(disk); },
              refused("KqBlkDisk::KqBlkDisk(copyctr)",
                      "/vm/disk0Cannot copy object: need state 0, curr(1)"));
  disk.setDirPath(dir.path());  // allowed in 1

  disk.forceState(STATE_DEVICE_CREATED);
  EXPECT_THAT([&] { disk.setDirPath("/x"); },
              refused("KqBlkDisk::setDirPath", "/vm/disk0 cannot set dir path: state 2 invalid"));
  EXPECT_THAT([&] { disk.disconnect(); },
              refused("KqBlkDisk::disconnect",
                      "/vm/disk0 need to destroy kqblk device first: state 2 invalid"));
  EXPECT_THAT([&] { disk.createKqBlkDev(); },
              refused("KqBlkDisk::createKqBlkDev",
                      "/vm/disk0 kqblk device already created: state 2 invalid"));
  disk.setIdPrefix("allowed-in-2");
  disk.forceState(STATE_INIT);
  EXPECT_THAT([&] { disk.createKqBlkDev(); },
              refused("KqBlkDisk::createKqBlkDev",
                      "/vm/disk0 disk needs to be connected: need state 1, curr(0)"));
  // Not cut short for long disk paths.
  const std::string longPath(400, 'p');
  TestDisk longer(longPath, dir.path());
  EXPECT_THAT([&] { longer.disconnect(); },
              refused("KqBlkDisk::disconnect", longPath + " not connected: need state 1, curr(0)"));
}

TEST_F(DiskState, BaseConnectLeavesStateAndDisconnectDirectAlwaysResets) {
  KqBlkDisk disk("/vm/base", dir.path());
  disk.connect();
  EXPECT_EQ(disk.getState(), STATE_INIT);
  EXPECT_FALSE(disk.isConnected());
  TestDisk test("/vm/t", dir.path());
  test.forceState(STATE_DEVICE_CREATED);
  test.disconnect_direct();
  EXPECT_EQ(test.getState(), STATE_INIT);
}

TEST_F(DiskState, DestructorRunsTheTeardownForEachState) {
  {
    KqLogCapture log;
    { TestDisk idle("/vm/s0", dir.path()); }
    {
      TestDisk connected("/vm/s1", dir.path());
      connected.connect();
    }
    EXPECT_TRUE(log.find("KqException caught").empty());
    EXPECT_EQ(driverDouble().calls.size(), 0u);  // no device: nothing to take down
  }
  {
    KqLogCapture log;
    {
      TestDisk disk("/vm/s2", dir.path());
      disk.setDiskUUID("dev-s2");
      disk.connect();
      disk.createKqBlkDev();
    }
    EXPECT_EQ(driverDouble().countCalls("abort:dev-s2"), 1u);
    EXPECT_EQ(driverDouble().countCalls("destroy:dev-s2"), 1u);
    const auto caught = log.find("KqException caught");
    ASSERT_EQ(caught.size(), 1u);
    EXPECT_EQ(caught[0].text, "~KqBlkDisk disk /vm/s2 KqException caught /vm/s2 not connected: need state 1, curr(0)");
  }
  {
    driverDouble().reset();
    KqLogCapture log;
    {
      // No destructor of its own: the base destructor meets state 3.
      struct ConnectOnly : KqBlkDisk {
        using KqBlkDisk::KqBlkDisk;
        void connect() override {
          m_connected = true;
          m_state = STATE_CONNECTED;
        }
      } disk("/vm/s3", dir.path());
      disk.setDiskUUID("dev-s3");
      disk.connect();
      disk.createKqBlkDev();
      disk.startThread();
      EXPECT_EQ(disk.getState(), STATE_MONITORING);
    }
    EXPECT_EQ(log.find("Driver thread stopped completely for dev-s3").size(), 1u);
    EXPECT_EQ(log.find("KqException caught /vm/s3 not connected").size(), 1u);
  }
  EXPECT_EQ(driverDouble().countCalls("destroy:dev-s3"), 1u);
}
