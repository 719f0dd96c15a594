// LVM take-over and release with the real LVM tools on loop devices (root).
// The guest's physical volume sits on a driver-style node under /dev/kqblk;
// a second one, on a plain loop device, stands for the proxy's own disk and
// must stay invisible to the request. Every LVM command, set-up included,
// runs under a private configuration.

#include <algorithm>

#include "integration/discovery_devices.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_disk_utils.h"
#include "kqblk_text.h"
#include "kqblk_vg_identity.h"
#include "support/admin_lvm.h"
#include "support/disk_image.h"
#include "support/guest_image.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"
#include "support/test_util.h"

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Pair;
using ::testing::Property;
using ::testing::StartsWith;
using ::testing::Throws;

namespace {

bool deviceMapperPresent() {
  return fileText("/proc/misc").find("device-mapper") != std::string::npos;
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
    // Set-up sees exactly the two loop devices of this test, through an
    // administrator's configuration of its own (the library writes only
    // configurations confined to the driver's nodes).
    writeAdminLvmConfig(setup, {guest->path(), outside->path()});
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
    if (!request) return;
    // Nothing of this test may stay active once its devices go.
    for (const std::string& name : kqblk_trimmedLines(admin("vgs --noheadings -o vg_name"))) {
      admin("vgchange -an -- " + KqShellQuote(name), false);  // exported ones refuse
    }
    KqBlkDiskUtils::setConfigDir("", false);
  }

  // An administrator's command under the set-up configuration (or `config`).
  std::string admin(const std::string& command, bool mustSucceed = true,
                    const std::string& config = std::string()) {
    std::string out;
    std::string err;
    const int rc = KqProcess::system(
        "LVM_SYSTEM_DIR=" + KqShellQuote(config.empty() ? setup : config) + " " + command, &out,
        &err, 60, false);
    if (rc != 0 && mustSucceed) ADD_FAILURE() << command << " exited " << rc << ": " << err;
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
  const std::string setup = dir / "setup";
  std::unique_ptr<LVMConfig> request;
};

}  // namespace

TEST_F(LvmReal, RequestSeesOnlyItsOwnDeviceUnderTheDriverName) {
  // LVM counts every name of a device: a link whose name holds the disk's
  // name must not make the outside volume one of the request's.
  const std::string link = "/dev/" + node->name() + "-outside";
  ASSERT_EQ(symlink(outside->path().c_str(), link.c_str()), 0);
  const ScopeExit removeLink([&] { ::unlink(link.c_str()); });
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
  const std::string hints = fileText("/run/lvm/hints");
  const std::string guestPvid = pvUuid(guest->path());

  EXPECT_THAT(KqBlkDiskUtils::getPVList({node->path(), outside->path()}, request.get()),
              ElementsAre(node->path()));
  EXPECT_NE(pvUuid(guest->path()), guestPvid);
  EXPECT_EQ(pvUuid(outside->path()), outsidePvid);
  // The proxy's LVM hints are neither read nor rewritten by the request.
  EXPECT_EQ(fileText("/run/lvm/hints"), hints);
}

// A disk named like the proxy's own device (/dev/kqblk/loopN beside the
// proxy's /dev/loopN) reaches only the request's device.
TEST_F(LvmReal, DiskNamedLikeAHostDeviceCannotReachTheHostDevice) {
  node.reset();
  KqblkTestNode lookalike("", guest->path(), outside->name());
  std::unique_ptr<LVMConfig> config(
      KqBlkDiskUtils::initLVMConfig("lookalike", {lookalike.path()}));
  const std::string outsidePvid = pvUuid(outside->path());
  const std::string guestPvid = pvUuid(guest->path());
  EXPECT_THAT(KqBlkDiskUtils::getPVList({lookalike.path()}, config.get()),
              ElementsAre(lookalike.path()));
  EXPECT_EQ(pvUuid(outside->path()), outsidePvid);
  EXPECT_NE(pvUuid(guest->path()), guestPvid);
}

// Two guest groups of one name (copies of one template): both are mapped,
// and each is renamed by its UUID, which a name could not single out.
TEST_F(LvmReal, TwoGuestGroupsOfOneNameAreKeptApart) {
  // No logical volume, so that activation succeeds without device-mapper.
  admin("lvremove -y " + vg + "/lv_home");
  writeAdminLvmConfig(dir / "outside-only", {outside->path()});
  admin("vgrename -- " + outsideVg + " " + vg, true, dir / "outside-only");
  KqblkTestNode second("lvm2", outside->path());
  std::unique_ptr<LVMConfig> both(
      KqBlkDiskUtils::initLVMConfig("both", {node->path(), second.path()}));
  const std::list<std::string> pvs =
      KqBlkDiskUtils::getPVList({node->path(), second.path()}, both.get());
  kqblk_vgmap groups;
  KqBlkDiskUtils::getVGMap(pvs, both.get(), groups);
  ASSERT_EQ(groups.count(vg), 2u);
  std::list<kqblk_vg> records;
  KqBlkDiskUtils::renameVGs(groups, kqblk_vgprefix(id), both.get(), records);
  std::vector<std::string> names;
  for (const kqblk_vg& record : records) names.push_back(record.name + "/" + record.guestName);
  const std::string renamed = kqblk_vgprefix(id) + vg;
  EXPECT_THAT(names, ElementsAre(renamed + "/" + vg, renamed + "-2/" + vg));
  const std::vector<std::string> seen = groupsSeenBySetup();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_THAT(seen[0], StartsWith(renamed + " "));
  EXPECT_THAT(seen[1], StartsWith(renamed + "-2 "));
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(records, both.get(), false), 0);
}

TEST_F(LvmReal, TakeOverRenamesThenFailsToActivateWithoutDeviceMapperAndReleases) {
  const std::list<std::string> pvs = KqBlkDiskUtils::getPVList({node->path()}, request.get());
  kqblk_vgmap groups;
  KqBlkDiskUtils::getVGMap(pvs, request.get(), groups);
  ASSERT_EQ(groups.size(), 1u);
  const std::string oldUuid = groups.begin()->second;
  const std::string renamed = kqblk_vgprefix(id) + vg;
  std::list<kqblk_vg> records;
  if (deviceMapperPresent()) {
    KqBlkDiskUtils::renameVGs(groups, kqblk_vgprefix(id), request.get(), records);
  } else {
    EXPECT_THAT([&] { KqBlkDiskUtils::renameVGs(groups, kqblk_vgprefix(id), request.get(), records); },
                Throws<KqException>(Property(&KqException::getMessage,
                                             AllOf(StartsWith("Failed to run vgchange -ay -- " + KqShellQuote(renamed) + ":err:"),
                                                   HasSubstr("device-mapper")))));
  }
  // Renamed before the failure: the record is there for teardown.
  EXPECT_EQ(groups.begin()->second, renamed);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records.front().name, renamed);
  EXPECT_EQ(records.front().guestName, vg);
  // Renamed with a new identity; the outside group is untouched.
  std::vector<std::string> seen = groupsSeenBySetup();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_THAT(seen[0], StartsWith(renamed + " "));
  EXPECT_THAT(seen[0], Not(HasSubstr(oldUuid)));
  EXPECT_THAT(seen[1], StartsWith(outsideVg + " "));

  EXPECT_THAT(KqBlkDiskUtils::getLVs(groups, request.get(), true),
              ElementsAre(Pair("/dev/" + renamed + "/lv_home", renamed)));
  std::list<kqblk_vg> vgs = records;
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

// A configuration that cannot be written whole (a full file system) fails,
// and LVM never runs under what was left of it.
TEST(LvmConfigReal, FullDirectoryFailsTheConfigurationAndNothingRuns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TempDir dir;
  const std::string base = dir / "cfg";
  mkdir(base.c_str(), 0755);
  runTool("mount -t tmpfs -o size=4k kqtest-full " + shellQuote(base));
  const ScopeExit unmount([&] { runTool("umount " + shellQuote(base)); });
  KqBlkDiskUtils::setConfigDir(base.c_str(), false);
  EXPECT_THAT([] { delete KqBlkDiskUtils::initLVMConfig("req", {"d1"}); },
              Throws<KqException>(Property(&KqException::getMessage,
                                           AllOf(StartsWith("Failed to write lvm config @ " + base + "/req/"),
                                                 HasSubstr("No space left on device")))));
  KqBlkDiskUtils::setConfigDir("", false);
  // The variant that did not fit has no file, not a short one.
  LVMConfig leftover(base + "/req/", {"d1"}, {});
  const std::string marker = dir / "ran";
  std::string out;
  std::string err;
  EXPECT_THROW(KqBlkDiskUtils::runLVMCmd("touch " + marker, out, err, false, &leftover),
               KqException);
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  EXPECT_EQ(runTool("ls -A " + shellQuote(base + "/req/noactivation")), "");
}

// What the take-over writes (a new PV UUID, the group renamed with a new
// UUID, the metadata ring moved on) is put back from the identity kept
// before it, byte for byte, so that LVM sees the guest's own group again.
TEST_F(LvmReal, KeptIdentityPutsTheGuestsGroupBackAfterTheTakeOver) {
  const std::vector<std::string> before = groupsSeenBySetup();
  const std::string pvid = pvUuid(guest->path());
  kqblk_vg_identity identity;
  ASSERT_TRUE(kqblk_keepIdentity(node->path(), identity));
  ASSERT_EQ(identity.error, "");
  ASSERT_GE(identity.lvmAreas.size(), 2u) << "label sectors and one metadata area";

  kqblk_vgmap groups;
  KqBlkDiskUtils::getVGMap(KqBlkDiskUtils::getPVList({node->path()}, request.get()), request.get(), groups);
  std::list<kqblk_vg> records;
  try {
    KqBlkDiskUtils::renameVGs(groups, kqblk_vgprefix(id), request.get(), records);
  } catch (const KqException&) {
    // Activation needs device-mapper; rename and new UUIDs are done before it.
  }
  ASSERT_NE(groupsSeenBySetup(), before);
  ASSERT_NE(pvUuid(guest->path()), pvid);

  std::string why;
  ASSERT_TRUE(kqblk_restoreIdentities({identity}, why)) << why;
  EXPECT_EQ(groupsSeenBySetup(), before);
  EXPECT_EQ(pvUuid(guest->path()), pvid);
  const std::string image = fileText(guestImage->path());
  for (const kqblk_raw_area& area : identity.lvmAreas) {
    EXPECT_EQ(image.compare(area.offset, area.bytes.size(),
                            std::string(area.bytes.begin(), area.bytes.end())),
              0)
        << "area at " << area.offset;
  }
  // Put back onto some other device, never: the kept number must match.
  kqblk_vg_identity elsewhere = identity;
  elsewhere.device = outside->path();
  EXPECT_FALSE(kqblk_restoreIdentities({elsewhere}, why));
  EXPECT_THAT(why, HasSubstr("no longer the device"));
}

// An md member's superblocks, wherever its metadata version puts them (1.1,
// 1.2, 1.0, 0.90 of a 4 MiB device), are kept and put back: assembly gives
// the array a new UUID and name that a write-back must not carry.
TEST(IdentityReal, AnMdMembersSuperblockIsPutBackWhereverItsVersionPutsIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const uint64_t size = 4u << 20;
  for (const uint64_t at : {uint64_t{0}, uint64_t{4096}, size - 8192, size - 65536}) {
    TempDir dir;
    DiskImage image(dir / "member.img", 4);
    const std::vector<char> superblock = {'\xfc', '\x4e', '\x2b', '\xa9', 'g', 'u', 'e', 's', 't'};
    writeAt(image.path(), at, superblock);
    LoopDevice loop(image.path());
    kqblk_vg_identity identity;
    ASSERT_TRUE(kqblk_keepIdentity(loop.path(), identity)) << at;
    ASSERT_EQ(identity.error, "");
    writeAt(image.path(), at, {'\xfc', '\x4e', '\x2b', '\xa9', 'o', 'u', 'r', 's', '!'});
    std::string why;
    ASSERT_TRUE(kqblk_restoreIdentities({identity}, why)) << why;
    EXPECT_EQ(fileText(image.path()).substr(at, superblock.size()), std::string(superblock.begin(), superblock.end()))
        << at;
  }
}
