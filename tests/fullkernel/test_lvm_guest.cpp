// Guests on LVM through the real driver on a kernel with device-mapper
// (inside the full-kernel VM): the guest's groups taken over and activated,
// its logical volumes mounted where its fstab puts them, the same guest
// twice side by side, and the teardown that leaves nothing of it.
#include <signal.h>
#include <sys/wait.h>

#include <map>
#include <set>

#include "fullkernel/lvm_guest.h"
#include "fullkernel/vm_test.h"
#include "support/admin_lvm.h"
#include "support/child_process.h"
#include "support/guest_image.h"
#include "support/guest_request.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/test_util.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Device-mapper devices of the machine (the VM: only tests' own).
std::string dmDevices() { return runTool("dmsetup ls"); }

class LvmGuestInVm : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    loadDriver();
    m_mountsBefore = mountPoints();
    m_guest = std::make_unique<LvmGuest>(m_dir.path());
  }

  std::unique_ptr<GuestRequest> request(const std::string& id) {
    return std::make_unique<GuestRequest>(
        id, m_dir.path(), std::vector<std::string>{m_guest->system.path(), m_guest->data.path()});
  }

  // The request's records and the guest's files at their guest paths.
  void expectGuestTree(GuestRequest& r) {
    const std::string groups = "/dev/" + kqblk_vgprefix(r.id);
    const std::map<std::string, std::string> expected = {
        {r.device(0) + "p1", "//boot"},
        {groups + "vg_root/root", "/"},
        {groups + "vg_root/home", "//home"},
        {groups + "vg_root/var", "//var"},
        {groups + "vg_root/var_snap", "/kqlostandfound/vg_root-var_snap"},
        {groups + "my-vg/data", "//data"},
        {r.device(1) + "p1", "//boot/efi"}};
    std::map<std::string, std::string> found;
    for (const kqblk_mountpoint& m : r.records) {
      found[m.device] = m.guestPath;
      EXPECT_EQ(m.error, "") << m.device;
    }
    EXPECT_EQ(found, expected);
    const std::string root = r.root();
    ASSERT_NE(root, "");
    for (const auto& [path, text] : LvmGuest::files()) {
      EXPECT_EQ(fileText(root + path), text) << path;
    }
  }

  // The groups the request took over: renamed, with new UUIDs, active.
  void expectGroupsTakenOver(GuestRequest& r) {
    std::vector<std::string> records;
    for (const kqblk_vg& g : r.vgs) records.push_back(g.name + " " + g.guestName);
    const std::string prefix = kqblk_vgprefix(r.id);
    EXPECT_THAT(records, ElementsAre(prefix + "my-vg my-vg", prefix + "vg_root vg_root"));
    std::string out, err;
    ASSERT_EQ(KqBlkDiskUtils::runLVMCmd("vgs --noheadings -o vg_name,vg_uuid,lv_count", out, err, true,
                                        &r.lvm()),
              0)
        << err;
    std::istringstream seen(out);
    std::string name, uuid, lvs;
    std::set<std::string> names;
    while (seen >> name >> uuid >> lvs) {
      names.insert(name);
      const std::string guestName = name.substr(prefix.size());
      EXPECT_NE(uuid, m_guest->groupUuids.at(guestName)) << name << " kept its UUID";
    }
    EXPECT_EQ(names, (std::set<std::string>{prefix + "my-vg", prefix + "vg_root"}));
    for (const char* dm : {"vg_root-root", "vg_root-var_snap", "my--vg-data"}) {
      std::string mapped = "/dev/mapper/";
      for (char c : prefix) mapped += c == '-' ? std::string("--") : std::string(1, c);
      EXPECT_EQ(::access((mapped + dm).c_str(), F_OK), 0) << mapped + dm;
    }
  }

  // After the teardown: no device-mapper device, volume group (as the
  // machine's LVM sees them), mount or driver device of the test.
  void expectNothingLeft() {
    EXPECT_THAT(dmDevices(), ::testing::HasSubstr("No devices found"));
    EXPECT_EQ(runTool("vgs --noheadings -o vg_name"), "");
    EXPECT_EQ(mountPoints(), m_mountsBefore);
    std::list<std::string> devices;
    KqBlkDiskUtils::getKqBlkDevs(devices);
    EXPECT_THAT(devices, IsEmpty());
  }

  std::unique_ptr<LvmGuest> m_guest;
  std::set<std::string> m_mountsBefore;
};

}  // namespace

TEST_F(LvmGuestInVm, TakenOverMountedWhereItsFstabSaysAndGivenBack) {
  auto r = request("HLX_one");
  ASSERT_TRUE(r->discoverAndMount()) << r->error;
  expectGroupsTakenOver(*r);
  expectGuestTree(*r);
  const std::string lvs = "/dev/" + kqblk_vgprefix(r->id);
  EXPECT_THAT(r->layers(),
              ElementsAre("disk0 dos: listed, 2 partitions", "disk0p1 ext4: mounted, at /boot",
                          "disk0p2 LVM2_member: taken over, physical volume of a volume group",
                          "disk1 gpt: listed, 2 partitions", "disk1p1 vfat: mounted, at /boot/efi",
                          "disk1p2 LVM2_member: taken over, physical volume of a volume group",
                          lvs + "vg_root/root ext4: mounted, at /", lvs + "my-vg/data ext4: mounted, at /data",
                          lvs + "vg_root/home xfs: mounted, at /home", lvs + "vg_root/var ext4: mounted, at /var",
                          lvs + "vg_root/var_snap ext4: mounted, at /kqlostandfound/vg_root-var_snap",
                          lvs + "my-vg LVM volume group: taken over, the guest's my-vg",
                          lvs + "vg_root LVM volume group: taken over, the guest's vg_root"));
  EXPECT_THAT(r->tearDown(), ElementsAre("my-vg", "vg_root"));
  expectNothingLeft();
}

TEST_F(LvmGuestInVm, SameGuestTwiceSideBySide) {
  auto one = request("HLX_one");
  auto two = request("HLX_two");
  ASSERT_TRUE(one->discoverAndMount()) << one->error;
  ASSERT_TRUE(two->discoverAndMount()) << two->error;
  expectGroupsTakenOver(*one);
  expectGroupsTakenOver(*two);
  expectGuestTree(*one);
  expectGuestTree(*two);
  EXPECT_NE(one->root(), two->root());
  EXPECT_THAT(one->tearDown(), ElementsAre("my-vg", "vg_root"));
  expectGuestTree(*two);  // untouched by the other's teardown
  EXPECT_THAT(two->tearDown(), ElementsAre("my-vg", "vg_root"));
  expectNothingLeft();
}

// A request killed while it serves the guest's volumes: the sweep takes its
// mounts and volumes down, the snapshot's too (it sits on other
// device-mapper devices, not on the driver device itself). Its group is not
// exported: once the serving process is gone the device can no longer be
// read, so LVM sees no group there.
TEST_F(LvmGuestInVm, CrashSweepTakesDownAKilledRequestsMountsAndVolumes) {
  ServedRequest dead(m_guest->system.path(), m_dir.path(), "HLX_dead");
  ASSERT_EQ(readFile(dead.root + "/var/log/messages").size(), 7u);
  ASSERT_EQ(::access("/dev/mapper/kq--HLX_dead--vg_root-var", F_OK), 0);
  dead.server.kill();

  std::list<std::string> devices;
  KqBlkDiskUtils::getKqBlkDevs(devices);
  EXPECT_THAT(devices, ElementsAre(dead.device));
  for (const std::string& d : devices) KqBlkDiskUtils::cleanupAll(m_dir / "mnt-dead", d);
  expectNothingLeft();
}

// kqblkctl mount --write-back: the guest's change reaches its disks, and
// nothing of the take-over does: the groups keep their names and the PV and
// VG UUIDs they had, and the directories the layout made in the guest's
// file systems (the lost-and-found, a bind target) are gone.
TEST_F(LvmGuestInVm, WriteBackCarriesTheChangesButNotTheTakeover) {
  setenv("KQBLK_DRIVER_SCRIPT", KQBLK_UNIX_DRV, 1);
  ScopedConfig config("[Log]\nsKqBlkLogFile = " + (m_dir / "kqblkctl.log") + "\n");
  const std::string changed = "changed at home\n";
  {
    Child ctl({KQBLK_CTL, "mount", "--write-back", "--id", "wb", "--root", m_dir / "wb-root",
               "--store", m_dir / "wb-store", m_guest->system.path(), m_guest->data.path()});
    std::string tree;
    for (std::string line; tree.empty() && !(line = ctl.readLine()).empty();) {
      if (line.rfind("tree: ", 0) == 0) tree = line.substr(6, line.size() - 7);
    }
    ASSERT_NE(tree, "") << "kqblkctl mount printed no tree";
    ASSERT_EQ(::access((tree + "/kqlostandfound/vg_root-var_snap").c_str(), F_OK), 0);
    ASSERT_EQ(::access((tree + "/boot/efi/EFI").c_str(), F_OK), 0);
    writeFile(tree + "/home/admin/notes.txt", std::vector<char>(changed.begin(), changed.end()));
    ctl.signal(SIGTERM);
    const int status = ctl.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  expectNothingLeft();

  LoopDevice system(m_guest->system.path());
  system.addPartitions();
  LoopDevice data(m_guest->data.path());
  data.addPartitions();
  const AdminLvm lvm(m_dir / "check-lvm", {system.partitionPath(2), data.partitionPath(2)});
  std::map<std::string, std::string> groups, pvs;
  std::string name, uuid;
  std::istringstream vgsOut(lvm("vgs --noheadings -o vg_name,vg_uuid"));
  while (vgsOut >> name >> uuid) groups[name] = uuid;
  std::istringstream pvsOut(lvm("pvs --noheadings -o vg_name,pv_uuid"));
  while (pvsOut >> name >> uuid) pvs[name] = uuid;
  EXPECT_EQ(groups, m_guest->groupUuids);
  EXPECT_EQ(pvs, m_guest->pvUuids);

  lvm("vgchange -ay vg_root");
  const ScopeExit deactivate([&] {
    try {
      lvm("vgchange -an vg_root");
    } catch (...) {
    }
  });
  const std::string look = m_dir / "look";
  ::mkdir(look.c_str(), 0755);
  // What `path` is on the file system of `device`: its text, "(directory)" or "(none)".
  auto inspect = [&look](const std::string& device, const std::string& path) {
    runTool("mount -o ro " + shellQuote(device) + " " + shellQuote(look));
    const ScopeExit unmount([&] { runTool("umount " + shellQuote(look)); });
    struct stat st;
    if (::lstat((look + path).c_str(), &st) != 0) return std::string("(none)");
    if (S_ISDIR(st.st_mode)) return std::string("(directory)");
    return fileText(look + path);
  };
  EXPECT_EQ(inspect("/dev/vg_root/home", "/admin/notes.txt"), changed);
  EXPECT_EQ(inspect("/dev/vg_root/root", "/kqlostandfound"), "(none)");
  EXPECT_EQ(inspect(system.partitionPath(1), "/efi"), "(none)");
}
