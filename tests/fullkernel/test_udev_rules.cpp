// The driver's devices beside udev as it runs on a proxy (the host's own
// rules, which would autoactivate a guest's volume group under its guest
// name and point /dev/disk/by-uuid at guest file systems that share a UUID
// with one of the machine's own). With our rule files, which the driver
// installs when it is loaded while udev runs, they leave the driver's
// devices and the guest's volumes alone, and discovery takes the guest over.
#include <dirent.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <climits>
#include <ostream>
#include <thread>
#include <utility>

#include "fullkernel/vm_test.h"
#include "kqblk_driver.h"
#include "support/child_process.h"
#include "support/guest_request.h"
#include "support/loop_device.h"
#include "support/phony_guest.h"
#include "support/test_util.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

// A file system of the machine itself, and the guest's copies of its names.
const char kOwnUuid[] = "5e1f0a2b-3c4d-4e5f-8a9b-0c1d2e3f4a5b";
const char kOwnLabel[] = "proxydata";

// systemd-udevd with the machine's rules, started after the devices that
// are already there, which it then sees as at boot.
class UdevDaemon {
 public:
  UdevDaemon() : m_daemon({"/lib/systemd/systemd-udevd"}) {
    for (int i = 0; i < 200 && ::access("/run/udev/control", F_OK) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    runTool("udevadm trigger --action=add --subsystem-match=block");
    settle();
  }
  ~UdevDaemon() {
    try {
      runTool("udevadm control --exit");
    } catch (...) {
    }
    m_daemon.wait();
    // Left behind, its control socket would make LVM wait for a udev that
    // is gone.
    ::unlink("/run/udev/control");
  }
  static void settle() { runTool("udevadm settle --timeout=120"); }

 private:
  Child m_daemon;
};

// Three guest disks, built before udev runs: a whole disk that is a
// physical volume of guestvg (logical volume data: ext4 with the machine's
// UUID and label), an MBR disk whose ext4 root carries them too, and a GPT
// disk with the two members of an md RAID1 whose ext4 carries them as well.
PhonyGuestSpec udevGuest() {
  const FileSystemSpec own{"ext4", kOwnLabel, kOwnUuid};
  const PhonyPartition member{"size=20M, type=A19D880F-05FC-4D3B-A006-743F0F84911E", {{"md", "", ""}}};
  PhonyGuestSpec spec{{{"root-disk.img", 64, "label: dos\n",
                        {{"type=83",
                          {own, {{"etc/hostname", "udev-guest\n"}, {"dev/", ""}, {"data/", ""}}, "/", "/dev/sda1"}}}},
                       {"pv-disk.img", 64, "", {{"", {{"lvm", "", ""}}}}},
                       {"md-disk.img", 48, "label: gpt\n", {member, member}}},
                      {{"guestvg", {{1, 0}},
                        {{"data", "-L 24M", {own, {{"payload.txt", "data\n"}}, "/data", "/dev/mapper/guestvg-data"}}}}}};
  spec.arrays = {{"1", "1.2", {{2, 1}, {2, 2}}, 0, "", {own, {{"mirrored.txt", "twice\n"}}}}};
  return spec;
}

// The block device `path` leads to, and the driver devices it is or is
// built on (none when it is none of ours).
std::vector<std::string> driverDevicesBehind(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return {};
  return KqBlkDriverUnix::devicesUnder(major(st.st_rdev), minor(st.st_rdev));
}

std::string realPath(const std::string& path) {
  char real[PATH_MAX];
  return ::realpath(path.c_str(), real) ? real : "";
}

// Every /dev/disk/*/* link that leads to a driver device, a partition of
// one or anything built on one.
std::vector<std::string> diskLinksToDriverDevices() {
  std::vector<std::string> found;
  for (const char* kind : {"by-uuid", "by-label", "by-partuuid", "by-partlabel", "by-id", "by-path", "by-diskseq"}) {
    const std::string dir = std::string("/dev/disk/") + kind;
    DIR* d = ::opendir(dir.c_str());
    if (!d) continue;
    while (dirent* e = ::readdir(d)) {
      const std::string link = dir + "/" + e->d_name;
      if (e->d_name[0] != '.' && !driverDevicesBehind(link).empty()) found.push_back(link);
    }
    ::closedir(d);
  }
  return found;
}

// Every /dev/disk link that udev gave a taken-over guest volume in any
// event while it ran: a link that a later event dropped again counts too.
class GuestVolumeDiskLinks {
 public:
  explicit GuestVolumeDiskLinks(const std::string& file)
      : m_file(file),
        m_monitor({"/bin/sh", "-c", "exec udevadm monitor --udev --property --subsystem-match=block >" + shellQuote(file)}) {}
  std::vector<std::string> seen() {
    UdevDaemon::settle();
    m_monitor.kill();
    std::vector<std::string> links;
    std::istringstream text(runTool("cat " + shellQuote(m_file)));
    bool guestVolume = false;
    std::string devlinks;
    for (std::string line; std::getline(text, line);) {
      if (line.rfind("DM_NAME=kq--", 0) == 0) guestVolume = true;
      if (line.rfind("DEVLINKS=", 0) == 0) devlinks = line;
      if (!line.empty()) continue;
      if (guestVolume && devlinks.find("/dev/disk/") != std::string::npos) links.push_back(devlinks);
      guestVolume = false;
      devlinks.clear();
    }
    return links;
  }

 private:
  std::string m_file;
  Child m_monitor;
};

class UdevInVm : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    m_guest = std::make_unique<PhonyGuest>(m_dir.path(), udevGuest());
    m_ownImage = std::make_unique<DiskImage>(m_dir / "own.img", 32);
    makeFileSystem(m_ownImage->path(), {"ext4", kOwnLabel, kOwnUuid});
    m_own = std::make_unique<LoopDevice>(m_ownImage->path());
  }

  std::unique_ptr<GuestRequest> request(const std::string& id) {
    return std::make_unique<GuestRequest>(
        id, m_dir.path(), m_guest->paths());
  }

  std::unique_ptr<PhonyGuest> m_guest;
  std::unique_ptr<DiskImage> m_ownImage;
  std::unique_ptr<LoopDevice> m_own;
};

}  // namespace

// The host's device-mapper rules under Debian's names (55-dm.rules,
// 56-lvm.rules, 60-persistent-storage-dm.rules) or, as upstream LVM, RHEL
// and Fedora install the same rules, under theirs (10-dm.rules,
// 11-dm-lvm.rules, 13-dm-disk.rules): there the disk links are made before
// 60-kqblk.rules runs.
enum class DmRuleNames { Debian, Upstream };
const char* nameOf(DmRuleNames names) { return names == DmRuleNames::Debian ? "Debian" : "Upstream"; }
void PrintTo(DmRuleNames names, std::ostream* out) { *out << nameOf(names); }

class UdevRulesInVm : public UdevInVm, public ::testing::WithParamInterface<DmRuleNames> {
 protected:
  void SetUp() override {
    UdevInVm::SetUp();
    if (GetParam() != DmRuleNames::Upstream) return;
    // /etc/udev/rules.d masks a file of /lib/udev/rules.d with its name.
    for (const auto& names : kRenames) {
      runTool(std::string("ln -sf /dev/null /etc/udev/rules.d/") + names.first);
      runTool(std::string("cp /lib/udev/rules.d/") + names.first + " /etc/udev/rules.d/" + names.second);
    }
  }
  void TearDown() override {
    if (GetParam() == DmRuleNames::Upstream) {
      for (const auto& names : kRenames) {
        ::unlink((std::string("/etc/udev/rules.d/") + names.first).c_str());
        ::unlink((std::string("/etc/udev/rules.d/") + names.second).c_str());
      }
    }
    UdevInVm::TearDown();
  }
  static constexpr std::pair<const char*, const char*> kRenames[] = {
      {"55-dm.rules", "10-dm.rules"},
      {"56-lvm.rules", "11-dm-lvm.rules"},
      {"60-persistent-storage-dm.rules", "13-dm-disk.rules"}};
};

INSTANTIATE_TEST_SUITE_P(DmRules, UdevRulesInVm,
                         ::testing::Values(DmRuleNames::Debian, DmRuleNames::Upstream),
                         [](const auto& info) { return nameOf(info.param); });

TEST_P(UdevRulesInVm, OurRulesKeepTheHostsRulesOffTheGuestUntilDiscoveryTakesItOver) {
  UdevDaemon udev;
  loadDriver();
  ASSERT_EQ(::access("/run/udev/rules.d/12-kqblk-dm.rules", F_OK), 0);
  ASSERT_EQ(::access("/run/udev/rules.d/60-kqblk.rules", F_OK), 0);
  GuestVolumeDiskLinks volumeLinks(m_dir / "udev-events");
  auto r = request("HLX_ruled");
  UdevDaemon::settle();
  EXPECT_THAT(runTool("dmsetup ls"), HasSubstr("No devices found"));
  EXPECT_THAT(diskLinksToDriverDevices(), IsEmpty());
  // mdadm's incremental rules assembled nothing from the driver's devices.
  EXPECT_THAT(fileText("/proc/mdstat"), Not(HasSubstr("\nmd")));

  ASSERT_TRUE(r->discoverAndMount()) << r->error;
  EXPECT_THAT(fileText("/proc/mdstat"), HasSubstr("md_kq"));
  for (const kqblk_mountpoint& m : r->records) EXPECT_EQ(m.error, "") << m.device;
  ASSERT_NE(r->root(), "");
  const std::vector<char> payload = readFile(r->root() + "/data/payload.txt");
  EXPECT_EQ(std::string(payload.begin(), payload.end()), "data\n");
  UdevDaemon::settle();
  // The taken-over volume carries the machine's UUID and label too.
  EXPECT_THAT(diskLinksToDriverDevices(), IsEmpty());
  EXPECT_EQ(realPath(std::string("/dev/disk/by-uuid/") + kOwnUuid), m_own->path());
  EXPECT_EQ(realPath(std::string("/dev/disk/by-label/") + kOwnLabel), m_own->path());
  EXPECT_THAT(volumeLinks.seen(), IsEmpty());

  EXPECT_THAT(r->tearDown(), ElementsAre("guestvg"));
  EXPECT_THAT(runTool("dmsetup ls"), HasSubstr("No devices found"));
}
