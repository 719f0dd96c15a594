// LVM take-over and release with the real LVM tools on loop devices (root).
// The guest's physical volume sits on a driver-style node under /dev/kqblk;
// a second one, on a plain loop device, must stay invisible to the request.
// Every LVM command, set-up included, runs under a private configuration.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "integration/discovery_devices.h"
#include "kq_shell.h"
#include "kqblk_disk_utils.h"
#include "kqblk_text.h"
#include "support/disk_image.h"
#include "support/loop_device.h"
#include "support/temp_dir.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Pair;
using ::testing::StartsWith;

namespace {

bool deviceMapperPresent() {
  std::ifstream misc("/proc/misc");
  std::string line;
  while (std::getline(misc, line)) {
    if (line.find("device-mapper") != std::string::npos) return true;
  }
  return false;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class LvmReal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    guestImage.reset(new DiskImage(dir / "guest.img", 64));
    outsideImage.reset(new DiskImage(dir / "outside.img", 64));
    guest.reset(new LoopDevice(guestImage->path()));
    outside.reset(new LoopDevice(outsideImage->path()));
    node.reset(new KqblkTestNode("lvm", guest->path()));
    // Set-up sees exactly the two loop devices of this test.
    mkdir((dir / "setup").c_str(), 0755);
    setup.reset(new LVMConfig(dir / "setup", {guest->path() + "$", outside->path() + "$"}, {}));
    setup->createConfig(false);
    admin("pvcreate -y " + KqShellQuote(guest->path()) + " " + KqShellQuote(outside->path()));
    admin("vgcreate " + vg + " " + KqShellQuote(guest->path()));
    admin("vgcreate " + outsideVg + " " + KqShellQuote(outside->path()));
    // Without device-mapper, only metadata: not activated, not zeroed.
    admin("lvcreate --driverloaded n -an -Zn -L 4M -n lv_home " + vg);

    mkdir((dir / "cfg").c_str(), 0755);
    KqBlkDiskUtils::setConfigDir((dir / "cfg").c_str(), false);
    request.reset(KqBlkDiskUtils::initLVMConfig("req", {node->path()}));
  }

  void TearDown() override {
    if (!setup) return;
    // Nothing of this test may stay active once its devices go.
    std::string out;
    std::string err;
    KqBlkDiskUtils::runLVMCmd("vgs --noheadings -o vg_name", out, err, true, setup.get());
    for (const std::string& name : kqblk_trimmedLines(out)) {
      std::string o;
      KqBlkDiskUtils::runLVMCmd("vgchange -an -- " + KqShellQuote(name), o, err, true, setup.get());
    }
    KqBlkDiskUtils::setConfigDir("", false);
  }

  // An administrator's command under the set-up configuration.
  std::string admin(const std::string& command) {
    std::string out;
    std::string err;
    const int rc = KqBlkDiskUtils::runLVMCmd(command, out, err, false, setup.get());
    if (rc != 0) ADD_FAILURE() << command << " exited " << rc << ": " << err;
    return out;
  }
  std::string pvUuid(const std::string& device) {
    return kqblk_trimmedLines(admin("pvs --noheadings -o pv_uuid -- " + KqShellQuote(device)))
        .at(0);
  }
  std::vector<std::string> groupsSeenBySetup() {
    return kqblk_trimmedLines(admin("vgs --noheadings -o vg_name,vg_uuid,vg_exported --sort vg_name"));
  }

  const std::string id = "t" + std::to_string(getpid());
  const std::string vg = "kqtvg" + std::to_string(getpid());
  const std::string outsideVg = vg + "_out";
  TempDir dir;
  std::unique_ptr<DiskImage> guestImage;
  std::unique_ptr<DiskImage> outsideImage;
  std::unique_ptr<LoopDevice> guest;
  std::unique_ptr<LoopDevice> outside;
  std::unique_ptr<KqblkTestNode> node;
  std::unique_ptr<LVMConfig> setup;
  std::unique_ptr<LVMConfig> request;
};

}  // namespace

TEST_F(LvmReal, RequestSeesOnlyItsOwnDeviceUnderTheDriverName) {
  // A devices file naming the outside volume must not widen the request's
  // view (LVM would otherwise ignore the filter for it).
  const std::string outsidePvid = pvUuid(outside->path());
  std::string pvid = outsidePvid;
  pvid.erase(std::remove(pvid.begin(), pvid.end(), '-'), pvid.end());
  for (const char* variant : {"default", "noactivation"}) {
    const std::string devices = request->getConfigDir() + variant + "/devices";
    mkdir(devices.c_str(), 0755);
    std::ofstream(devices + "/system.devices")
        << "VERSION=1.1.1\nIDTYPE=devname IDNAME=" << outside->path()
        << " DEVNAME=" << outside->path() << " PVID=" << pvid << "\n";
  }
  const std::string hints = slurp("/run/lvm/hints");
  const std::string guestPvid = pvUuid(guest->path());

  std::string out;
  std::string err;
  ASSERT_EQ(KqBlkDiskUtils::runLVMCmd("pvs -o pv_name --noheadings", out, err, false, request.get()),
            0) << err;
  EXPECT_THAT(kqblk_trimmedLines(out), ElementsAre(node->path()));
  EXPECT_THAT(KqBlkDiskUtils::getPVList({node->path(), outside->path()}, request.get()),
              ElementsAre("/dev/" + node->name()));
  EXPECT_NE(pvUuid(guest->path()), guestPvid);
  EXPECT_EQ(pvUuid(outside->path()), outsidePvid);
  // The proxy's LVM hints are neither read nor rewritten by the request.
  EXPECT_EQ(slurp("/run/lvm/hints"), hints);
}

TEST_F(LvmReal, TakeOverRenamesThenFailsToActivateWithoutDeviceMapperAndReleases) {
  const std::list<std::string> pvs = KqBlkDiskUtils::getPVList({node->path()}, request.get());
  std::map<std::string, std::string> groups = KqBlkDiskUtils::getVGMap(pvs, request.get());
  ASSERT_EQ(groups.size(), 1u);
  const std::string oldUuid = groups.at(vg);
  const std::string renamed = kqblk_vgprefix(id) + vg;
  if (deviceMapperPresent()) {
    KqBlkDiskUtils::renameVGs(groups, kqblk_vgprefix(id), request.get());
    EXPECT_EQ(groups.at(vg), renamed);
  } else {
    try {
      KqBlkDiskUtils::renameVGs(groups, kqblk_vgprefix(id), request.get());
      FAIL() << "activated without device-mapper";
    } catch (const KqException& e) {
      EXPECT_EQ(e.getFuncName(), "KqBlkDiskUtils::renameVGs");
      EXPECT_THAT(e.getMessage(),
                  StartsWith("Failed to run vgchange -ay -- " + KqShellQuote(renamed) + ":err:"));
      EXPECT_THAT(e.getMessage(), HasSubstr("device-mapper"));
    }
    EXPECT_EQ(groups.at(vg), oldUuid);  // the failing group's value is not updated
  }
  // Renamed with a new identity; the outside group is untouched.
  std::vector<std::string> seen = groupsSeenBySetup();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_THAT(seen[0], StartsWith(renamed + " "));
  EXPECT_THAT(seen[0], Not(HasSubstr(oldUuid)));
  EXPECT_THAT(seen[1], StartsWith(outsideVg + " "));

  std::map<std::string, std::string> taken = {{vg, renamed}};
  EXPECT_THAT(KqBlkDiskUtils::getLVs(taken, request.get(), true),
              ElementsAre(Pair("/dev/" + renamed + "/lv_home", renamed)));
  std::list<kqblk_vg> vgs = {kqblk_vg(renamed, vg)};
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(vgs, request.get(), true), 0);
  EXPECT_TRUE(vgs.empty());
  EXPECT_THAT(groupsSeenBySetup()[0], StartsWith(vg + " "));

  // A later sweep finds the group by its devices and exports it.
  KqBlkDiskUtils::getKqBlkVGs(vgs, request.get());
  ASSERT_EQ(vgs.size(), 1u);
  EXPECT_EQ(vgs.front().name, vg);
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(vgs, request.get(), false), 0);
  seen = groupsSeenBySetup();
  EXPECT_THAT(seen[0], HasSubstr("exported"));
  EXPECT_THAT(seen[1], Not(HasSubstr("exported")));
}
