// Taking over the guest's LVM through scripted LVM tools: which devices are
// changed, which groups renamed and activated, under which variant, and the
// failures that end discovery.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "doubles/tool_doubles.h"
#include "kq_log.h"
#include "kqblk_disk_utils.h"

using ::testing::ElementsAre;
using ::testing::Pair;
using Args = std::vector<std::string>;

namespace {

class LvmDiscovery : public ::testing::Test, public LvmDoublesFixture {
 protected:
  // Each call as "tool variant args...".
  std::vector<std::string> trace() const {
    std::vector<std::string> lines;
    for (const ToolCall& call : tools.calls()) {
      std::string line = call.tool + " " + call.variant;
      for (const std::string& arg : call.args) line += " " + arg;
      lines.push_back(line);
    }
    return lines;
  }
  // The exception `f` throws, checked for what every LVM failure carries.
  template <typename F>
  std::string failure(const char* function, F f) {
    try {
      f();
    } catch (const KqException& e) {
      EXPECT_EQ(e.getFuncName(), function);
      EXPECT_EQ(e.getFileName(), "kqblk_disk_utils");
      EXPECT_EQ(e.getCode(), -1);
      return e.getMessage();
    }
    ADD_FAILURE() << "no exception";
    return "";
  }
};

}  // namespace

TEST_F(LvmDiscovery, DevicesWithoutPhysicalVolumesYieldNothingAndChangeNothing) {
  tools.on("vgs", "*", "  vg_host hUuid /dev/sda2\n");
  const std::list<std::string> pvs =
      KqBlkDiskUtils::getPVList({"/dev/kqblk/d1p1", "/dev/kqblk/d2"}, &config);
  EXPECT_TRUE(pvs.empty());
  std::map<std::string, std::string> groups = KqBlkDiskUtils::getVGMap(pvs, &config);
  EXPECT_TRUE(groups.empty());
  KqBlkDiskUtils::renameVGs(groups, "kq-1-", &config);
  EXPECT_TRUE(KqBlkDiskUtils::getLVs(groups, &config, true).empty());
  EXPECT_THAT(trace(), ElementsAre("pvscan noactivation", "pvs noactivation -o pv_name --noheadings",
                                   "vgs noactivation -o vg_name,vg_uuid,pv_name --noheadings"));
}

TEST_F(LvmDiscovery, ChangesOnlyThePhysicalVolumesOnTheRequestsDevices) {
  tools.on("pvs", "*", "  /dev/kqblk/d1p1 \n  /dev/sda2\n\n  /dev/kqblk/d3\n");
  // Returned in the short form; LVM is asked about the name it printed.
  EXPECT_THAT(KqBlkDiskUtils::getPVList({"/dev/kqblk/d1p1", "/dev/kqblk/d2", "/dev/d3"}, &config),
              ElementsAre("/dev/d1p1", "/dev/d3"));
  EXPECT_THAT(trace(), ElementsAre("pvscan noactivation", "pvs noactivation -o pv_name --noheadings",
                                   "pvchange noactivation -f --uuid -- /dev/kqblk/d1p1",
                                   "pvchange noactivation -f --uuid -- /dev/kqblk/d3"));
}

TEST_F(LvmDiscovery, FailedScanIsIgnoredButFailedListingOrChangeEndsDiscovery) {
  KqLogCapture log;
  tools.on("pvscan", "", "scan-out", "scan-err", 5);
  tools.on("pvs", "*", "  /dev/kqblk/d1\n", "", 0, 1);
  tools.on("pvs", "*", "", "no lock", 5);
  tools.on("pvchange", "*", "o", "boom", 5);
  EXPECT_EQ(failure("KqBlkDiskUtils::getPVList",
                    [&] { KqBlkDiskUtils::getPVList({"/dev/kqblk/d1"}, &config); }),
            "Failed to run pvchange -f --uuid -- '/dev/kqblk/d1':err:boom\nout:o");
  EXPECT_EQ(log.find("scan failed out[scan-out] err[scan-err] - ignore err").size(), 1u);
  EXPECT_EQ(failure("KqBlkDiskUtils::getPVList",
                    [&] { KqBlkDiskUtils::getPVList({"/dev/kqblk/d1"}, &config); }),
            "Failed to run pvs -o pv_name --noheadings:err:no lock\nout:");
  EXPECT_EQ(tools.argsOf("pvchange").size(), 1u);
}

TEST_F(LvmDiscovery, MapsEachGroupWithAPhysicalVolumeOnTheRequestOnce) {
  tools.on("vgs", "*",
           "  vg_a  uuidA  /dev/kqblk/d1p1\n  vg_a uuidA /dev/kqblk/d2\n  vg_host uuidH /dev/sda2\n"
           "  broken line\n  vg_b uuidB /dev/d3\n", "", 0, 1);
  tools.on("vgs", "*", "partial", "locked", 5);
  EXPECT_THAT(KqBlkDiskUtils::getVGMap({"/dev/d1p1", "/dev/d2", "/dev/kqblk/d3"}, &config),
              ElementsAre(Pair("vg_a", "uuidA"), Pair("vg_b", "uuidB")));
  EXPECT_EQ(failure("KqBlkDiskUtils::getVGList",
                    [&] { KqBlkDiskUtils::getVGMap({"/dev/d1"}, &config); }),
            "Failed to run vgs -o vg_name,vg_uuid,pv_name --noheadings:err:locked\nout:partial");
}

TEST_F(LvmDiscovery, RenamesInNameOrderAndActivatesUntilACommandFails) {
  std::map<std::string, std::string> groups = {{"b", "uuidB"}, {"a", "uuidA"}};
  KqBlkDiskUtils::renameVGs(groups, "kq-7-", &config);
  EXPECT_THAT(groups, ElementsAre(Pair("a", "kq-7-a"), Pair("b", "kq-7-b")));
  EXPECT_THAT(trace(), ElementsAre("vgchange noactivation --uuid -- a",
                                   "vgrename default -- a kq-7-a", "vgchange default -ay -- kq-7-a",
                                   "vgchange noactivation --uuid -- b",
                                   "vgrename default -- b kq-7-b", "vgchange default -ay -- kq-7-b"));

  // The first failure ends the loop; earlier groups stay renamed.
  const struct {
    const char* tool;
    const char* args;
    const char* message;
  } failures[] = {
      {"vgchange", "--uuid -- c", "Failed to run vgchange --uuid -- 'c':err:nope\nout:"},
      {"vgrename", "-- c kq-8-c", "Failed to run vgrename -- 'c' 'kq-8-c':err:nope\nout:"},
      {"vgchange", "-ay -- kq-8-c", "Failed to run vgchange -ay -- 'kq-8-c':err:nope\nout:"}};
  for (const auto& step : failures) {
    ToolDoubles doubles;
    doubles.on(step.tool, step.args, "", "nope", 5);
    std::map<std::string, std::string> three = {{"a", "uA"}, {"c", "uC"}, {"d", "uD"}};
    EXPECT_EQ(failure("KqBlkDiskUtils::renameVGs",
                      [&] { KqBlkDiskUtils::renameVGs(three, "kq-8-", &config); }),
              step.message);
    EXPECT_THAT(three, ElementsAre(Pair("a", "kq-8-a"), Pair("c", "uC"), Pair("d", "uD")));
  }
}

TEST_F(LvmDiscovery, ListsLogicalVolumesAsPathsUnderTheChosenGroupNames) {
  tools.on("lvs", "* kq-7-a", "  lv_root \n  lv_home\n");
  tools.on("lvs", "* a", "  lv_old\n");
  std::map<std::string, std::string> groups = {{"a", "kq-7-a"}, {"b", "kq-7-b"}};
  const std::map<std::string, std::string> volumes = KqBlkDiskUtils::getLVs(groups, &config, true);
  EXPECT_THAT(volumes, ElementsAre(Pair("/dev/kq-7-a/lv_home", "kq-7-a"),
                                   Pair("/dev/kq-7-a/lv_root", "kq-7-a")));
  EXPECT_THAT(trace(), ElementsAre("lvs default -olv_name --noheadings -- kq-7-a",
                                   "lvs default -olv_name --noheadings -- kq-7-b"));
  EXPECT_THAT(KqBlkDiskUtils::getLVs(groups, &config, false),
              ElementsAre(Pair("/dev/a/lv_old", "a")));

  std::list<std::string> devices = {"/dev/kqblk/d1p1"};
  std::for_each(volumes.begin(), volumes.end(), AddLVs(devices));
  EXPECT_THAT(devices,
              ElementsAre("/dev/kqblk/d1p1", "/dev/kq-7-a/lv_home", "/dev/kq-7-a/lv_root"));
  EXPECT_EQ(kqblk_vgprefix("42"), "kq-42-");

  tools.on("lvs", "* kq-7-b", "", "gone", 5);
  EXPECT_EQ(failure("KqBlkDiskUtils::getLVs", [&] { KqBlkDiskUtils::getLVs(groups, &config, true); }),
            "Failed to run lvs -olv_name --noheadings -- 'kq-7-b':err:gone\nout:");
}
