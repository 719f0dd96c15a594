// Taking over the guest's LVM through scripted LVM tools: which devices are
// changed, which groups renamed and activated, under which variant, and the
// failures that end discovery.


#include <algorithm>

#include "doubles/tool_doubles.h"
#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "kqblk_text.h"
#include "support/test_util.h"

using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

class LvmDiscovery : public ::testing::Test, public LvmDoublesFixture {};

}  // namespace

TEST_F(LvmDiscovery, DevicesWithoutPhysicalVolumesYieldNothingAndChangeNothing) {
  tools.on("vgs", "*", "  vg_host hUuid /dev/sda2\n");
  const std::list<std::string> pvs =
      KqBlkDiskUtils::getPVList({"/dev/kqblk/d1p1", "/dev/kqblk/d2"}, &config);
  EXPECT_TRUE(pvs.empty());
  kqblk_vgmap groups;
  KqBlkDiskUtils::getVGMap(pvs, &config, groups);
  EXPECT_TRUE(groups.empty());
  std::list<kqblk_vg> renamed;
  KqBlkDiskUtils::renameVGs(groups, "kq-1-", &config, renamed);
  EXPECT_TRUE(renamed.empty());
  EXPECT_TRUE(KqBlkDiskUtils::getLVs(groups, &config, true).empty());
  EXPECT_THAT(tools.trace(),
              ElementsAre("pvscan noactivation", "pvs noactivation -o pv_name --noheadings",
                          "vgs noactivation -o vg_name,vg_uuid,pv_name --noheadings"));
}

// The request's own entries are what LVM is given: a disk named like a host
// device (/dev/kqblk/sda2) is not the host's /dev/sda2, while a name that
// LVM prints for one of the request's devices (a link to it here) is.
TEST_F(LvmDiscovery, ChangesOnlyThePhysicalVolumesOnTheRequestsDevices) {
  const std::string node = dir / "node";
  const bool linked = symlink("/dev/loop0", node.c_str()) == 0 && StrMatch("/dev/loop0")(node);
  tools.on("pvs", "*", "  /dev/kqblk/d1p1 \n  /dev/sda2\n\n  /dev/kqblk/d3\n  /dev/loop0\n");
  std::list<std::string> expected = {"/dev/kqblk/d1p1"};
  std::vector<std::string> calls = {"pvscan noactivation",
                                    "pvs noactivation -o pv_name --noheadings",
                                    "pvchange noactivation -f --uuid -- /dev/kqblk/d1p1"};
  if (linked) {
    expected.push_back(node);
    calls.push_back("pvchange noactivation -f --uuid -- " + node);
  }
  EXPECT_EQ(KqBlkDiskUtils::getPVList({"/dev/kqblk/d1p1", "/dev/kqblk/sda2", "/dev/d3", node},
                                      &config),
            expected);
  EXPECT_EQ(tools.trace(), calls);
}

TEST_F(LvmDiscovery, FailedScanIsIgnoredButFailedListingOrChangeEndsDiscovery) {
  KqLogCapture log;
  tools.on("pvscan", "", "scan-out", "scan-err", 5);
  tools.on("pvs", "*", "  /dev/kqblk/d1\n", "", 0, 1);
  tools.on("pvs", "*", "", "no lock", 5);
  tools.on("pvchange", "*", "o", "boom", 5);
  const auto pvList = [&] { KqBlkDiskUtils::getPVList({"/dev/kqblk/d1"}, &config); };
  EXPECT_THAT(pvList,
              throwsKqIn("KqBlkDiskUtils::getPVList", -1,
                         "Failed to run pvchange -f --uuid -- '/dev/kqblk/d1':err:boom\nout:o"));
  EXPECT_EQ(log.find("scan failed out[scan-out] err[scan-err] - ignore err").size(), 1u);
  EXPECT_THAT(pvList, throwsKqIn("KqBlkDiskUtils::getPVList", -1,
                                 "Failed to run pvs -o pv_name --noheadings:err:no lock\nout:"));
  EXPECT_EQ(tools.argsOf("pvchange").size(), 1u);
}

TEST_F(LvmDiscovery, MapsEachGroupWithAPhysicalVolumeOnTheRequestOnce) {
  // vg_a twice: one group on two volumes, and a second group of that name.
  tools.on("vgs", "*",
           "  vg_a  uuidA  /dev/kqblk/d1p1\n  vg_a uuidA /dev/kqblk/d2\n  vg_host uuidH /dev/sda2\n"
           "  broken line\n  vg_b uuidB /dev/kqblk/d3\n  vg_a uuidA2 /dev/kqblk/d4\n"
           "  vg_c uuidC /dev/d1p1\n", "", 0, 1);
  tools.on("vgs", "*", "  vg_a uuidA /dev/kqblk/d1p1\n  vg_a uuidA2 /dev/kqblk/d4\n", "", 0, 1);
  tools.on("vgs", "*", "partial", "locked", 5);
  const std::list<std::string> pvs = {"/dev/kqblk/d1p1", "/dev/kqblk/d2", "/dev/kqblk/d3",
                                      "/dev/kqblk/d4"};
  kqblk_vgmap groups;
  KqBlkDiskUtils::getVGMap(pvs, &config, groups);
  EXPECT_THAT(groups,
              ElementsAre(Pair("vg_a", "uuidA"), Pair("vg_a", "uuidA2"), Pair("vg_b", "uuidB")));
  // One group per name in a plain map: the last listed stands, logged.
  KqLogCapture log;
  EXPECT_THAT(KqBlkDiskUtils::getVGMap(pvs, &config), ElementsAre(Pair("vg_a", "uuidA2")));
  EXPECT_EQ(log.find("vg vg_a of UUID uuidA left out").size(), 1u);
  EXPECT_THAT(
      [&] { KqBlkDiskUtils::getVGMap({"/dev/d1"}, &config); },
      throwsKqIn(
          "KqBlkDiskUtils::getVGList", -1,
          "Failed to run vgs -o vg_name,vg_uuid,pv_name --noheadings:err:locked\nout:partial"));
}

TEST_F(LvmDiscovery, RenamesByUuidInNameOrderRecordingEachGroupAsItGoes) {
  // Two guest groups named "vg" (and one named "vg-2") get distinct names.
  kqblk_vgmap groups = {{"vg", "u1"}, {"b", "uB"}, {"vg", "u2"}, {"vg-2", "u3"}};
  std::list<kqblk_vg> renamed;
  KqBlkDiskUtils::renameVGs(groups, "kq-7-", &config, renamed);
  EXPECT_THAT(groups, ElementsAre(Pair("b", "kq-7-b"), Pair("vg", "kq-7-vg"),
                                  Pair("vg", "kq-7-vg-3"), Pair("vg-2", "kq-7-vg-2")));
  EXPECT_THAT(vgNames(renamed),
              ElementsAre("kq-7-b/b", "kq-7-vg/vg", "kq-7-vg-3/vg", "kq-7-vg-2/vg-2"));
  const std::vector<std::string> calls = tools.trace();
  ASSERT_EQ(calls.size(), 12u);
  EXPECT_THAT(std::vector<std::string>(calls.begin(), calls.begin() + 6),
              ElementsAre("vgrename default -- uB kq-7-b", "vgchange noactivation --uuid -- kq-7-b",
                          "vgchange default -ay -- kq-7-b", "vgrename default -- u1 kq-7-vg",
                          "vgchange noactivation --uuid -- kq-7-vg",
                          "vgchange default -ay -- kq-7-vg"));
  EXPECT_EQ(calls[6], "vgrename default -- u2 kq-7-vg-3");

  // The first failure ends the loop; every group renamed so far has its
  // record, so teardown can give it back.
  const struct {
    const char* tool;
    const char* args;
    const char* message;
    std::vector<std::string> records;
  } failures[] = {
      {"vgrename", "-- uC kq-8-c", "Failed to run vgrename -- 'uC' 'kq-8-c':err:nope\nout:",
       {"kq-8-a/a"}},
      {"vgchange", "--uuid -- kq-8-c", "Failed to run vgchange --uuid -- 'kq-8-c':err:nope\nout:",
       {"kq-8-a/a", "kq-8-c/c"}},
      {"vgchange", "-ay -- kq-8-c", "Failed to run vgchange -ay -- 'kq-8-c':err:nope\nout:",
       {"kq-8-a/a", "kq-8-c/c"}}};
  for (const auto& step : failures) {
    ToolDoubles doubles;
    doubles.on(step.tool, step.args, "", "nope", 5);
    kqblk_vgmap three = {{"a", "uA"}, {"c", "uC"}, {"d", "uD"}};
    std::list<kqblk_vg> records;
    EXPECT_THAT([&] { KqBlkDiskUtils::renameVGs(three, "kq-8-", &config, records); },
                throwsKqIn("KqBlkDiskUtils::renameVGs", -1, step.message));
    EXPECT_EQ(vgNames(records), step.records);
    EXPECT_EQ(three.find("d")->second, "uD");
    // The plain map's values name what was renamed before the failure.
    std::map<std::string, std::string> plain = {{"a", "uA"}, {"c", "uC"}, {"d", "uD"}};
    EXPECT_THAT([&] { KqBlkDiskUtils::renameVGs(plain, "kq-8-", &config); },
                throwsKqIn("KqBlkDiskUtils::renameVGs", -1, step.message));
    EXPECT_EQ(plain["a"], "kq-8-a");
    EXPECT_EQ(plain["c"], step.records.size() == 2 ? "kq-8-c" : "uC");
    EXPECT_EQ(plain["d"], "uD");
  }
}

TEST_F(LvmDiscovery, ListsLogicalVolumesAsPathsUnderTheChosenGroupNames) {
  tools.on("lvs", "* kq-7-a", "  lv_root \n  lv_home\n");
  tools.on("lvs", "* a", "  lv_old\n");
  kqblk_vgmap groups = {{"a", "kq-7-a"}, {"b", "kq-7-b"}};
  const std::map<std::string, std::string> volumes = KqBlkDiskUtils::getLVs(groups, &config, true);
  EXPECT_THAT(volumes, ElementsAre(Pair("/dev/kq-7-a/lv_home", "kq-7-a"),
                                   Pair("/dev/kq-7-a/lv_root", "kq-7-a")));
  EXPECT_THAT(tools.trace(), ElementsAre("lvs default -olv_name --noheadings -- kq-7-a",
                                         "lvs default -olv_name --noheadings -- kq-7-b"));
  EXPECT_THAT(KqBlkDiskUtils::getLVs(groups, &config, false),
              ElementsAre(Pair("/dev/a/lv_old", "a")));

  std::list<std::string> devices = {"/dev/kqblk/d1p1"};
  std::for_each(volumes.begin(), volumes.end(), AddLVs(devices));
  EXPECT_THAT(devices,
              ElementsAre("/dev/kqblk/d1p1", "/dev/kq-7-a/lv_home", "/dev/kq-7-a/lv_root"));

  tools.on("lvs", "* kq-7-b", "", "gone", 5);
  EXPECT_THAT([&] { KqBlkDiskUtils::getLVs(groups, &config, true); },
              throwsKqIn("KqBlkDiskUtils::getLVs", -1,
                         "Failed to run lvs -olv_name --noheadings -- 'kq-7-b':err:gone\nout:"));
}
