// Releasing volume groups through scripted LVM tools: the scan, export and
// rename-back, and which records stay after a failure.

#include "doubles/tool_doubles.h"
#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "support/test_util.h"

using ::testing::ElementsAre;
using Args = std::vector<std::string>;

namespace {

class VgTeardown : public ::testing::Test, public LvmDoublesFixture {};

}  // namespace

TEST_F(VgTeardown, ScanMakesOneRecordPerLineAndFailsLoudly) {
  tools.on("vgs", "-o vg_name,vg_uuid,pv_name --noheadings",
           "  kq-1-a u1 /dev/kqblk/d1\n  kq-1-a u1 /dev/kqblk/d2\n\n  kq-2-b u2 /dev/kqblk/d3\n");
  std::list<kqblk_vg> vgs = {kqblk_vg("stale", "x")};
  KqBlkDiskUtils::getKqBlkVGs(vgs, &config);
  EXPECT_THAT(vgNames(vgs), ElementsAre("kq-1-a/", "kq-1-a/", "kq-2-b/"));
  EXPECT_EQ(tools.calls().at(0).variant, "default");

  ToolDoubles failing;
  failing.on("vgs", "*", "", "no locking", 5);
  EXPECT_THAT(
      [&] { KqBlkDiskUtils::getKqBlkVGs(vgs, &config); },
      throwsKqIn("KqBlkDiskUtils::getKqBlkVGs(", -1,
                 "Failed to run vgs -o vg_name,vg_uuid,pv_name --noheadings:err:no locking\nout:"));
  EXPECT_TRUE(vgs.empty());
}

TEST_F(VgTeardown, ExportKeepsTheGroupsThatFailedInTheirOrder) {
  std::list<kqblk_vg> none;
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(none, &config, false), 0);
  EXPECT_TRUE(tools.calls().empty());

  KqLogCapture log;
  tools.on("vgchange", "-an -- kq-3-c", "", "busy", 5);
  tools.on("vgexport", "-- kq-1-a", "", "", 0, 1);  // the second export of a group fails
  tools.on("vgexport", "-- kq-1-a", "", "already exported", 5);
  std::list<kqblk_vg> vgs = {kqblk_vg("kq-1-a", ""), kqblk_vg("kq-1-a", ""), kqblk_vg("kq-2-b", ""),
                             kqblk_vg("kq-3-c", "")};
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(vgs, &config, false), 1);
  EXPECT_THAT(vgNames(vgs), ElementsAre("kq-1-a/", "kq-3-c/"));
  // A group that stays active is not exported.
  EXPECT_THAT(tools.argsOf("vgexport"),
              ElementsAre(Args{"--", "kq-1-a"}, Args{"--", "kq-1-a"}, Args{"--", "kq-2-b"}));
  for (const ToolCall& call : tools.calls()) EXPECT_EQ(call.variant, "default");
  EXPECT_EQ(log.find("Failed to run vgchange -an -- 'kq-3-c':err:busy\nout:").size(), 1u);
  EXPECT_EQ(log.find("Failed to run vgexport -- 'kq-1-a':err:already exported").size(), 1u);
}

TEST_F(VgTeardown, RenameBackCountsAClashWithAnExistingDirectoryAsFailure) {
  tools.on("vgrename", "-- kq-2-b b", "", "  /dev/b already exists in filesystem\n", 0);
  tools.on("vgrename", "-- kq-3-c ", "", "  New volume group name \"\" is invalid.\n", 5);
  std::list<kqblk_vg> vgs = {kqblk_vg("kq-1-a", "a"), kqblk_vg("kq-2-b", "b"),
                             kqblk_vg("kq-3-c", ""), kqblk_vg("kq-4-d", "d")};
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(vgs, &config, true), 1);
  EXPECT_THAT(vgNames(vgs), ElementsAre("kq-2-b/b", "kq-3-c/"));
  EXPECT_TRUE(tools.argsOf("vgexport").empty());
  EXPECT_THAT(tools.argsOf("vgrename"),
              ElementsAre(Args{"--", "kq-1-a", "a"}, Args{"--", "kq-2-b", "b"},
                          Args{"--", "kq-3-c", ""}, Args{"--", "kq-4-d", "d"}));

  ToolDoubles clean;
  std::list<kqblk_vg> released = {kqblk_vg("kq-1-a", "a")};
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(released, &config, true), 0);
  EXPECT_TRUE(released.empty());
}
