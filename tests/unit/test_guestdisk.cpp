// A disk that is already a block device.

#include "doubles/driver_double.h"
#include "kqblk_guestdisk.h"
#include "support/test_util.h"

TEST(GuestDisk, TravelsAsADeviceWithoutDriverOrPrefix) {
  driverDouble().reset();
  TempDir dir;
  KqLogCapture log;
  {
    KqBlkGuestDisk disk("/dev/vdb", dir.path());
    EXPECT_EQ(disk.getState(), STATE_CONNECTED);
    EXPECT_FALSE(disk.isConnected());
    disk.setDiskPath("/dev/sdc");
    KqBlkDisk& base = disk;
    EXPECT_EQ(base.getDevPath(), "/dev/sdc");
    EXPECT_EQ(base.getPartPrefix(), "");
    EXPECT_EQ(base.createKqBlkDev(), "/dev/sdc");
    base.startThread();
    base.stopThread();
    base.destroyKqBlkDev();
    base.disconnect();
    EXPECT_EQ(disk.getState(), STATE_CONNECTED);
    try {
      base.setDiskPath("/dev/other");
      FAIL() << "no exception";
    } catch (const KqException& e) {
      EXPECT_EQ(e.getMessage(), "/dev/sdc cannot set disk path: need state 0, curr(1)");
    }
  }
  EXPECT_TRUE(driverDouble().calls.empty());
  EXPECT_TRUE(log.find("KqException caught").empty());
  EXPECT_EQ(log.find("Invoked for [").size(), 2u);  // the guest's line and the base's
}
