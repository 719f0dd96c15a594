// Guests whose file systems sit on more than partitions, through the real
// driver on a kernel with md and device-mapper (inside the full-kernel VM):
// md arrays, LUKS volumes, thin pools and a group over two disks, each
// mounted at its guest path, kept apart from the machine's own array and
// LUKS volume of the same UUID, and nothing of it left after the teardown,
// nor after kqblkctl is killed with -9 and the sweep has run.
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <map>
#include <set>

#include "fullkernel/vm_test.h"
#include "support/child_process.h"
#include "support/guest_image.h"
#include "support/guest_request.h"
#include "support/loop_device.h"
#include "support/phony_guest.h"
#include "support/run_tool.h"
#include "support/test_util.h"

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

namespace {

const char kOwnArrayUuid[] = "0a1b2c3d:4e5f6071:8293a4b5:c6d7e8f9";
const char kOwnLuksUuid[] = "7d3f0c55-1e2a-4b6c-9d8e-0f1a2b3c4d5e";
// Keys are bytes: the second holds a NUL and no newline.
const std::string kFirstKey = "first key\n";
const std::string kSecondKey("second\0key", 10);

// The guest's files at their guest paths, and where each file system goes.
using GuestFiles = std::map<std::string, std::string>;

// The volume mounted at `mountPoint`, holding the guest's file `guestPath`.
PhonyVolume mounted(const std::string& type, const std::string& mountPoint, const std::string& fstabName,
                    const std::string& guestPath, const GuestFiles& files) {
  const size_t top = mountPoint == "/" ? 1 : mountPoint.size() + 1;
  return {{type, "", ""}, {{guestPath.substr(top), files.at(guestPath)}}, mountPoint, fstabName};
}

PhonyVolume withDirectories(PhonyVolume root, std::initializer_list<const char*> dirs) {
  for (const char* dir : dirs) root.files.emplace_back(dir, "");
  return root;
}

std::set<std::string> entriesOf(const std::string& dir, const std::string& prefix) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != ".." && name.rfind(prefix, 0) == 0) names.insert(name);
    }
    ::closedir(d);
  }
  return names;
}

// The md arrays and device-mapper devices of the machine (the VM).
std::set<std::string> stackedDevices() {
  std::set<std::string> devices = entriesOf("/sys/block", "md");
  for (const std::string& dm : entriesOf("/sys/block", "dm-")) {
    devices.insert(fileText("/sys/block/" + dm + "/dm/name"));
  }
  return devices;
}

// The kernel's name of the block device a node is: dm-3, loop0.
std::string kernelNameOf(const std::string& node) {
  struct stat st;
  char target[PATH_MAX] = {};
  if (::stat(node.c_str(), &st) != 0 ||
      ::readlink(("/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)))
                     .c_str(),
                 target, sizeof target - 1) <= 0) {
    return "(none: " + node + ")";
  }
  const std::string path = target;
  return path.substr(path.rfind('/') + 1);
}

std::set<std::string> slavesOf(const std::string& kernelName) {
  return entriesOf("/sys/block/" + kernelName + "/slaves", "");
}

class StackedGuestInVm : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    loadDriver();
  }
  void TearDown() override { KqBlkDiskUtils::setLuksKeys({}, false); }

  // What the machine has before a request starts, to compare after it.
  void noteTheMachine() {
    m_mountsBefore = mountPoints();
    m_stackedBefore = stackedDevices();
  }

  void expectGuestTree(GuestRequest& r, const GuestFiles& files, const std::set<std::string>& guestPaths) {
    std::set<std::string> placed;
    for (const kqblk_mountpoint& m : r.records) {
      if (m.error.empty()) placed.insert(m.guestPath);
    }
    EXPECT_EQ(placed, guestPaths);
    const std::string root = r.root();
    ASSERT_NE(root, "");
    for (const auto& [path, text] : files) EXPECT_EQ(fileText(root + path), text) << path;
  }

  void expectNothingLeft() {
    EXPECT_EQ(stackedDevices(), m_stackedBefore);
    EXPECT_EQ(mountPoints(), m_mountsBefore);
    std::list<std::string> devices;
    KqBlkDiskUtils::getKqBlkDevs(devices);
    EXPECT_THAT(devices, IsEmpty());
  }

  // kqblkctl mount of `images` killed with -9 once it shows the guest's
  // `file`; the sweep then takes down every layer of it.
  void expectTheSweepToClearAKilledMount(const std::vector<std::string>& images, const std::string& file,
                                         const std::vector<std::string>& keys = {}) {
    setenv("KQBLK_DRIVER_SCRIPT", KQBLK_UNIX_DRV, 1);
    ScopedConfig config("[Log]\nsKqBlkLogFile = " + (m_dir / "kqblkctl.log") + "\n");
    std::vector<std::string> args = {KQBLK_CTL, "mount", "--id", "dead", "--root", m_dir / "dead-root",
                                     "--store", m_dir / "dead-store"};
    for (size_t i = 0; i < keys.size(); ++i) {
      const std::string keyFile = m_dir / ("key" + std::to_string(i));
      writeFile(keyFile, std::vector<char>(keys[i].begin(), keys[i].end()));
      args.insert(args.end(), {"--key-file", keyFile});
    }
    args.insert(args.end(), images.begin(), images.end());
    Child ctl(args);
    std::string tree;
    for (std::string line; tree.empty() && !(line = ctl.readLine()).empty();) {
      if (line.rfind("tree: ", 0) == 0) tree = line.substr(6, line.size() - 7);
    }
    ASSERT_NE(tree, "") << "kqblkctl mount printed no tree: " << fileText(m_dir / "kqblkctl.log");
    EXPECT_TRUE(exists(tree + file)) << file;
    ctl.signal(SIGKILL);
    ctl.wait();
    std::list<std::string> devices;
    KqBlkDiskUtils::getKqBlkDevs(devices);
    EXPECT_EQ(devices.size(), images.size());
    for (const std::string& d : devices) KqBlkDiskUtils::cleanupAll(m_dir / "dead-root", d);
    expectNothingLeft();
  }

  std::set<std::string> m_mountsBefore, m_stackedBefore;
};

// ---- md RAID: /boot on RAID1 (metadata 1.0), / on RAID1 (1.2, the UUID
// of one of the machine's own arrays), LVM on a degraded RAID5 (0.90, a
// member missing), /home on RAID10 (1.2).
const GuestFiles& raidFiles() {
  static const GuestFiles kFiles = {{"/etc/hostname", "raid-guest\n"},
                                    {"/boot/vmlinuz-guest", "kernel\n"},
                                    {"/srv/www/index.html", "served\n"},
                                    {"/home/admin/notes.txt", "at home\n"}};
  return kFiles;
}

PhonyGuestSpec raidGuest() {
  const GuestFiles& f = raidFiles();
  const PhonyVolume member{{"md", "", ""}};
  const char kRaidType[] = "type=A19D880F-05FC-4D3B-A006-743F0F84911E";
  const std::vector<PhonyPartition> partitions = {{std::string("size=32M, ") + kRaidType, member},
                                                  {std::string("size=48M, ") + kRaidType, member},
                                                  {std::string("size=48M, ") + kRaidType, member},
                                                  {std::string("size=48M, ") + kRaidType, member}};
  PhonyGuestSpec spec{{{"raid-a.img", 200, "label: gpt\n", partitions}, {"raid-b.img", 200, "label: gpt\n", partitions}}};
  spec.arrays = {
      {"1", "1.0", {{0, 1}, {1, 1}}, 0, "", mounted("ext4", "/boot", "UUID", "/boot/vmlinuz-guest", f)},
      {"1", "1.2", {{0, 2}, {1, 2}}, 0, kOwnArrayUuid,
       withDirectories(mounted("ext4", "/", "UUID", "/etc/hostname", f), {"dev/", "boot/", "srv/", "home/"})},
      {"5", "0.90", {{0, 3}, {1, 3}}, 1, "", {{"lvm", "", ""}}},
      {"10", "1.2", {{0, 4}, {1, 4}}, 0, "", mounted("ext4", "/home", "UUID", "/home/admin/notes.txt", f)}};
  spec.groups = {{"vg_md",
                  {{kPhonyArray, 2}},
                  {{"srv", "-L 40M", mounted("ext4", "/srv", "/dev/mapper/vg_md-srv", "/srv/www/index.html", f)}}}};
  return spec;
}

class RaidGuestInVm : public StackedGuestInVm {};

TEST_F(RaidGuestInVm, ArraysAssembledUnderTheRequestsNamesBesideTheMachinesOwnAndStoppedAgain) {
  PhonyGuest guest(m_dir.path(), raidGuest());
  // The machine's own array, with the UUID of the guest's root array.
  DiskImage ownA(m_dir / "own-a.img", 40), ownB(m_dir / "own-b.img", 40);
  LoopDevice loopA(ownA.path()), loopB(ownB.path());
  runTool("mdadm --create /dev/md120 --run --assume-clean --level 1 --metadata 1.2 --raid-devices 2 --uuid " +
          std::string(kOwnArrayUuid) + " " + loopA.path() + " " + loopB.path());
  const ScopeExit stopOwn([] { runTool("mdadm --stop /dev/md120"); });
  const std::set<std::string> ownMembers = slavesOf("md120");
  noteTheMachine();
  {
    GuestRequest r("HLX_raid", m_dir.path(), guest.paths());
    ASSERT_TRUE(r.discoverAndMount()) << r.error;
    expectGuestTree(r, raidFiles(), {"/", "//boot", "//srv", "//home"});
    const std::vector<std::string> layers = r.layers();
    for (int part = 1; part <= 4; ++part) {
      for (int disk = 0; disk < 2; ++disk) {
        EXPECT_THAT(layers, Contains(MatchesRegex("disk" + std::to_string(disk) + "p" + std::to_string(part) +
                                                  " linux_raid_member: taken over, member of the md array "
                                                  "/dev/md.*")));
      }
    }
    EXPECT_THAT(layers, Contains(MatchesRegex("/dev/md_kq[0-9a-f]{8}_b ext4: mounted, at /")));
    EXPECT_THAT(layers, Contains(MatchesRegex("/dev/md.* LVM2_member: taken over, physical volume of a volume group")));
    EXPECT_EQ(slavesOf("md120"), ownMembers);
    EXPECT_EQ(fileText("/sys/block/md120/md/array_state"), "clean\n");
    r.tearDown();
  }
  expectNothingLeft();
  expectTheSweepToClearAKilledMount(guest.paths(), "/srv/www/index.html");
  EXPECT_EQ(slavesOf("md120"), ownMembers);
}

// ---- LUKS: LVM on LUKS2 (the UUID of the machine's own LUKS volume),
// /data on LUKS1 opened by the second key, /secret on a LUKS2 volume
// that no key given opens.
const GuestFiles& luksFiles() {
  static const GuestFiles kFiles = {{"/etc/hostname", "luks-guest\n"},
                                    {"/boot/vmlinuz-guest", "kernel\n"},
                                    {"/home/admin/notes.txt", "at home\n"},
                                    {"/data/payload.txt", "data\n"}};
  return kFiles;
}

PhonyGuestSpec luksGuest() {
  const GuestFiles& f = luksFiles();
  PhonyVolume system{{"luks2", "", kOwnLuksUuid}};
  system.key = kFirstKey;
  system.inside = {{{"lvm", "", ""}}};
  PhonyVolume data{{"luks1", "", ""}};
  data.key = kSecondKey;
  data.inside = {mounted("ext4", "/data", "UUID", "/data/payload.txt", f)};
  PhonyVolume secret{{"luks2", "", ""}};
  secret.key = "nobody's";
  secret.inside = {{{"ext4", "", ""}, {{"plans.txt", "secret\n"}}, "/secret", "UUID"}};
  PhonyGuestSpec spec{{{"luks.img", 200, "label: gpt\n",
                        {{"size=32M", mounted("ext4", "/boot", "UUID", "/boot/vmlinuz-guest", f)},
                         {"size=80M", system},
                         {"size=32M", data},
                         {"size=32M", secret}}}}};
  spec.groups = {
      {"vg_crypt",
       {{kPhonyOpenedLuks, 0}},
       {{"root", "-L 32M",
         withDirectories(mounted("ext4", "/", "/dev/mapper/vg_crypt-root", "/etc/hostname", f),
                         {"dev/", "boot/", "home/", "data/", "secret/"})},
        {"home", "-L 24M", mounted("ext4", "/home", "/dev/mapper/vg_crypt-home", "/home/admin/notes.txt", f)}}}};
  return spec;
}

class LuksGuestInVm : public StackedGuestInVm {};

TEST_F(LuksGuestInVm, EachVolumeOpenedByTheKeyThatFitsBesideTheMachinesOwnAndClosedAgain) {
  PhonyGuest guest(m_dir.path(), luksGuest());
  // The machine's own LUKS volume, with the UUID of the guest's system volume.
  DiskImage own(m_dir / "own.img", 24);
  LoopDevice ownLoop(own.path());
  writeFile(m_dir / "own-key", std::vector<char>{'o', 'w', 'n'});
  runTool("cryptsetup luksFormat -q --type luks2 --pbkdf pbkdf2 --pbkdf-force-iterations 1000 --uuid " +
          std::string(kOwnLuksUuid) + " --key-file " + (m_dir / "own-key") + " " + ownLoop.path());
  runTool("cryptsetup open --key-file " + (m_dir / "own-key") + " " + ownLoop.path() + " own-crypt");
  const ScopeExit closeOwn([] { runTool("cryptsetup close own-crypt"); });
  noteTheMachine();
  {
    KqBlkDiskUtils::setLuksKeys({kFirstKey, kSecondKey}, false);
    GuestRequest r("HLX_luks", m_dir.path(), guest.paths());
    ASSERT_TRUE(r.discoverAndMount()) << r.error;
    expectGuestTree(r, luksFiles(), {"/", "//boot", "//home", "//data"});
    const std::vector<std::string> layers = r.layers();
    EXPECT_THAT(layers, Contains("disk0p2 crypto_LUKS: opened, as /dev/mapper/kq-HLX_luks-luks0"));
    EXPECT_THAT(layers, Contains("/dev/mapper/kq-HLX_luks-luks0 LVM2_member: taken over, physical volume of a "
                                 "volume group"));
    EXPECT_THAT(layers, Contains("disk0p3 crypto_LUKS: opened, as /dev/mapper/kq-HLX_luks-luks1"));
    EXPECT_THAT(layers, Contains("/dev/mapper/kq-HLX_luks-luks1 ext4: mounted, at /data"));
    EXPECT_THAT(layers, Contains("disk0p4 crypto_LUKS: skipped, LUKS volume: no key fits"));
    // Read-only unless a write-back was asked for.
    EXPECT_EQ(fileText("/sys/block/" + kernelNameOf("/dev/mapper/kq-HLX_luks-luks1") + "/ro"), "1\n");
    EXPECT_EQ(slavesOf(kernelNameOf("/dev/mapper/own-crypt")), (std::set<std::string>{kernelNameOf(ownLoop.path())}));
    r.tearDown();
  }
  expectNothingLeft();
  expectTheSweepToClearAKilledMount(guest.paths(), "/data/payload.txt", {kFirstKey, kSecondKey});
}

TEST_F(LuksGuestInVm, WithoutAKeyEveryVolumeSaysSoAndTheRestMounts) {
  PhonyGuest guest(m_dir.path(), luksGuest());
  noteTheMachine();
  GuestRequest r("HLX_nokey", m_dir.path(), guest.paths());
  ASSERT_TRUE(r.discoverAndMount()) << r.error;
  const std::vector<std::string> layers = r.layers();
  for (const char* part : {"disk0p2", "disk0p3", "disk0p4"}) {
    EXPECT_THAT(layers, Contains(std::string(part) + " crypto_LUKS: skipped, LUKS volume: no key given"));
  }
  EXPECT_THAT(layers, Contains(MatchesRegex("disk0p1 ext4: mounted, .*")));
  r.tearDown();
  expectNothingLeft();
}

// ---- A group over two disks: thin volumes / and /home in a thin pool,
// and /srv on a linear volume larger than either disk's physical volume.
const GuestFiles& thinFiles() {
  static const GuestFiles kFiles = {{"/etc/hostname", "thin-guest\n"},
                                    {"/boot/vmlinuz-guest", "kernel\n"},
                                    {"/home/admin/notes.txt", "at home\n"},
                                    {"/srv/big.txt", "spans\n"}};
  return kFiles;
}

PhonyGuestSpec thinGuest() {
  const GuestFiles& f = thinFiles();
  const char kLvmType[] = "type=E6D6D379-F507-44C2-A23C-238F2A3DF928";
  const PhonyVolume pv{{"lvm", "", ""}};
  PhonyGuestSpec spec{{{"thin-a.img", 136, "label: gpt\n",
                        {{"size=32M", mounted("ext4", "/boot", "UUID", "/boot/vmlinuz-guest", f)}, {kLvmType, pv}}},
                       {"thin-b.img", 104, "label: gpt\n", {{kLvmType, pv}}}}};
  spec.groups = {
      {"vg_thin",
       {{0, 2}, {1, 1}},
       {{"pool", "--type thin-pool -L 60M", {}},
        {"root", "-V 40M -T vg_thin/pool",
         withDirectories(mounted("ext4", "/", "/dev/mapper/vg_thin-root", "/etc/hostname", f),
                         {"dev/", "boot/", "home/", "srv/"})},
        {"home", "-V 40M -T vg_thin/pool", mounted("ext4", "/home", "UUID", "/home/admin/notes.txt", f)},
        {"srv", "-L 120M", mounted("ext4", "/srv", "/dev/mapper/vg_thin-srv", "/srv/big.txt", f)}}}};
  return spec;
}

class ThinPoolInVm : public StackedGuestInVm {};

TEST_F(ThinPoolInVm, ThinVolumesOfAGroupOverTwoDisksMountedAndGivenBack) {
  PhonyGuest guest(m_dir.path(), thinGuest());
  noteTheMachine();
  {
    GuestRequest r("HLX_thin", m_dir.path(), guest.paths());
    ASSERT_TRUE(r.discoverAndMount()) << r.error;
    expectGuestTree(r, thinFiles(), {"/", "//boot", "//home", "//srv"});
    EXPECT_THAT(r.tearDown(), ElementsAre("vg_thin"));
  }
  expectNothingLeft();
  expectTheSweepToClearAKilledMount(guest.paths(), "/srv/big.txt");
}

}  // namespace
