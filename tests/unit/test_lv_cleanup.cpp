// Removing our device-mapper devices over a scripted dmsetup: which devices
// are ours, the passes that retry failed removals, and the retry limit.


#include "doubles/driver_double.h"
#include "doubles/tool_doubles.h"
#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

namespace {

const char kOwnedDeps[] = " 1 dependencies  : (7, 3)\n";
const char kList[] = "dmsetup  ls --exec ls";

size_t listings(const ToolDoubles& tools) {
  size_t n = 0;
  for (const std::string& call : tools.trace()) n += call == kList;
  return n;
}

class LvCleanup : public ::testing::Test {
 protected:
  LvCleanup() {
    driverDouble().reset();
    driverDouble().controlDir = tools.dir();  // exists: the driver is loaded
    driverDouble().ownedDevices = {{7, 3}};
  }
  ~LvCleanup() override { driverDouble().reset(); }

  ToolDoubles tools{{"dmsetup"}};
};

}  // namespace

TEST_F(LvCleanup, RemovesOursByDependencyOrNameAndNothingElse) {
  tools.on("dmsetup", "ls --exec ls",
           "/dev/mapper/lv_on_disk\n/dev/mapper/kq--HLX_7--vg-data\n/dev/mapper/proxy-root\n"
           "/dev/mapper/second_pair\n/dev/mapper/gone\nNo devices found\n/dev/mapper/-f\n"
           "/dev/mapper/x;reboot\n");
  tools.on("dmsetup", "deps lv_on_disk", kOwnedDeps);
  tools.on("dmsetup", "deps kq--HLX_7--vg-data", " 1 dependencies  : (253, 0)\n");
  tools.on("dmsetup", "deps proxy-root", " 1 dependencies  : (8, 2)\n");
  tools.on("dmsetup", "deps second_pair", " 2 dependencies  : (8, 1) (7, 3)\n");
  tools.on("dmsetup", "deps gone", "", "Device does not exist.", 1);
  KqBlkDiskUtils::cleanLVs();
  EXPECT_THAT(tools.trace(),
              ElementsAre(kList, "dmsetup  deps lv_on_disk", "dmsetup  remove lv_on_disk",
                          "dmsetup  deps kq--HLX_7--vg-data", "dmsetup  remove kq--HLX_7--vg-data",
                          "dmsetup  deps proxy-root", "dmsetup  deps second_pair",
                          "dmsetup  remove second_pair", "dmsetup  deps gone"));
}

TEST_F(LvCleanup, RetriesADeviceThatOthersStillUse) {
  // Y is built on X: X cannot go before Y has gone.
  tools.on("dmsetup", "ls --exec ls", "/dev/mapper/X\n/dev/mapper/Y\n", "", 0, 1);
  tools.on("dmsetup", "ls --exec ls", "/dev/mapper/X\n");
  tools.on("dmsetup", "deps X", kOwnedDeps, "", 0, 2);
  tools.on("dmsetup", "deps X", "", "Device does not exist.", 1);
  tools.on("dmsetup", "deps Y", kOwnedDeps);
  tools.on("dmsetup", "remove X", "", "Device or resource busy", 1, 1);
  KqLogCapture log;
  KqBlkDiskUtils::cleanLVs();
  EXPECT_THAT(tools.trace(),
              ElementsAre(kList, "dmsetup  deps X", "dmsetup  remove X", "dmsetup  deps Y",
                          "dmsetup  remove Y", kList, "dmsetup  deps X", "dmsetup  remove X",
                          "dmsetup  deps X"));
  EXPECT_EQ(log.find("Retrying cleanLVs() to address LV dependencies  retrycount=[0]").size(), 1u);
  EXPECT_EQ(log.find("retrycount=[1]").size(), 0u);
}

TEST_F(LvCleanup, RetryLimitFromTwoToTwentyElseTenAndTwoPassesMore) {
  const char kReset[] = "Valid inputs for nHLXLVCleanupMaxRetry [2-20]. resetting nMaxRetry=10";
  const struct {
    const char* config;  // nHLXLVCleanupMaxRetry, or none
    bool reset;
    size_t passes;       // with a device that never goes away, else one
    const char* line;
  } cases[] = {
      {nullptr, false, 1, "Cannot read nHLXLVCleanupMaxRetry\tfrom registry key [Sylvane]. Assume 10"},
      {"20", false, 1, "Obtained nHLXLVCleanupMaxRetry = [20]"},
      {"21", true, 1, "Obtained nHLXLVCleanupMaxRetry = [21]"},
      {"1", true, 12, "Cleanup retries exceeded retrycount=[11] maxRetryCnt=[10]"},
      {"2", false, 4, "Cleanup retries exceeded retrycount=[3] maxRetryCnt=[2]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config ? c.config : "missing");
    ToolDoubles doubles({"dmsetup"});
    if (c.passes > 1) {
      doubles.on("dmsetup", "ls --exec ls", "/dev/mapper/stuck\n", "", 0, 1);
      doubles.on("dmsetup", "deps stuck", kOwnedDeps);
      doubles.on("dmsetup", "remove stuck", "", "Device or resource busy", 1);
    }
    ScopedConfig config(c.config ? std::string("[Sylvane]\nnHLXLVCleanupMaxRetry = ") + c.config
                                 : std::string("[Session]\n"));
    KqLogCapture log;
    if (c.passes > 1) {
      EXPECT_THAT([] { KqBlkDiskUtils::cleanLVs(); },
                  throwsKq(-1, "Cleanup retries exceeded maxRetryCnt"));
    } else {
      EXPECT_NO_THROW(KqBlkDiskUtils::cleanLVs());
    }
    EXPECT_EQ(listings(doubles), c.passes);
    EXPECT_EQ(log.find(c.line).size(), 1u);
    EXPECT_EQ(log.find(kReset).size(), c.reset);
  }
}

TEST_F(LvCleanup, FailsWithoutTheDriverOrAListing) {
  tools.on("dmsetup", "ls --exec ls", "partial", "no device-mapper", 2);
  EXPECT_THAT([] { KqBlkDiskUtils::cleanLVs(); },
              throwsKq(2, "dmsetup ls failed. Err no device-mapper:Outpartial"));

  const std::string notLoaded = tools.dir() + "/not-loaded";
  driverDouble().controlDir = notLoaded;
  EXPECT_THAT([] { KqBlkDiskUtils::cleanLVs(); }, throwsKq(ENOENT, "Failed to stat " + notLoaded));
  std::list<kqblk_mountpoint> records(1);
  EXPECT_THAT([&] { KqBlkDiskUtils::getKqBlkMountPoints(records); },
              throwsKq(ENOENT, "Failed to stat " + notLoaded));
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(listings(tools), 1u);
}
