// Names from guest disks and tool output that would break a naive shell
// command line: each must reach the tool as one intact argument, and no
// other command may run.

#include "doubles/tool_doubles.h"
#include "kqblk_disk_utils.h"
#include "support/disk_image.h"
#include "support/test_util.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Args = std::vector<std::string>;

namespace {

class Hostile : public ::testing::Test, public LvmDoublesFixture {
 protected:
  ~Hostile() override { EXPECT_NE(access(marker.c_str(), F_OK), 0) << "an injected command ran"; }

  TempDir scratch;
  const std::string marker = scratch / "pwned";
  // One field each in LVM's output (no blanks); the first three create the
  // marker if a shell interprets them.
  const std::vector<std::string> names = {"a;>" + marker, "$(>" + marker + ")",
                                          "`>" + marker + "`", "it's", "say\"hi\"", "back\\slash",
                                          "-leading"};
  const std::string spaced = "two words\n$(>" + marker + ")";  // blanks and a newline
};

}  // namespace

TEST_F(Hostile, LvmNamesStaySingleArguments) {
  std::string pvsOut = "  /dev/kqblk/two words \n";
  std::string vgsOut;
  std::list<std::string> devices = {"/dev/kqblk/two words"};
  std::vector<Args> pvchanges = {{"-f", "--uuid", "--", "/dev/kqblk/two words"}};
  for (const std::string& name : names) {
    devices.push_back("/dev/kqblk/" + name);
    pvsOut += "  /dev/kqblk/" + name + "\n";
    pvchanges.push_back({"-f", "--uuid", "--", "/dev/kqblk/" + name});
    vgsOut += "  " + name + " uuid /dev/kqblk/" + name + "\n";
  }
  tools.on("pvs", "*", pvsOut);
  tools.on("vgs", "*", vgsOut);

  const std::list<std::string> pvs = KqBlkDiskUtils::getPVList(devices, &config);
  EXPECT_THAT(tools.argsOf("pvchange"), ElementsAreArray(pvchanges));
  kqblk_vgmap groups;
  KqBlkDiskUtils::getVGMap(pvs, &config, groups);
  ASSERT_EQ(groups.size(), names.size());
  std::list<kqblk_vg> renamed;
  KqBlkDiskUtils::renameVGs(groups, spaced, &config, renamed);
  KqBlkDiskUtils::getLVs(groups, &config, true);
  std::list<kqblk_vg> vgs;
  std::vector<Args> renames;
  std::vector<Args> lvs;
  for (const auto& group : groups) {
    renames.push_back({"--", "uuid", spaced + group.first});
    lvs.push_back({"-olv_name", "--noheadings", "--", spaced + group.first});
    vgs.push_back(kqblk_vg(group.second, spaced));
  }
  for (const auto& group : groups) renames.push_back({"--", spaced + group.first, spaced});
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(vgs, &config, true), 0);
  EXPECT_THAT(tools.argsOf("vgrename"), ElementsAreArray(renames));
  EXPECT_THAT(tools.argsOf("lvs"), ElementsAreArray(lvs));

  ToolDoubles scan;
  scan.on("vgs", "*", vgsOut);
  KqBlkDiskUtils::getKqBlkVGs(vgs, &config);
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(vgs, &config, false), 0);
  std::vector<Args> exports;
  std::vector<std::string> sequence = {"vgs"};
  for (const std::string& name : names) {
    exports.push_back({"--", name});
    sequence.insert(sequence.end(), {"vgchange", "vgexport"});
  }
  EXPECT_THAT(scan.argsOf("vgexport"), ElementsAreArray(exports));
  EXPECT_THAT(scan.tools(), ElementsAreArray(sequence));
}

TEST_F(Hostile, BtrfsPathsAndLabelsStaySingleArguments) {
  const std::string member = scratch / "it's \"q\" $(>pwned)";
  DiskImage fs(member, 128);
  makeFileSystem(fs.path(), FileSystemSpec{"btrfs", "", ""});
  std::list<std::string> devices = {member};
  EXPECT_THAT(KqBlkDiskUtils::processBtrFSDevices(devices, spaced), ElementsAre(member));
  ASSERT_EQ(tools.argsOf("btrfs").size(), 2u);
  EXPECT_EQ(tools.argsOf("btrfs")[0].at(3), member);
  EXPECT_EQ(tools.argsOf("btrfs")[0].at(4).substr(0, spaced.size()), spaced);
  EXPECT_THAT(tools.argsOf("btrfs")[1], ElementsAre("device", "scan", "--", member));
  EXPECT_THAT(tools.argsOf("btrfstune"), ElementsAre(Args{"-fu", member}));
}
