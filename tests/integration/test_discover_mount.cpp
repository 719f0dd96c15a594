// A request's disks discovered, mounted and laid out as the guest's own
// tree, through the real driver (root).
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "support/guest_request.h"
#include "support/linux_guest.h"
#include "support/test_util.h"
#include "support/windows_guest.h"

namespace {

const char kMountFailure[] = "Failed to mount devices. 1:";
const char kNoFileSystem[] = "No valid file system is found in guest virtual machine.";
const char kSwapRefused[] = "The file system type swap in guest virtual machine is not supported.";

// The per-mount options of every mount below `dir`, from /proc/self/mountinfo.
std::vector<std::string> mountOptionsBelow(const std::string& dir) {
  std::vector<std::string> found;
  std::ifstream info("/proc/self/mountinfo");
  std::string id, parent, device, root, point, options, rest;
  while (info >> id >> parent >> device >> root >> point >> options && std::getline(info, rest)) {
    if (point.compare(0, dir.size() + 1, dir + "/") == 0) found.push_back(point + " " + options);
  }
  return found;
}

bool readOnly(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
  int ro = 0;
  const bool known = fd >= 0 && ::ioctl(fd, BLKROGET, &ro) == 0;
  if (fd >= 0) ::close(fd);
  return known && ro != 0;
}

// Guest disks exposed through the real driver as one request, and
// discover-and-mount runs over them. Whatever a run mounted goes before the
// devices.
class GuestThroughDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    loadDriver();
  }
  void TearDown() override {
    unmountBelow(m_dir.path());
    if (m_request) m_request->records.clear();  // unmounted above, whichever run made them
    m_request.reset();
  }

  // The device paths of the exposed images.
  std::vector<std::string> expose(const std::vector<std::string>& images) {
    m_request = std::make_unique<GuestRequest>("req", m_dir.path(), images, "test-");
    std::vector<std::string> devices;
    for (size_t i = 0; i < images.size(); ++i) devices.push_back(m_request->device(i));
    return devices;
  }

  std::list<kqblk_mountpoint> discoverAndMount(const std::string& mountRoot, bool doMount = true) {
    EXPECT_TRUE(m_request->discoverAndMount(mountRoot, doMount)) << m_request->error;
    EXPECT_TRUE(m_request->vgs.empty());
    return m_request->records;
  }
  std::vector<std::string> tearDown() { return m_request->tearDown(); }
  // The report, with the mount root written MOUNTROOT.
  std::vector<std::string> layers() const {
    std::vector<std::string> report = m_request->layers();
    for (std::string& line : report) {
      const size_t at = line.find(m_mountRoot);
      if (at != std::string::npos) line.replace(at, m_mountRoot.size(), "MOUNTROOT");
    }
    return report;
  }

  TempDir m_dir;
  const std::string m_mountRoot = m_dir / "mnt-req";

 private:
  RequestEnvironment m_env{m_dir / "cfg"};
  std::unique_ptr<GuestRequest> m_request;
};

std::map<std::string, kqblk_mountpoint> byDevice(const std::list<kqblk_mountpoint>& records) {
  std::map<std::string, kqblk_mountpoint> out;
  for (const kqblk_mountpoint& r : records) out[r.device] = r;
  return out;
}

}  // namespace

TEST_F(GuestThroughDriver, LinuxGuestBecomesItsOwnTree) {
  LinuxGuest guest(m_dir.path());
  const std::vector<std::string> devices = expose({guest.system.path(), guest.data.path()});
  const std::string &system = devices[0], &data = devices[1];

  const std::list<kqblk_mountpoint> records = discoverAndMount(m_mountRoot);
  const std::string lost = std::string("/kqlostandfound/") + LinuxGuest::kSrvUuid;
  struct Expected {
    std::string device, guestPath, error;
  };
  // The vfat partition fails all four attempts here (this kernel has no
  // vfat); the last one makes the device read-only first. Swap is no type
  // we mount.
  const std::vector<Expected> expected = {
      {system + "p1", "//boot", ""},        {system + "p2", "/", ""},
      {system + "p3", "//home", ""},        {system + "p4", "/MountDir-4", kMountFailure},
      {data + "p1", lost, ""},              {data + "p2", "/MountDir-6", kSwapRefused},
      {data + "p3", "/MountDir-7", kNoFileSystem}};
  const auto found = byDevice(records);
  ASSERT_EQ(found.size(), expected.size());
  std::string root;
  for (const Expected& e : expected) {
    const kqblk_mountpoint& r = found.at(e.device);
    EXPECT_EQ(r.guestPath, e.guestPath) << e.device;
    EXPECT_EQ(r.error.compare(0, e.error.size(), e.error), 0) << e.device << ": " << r.error;
    EXPECT_EQ(r.isBound, e.error.empty()) << e.device;
    EXPECT_EQ(readOnly(e.device), e.error == kMountFailure) << e.device;
    if (!e.error.empty()) {
      EXPECT_NE(::access(r.mountPath.c_str(), F_OK), 0) << r.mountPath;
    }
    if (r.isRoot) root = r.mountPath;
  }
  ASSERT_EQ(root, found.at(system + "p2").mountPath);
  // Guest file systems have no power on the proxy: every mount the request
  // made, bind mounts into the guest's tree included, is nosuid and nodev.
  const std::vector<std::string> mounts = mountOptionsBelow(m_mountRoot);
  EXPECT_EQ(mounts.size(), 7u);  // four file systems, three of them also bound into the root
  for (const std::string& m : mounts) {
    const std::string options = "," + m.substr(m.rfind(' ') + 1) + ",";
    EXPECT_TRUE(options.find(",nosuid,") != std::string::npos &&
                options.find(",nodev,") != std::string::npos) << m;
  }
  EXPECT_EQ(found.at(system + "p3").bindPath, root + "//home");
  // Every partition in the report, with what became of it.
  std::vector<std::string> report = layers();
  ASSERT_EQ(report.size(), 9u);
  EXPECT_EQ(report[4].rfind(std::string("disk0p4 vfat: failed, ") + kMountFailure, 0), 0u);
  report[4] = "disk0p4 vfat: failed";
  EXPECT_EQ(report, (std::vector<std::string>{
                        "disk0 dos: listed, 4 partitions", "disk0p1 ext4: mounted, at /boot",
                        "disk0p2 ext4: mounted, at /", "disk0p3 xfs: mounted, at /home",
                        "disk0p4 vfat: failed", "disk1 dos: listed, 3 partitions",
                        "disk1p1 ext4: mounted, at " + lost, "disk1p2 swap: skipped, swap",
                        "disk1p3 : skipped, no file system"}));
  EXPECT_EQ(records.back().error.empty(), false) << "failed records are sorted last";
  for (const std::string& file : {std::string("/etc/hostname"), std::string("/boot/initramfs-6.1.0-guest.img"),
                                  std::string("/home/admin/notes.txt"), lost + "/www/index.html"}) {
    EXPECT_EQ(::access((root + file).c_str(), R_OK), 0) << file;
  }

  // A second run on the same mount root finds every directory taken.
  for (const kqblk_mountpoint& r : discoverAndMount(m_mountRoot)) {
    // Swap and the blank partition never get as far as a directory.
    if (r.device == data + "p2" || r.device == data + "p3") continue;
    if (r.error.rfind(kMountFailure, 0) == 0) continue;  // its directory went
    EXPECT_EQ(r.error.compare(0, 6 + r.mountPath.size(), "mkdir " + r.mountPath), 0) << r.error;
  }
  // Without mounting, every device is still recorded and nothing is mounted.
  const std::string listOnly = m_dir / "list-only";
  ::mkdir(listOnly.c_str(), 0755);
  const std::list<kqblk_mountpoint> listed = discoverAndMount(listOnly, false);
  EXPECT_EQ(listed.size(), expected.size());
  for (const kqblk_mountpoint& r : listed) {
    EXPECT_EQ(r.error, "") << r.device;
    EXPECT_NE(::access(r.mountPath.c_str(), F_OK), 0) << r.mountPath;
  }
  for (const std::string& line : layers()) EXPECT_NE(line.find(": listed, "), std::string::npos) << line;
}

struct WindowsCase {
  const char* name;
  WindowsGuest::Table table;
  bool cTaken;  // the mount root already holds C: a link out of it
};
void PrintTo(const WindowsCase& c, std::ostream* os) { *os << c.name; }

// C: and D: from the guest's registry, and a volume the registry does not
// name on another disk, whose never-formatted partition takes no letter.
// Where C already stands, the system volume stays where it was mounted and
// nothing is made or mounted through what stands there.
class WindowsGuestThroughDriver : public GuestThroughDriver,
                                  public ::testing::WithParamInterface<WindowsCase> {};

TEST_P(WindowsGuestThroughDriver, TakesItsDriveLetters) {
  const WindowsCase& c = GetParam();
  PhonyGuest extra(m_dir.path(), {{{"extra.img", 24, "label: dos\n",
                                    {{"size=12M, type=7", {{"ntfs", "Extra", ""}}}, {"type=83"}}}}});
  WindowsGuest guest(m_dir / "windows.img", c.table);
  // The extra disk first: its failed record lies among those that get letters.
  const std::vector<std::string> devices = expose({extra.paths()[0], guest.image.path()});
  const std::string &second = devices[0], &system = devices[1];
  TempDir outside;
  if (c.cTaken) {
    ::mkdir(m_mountRoot.c_str(), 0700);
    ASSERT_EQ(::symlink(outside.path().c_str(), (m_mountRoot + "/C").c_str()), 0);
  }

  auto found = byDevice(discoverAndMount(m_mountRoot));
  EXPECT_EQ(found[second + "p2"].error, kNoFileSystem);
  found.erase(second + "p2");
  const std::map<std::string, std::string> letters = {
      {second + "p1", "Volume1"}, {system + "p1", "C"}, {system + "p2", "D"}};
  ASSERT_EQ(found.size(), letters.size());
  for (const auto& [device, letter] : letters) {
    const kqblk_mountpoint& r = found.at(device);
    EXPECT_EQ(r.error, "") << device;
    if (c.cTaken && letter == "C") {
      EXPECT_EQ(r.mountPath, r.initialMountPath) << device;
      continue;
    }
    EXPECT_EQ(r.mountPath, m_mountRoot + "/" + letter) << device;
    EXPECT_NE(::access(r.initialMountPath.c_str(), F_OK), 0) << "left behind: " << r.initialMountPath;
  }
  EXPECT_EQ(::access((found.at(system + "p1").mountPath + "/Windows/System32/config/SYSTEM").c_str(), R_OK), 0);
  EXPECT_EQ(fileText("/proc/self/mountinfo").find(outside.path()), std::string::npos);
  EXPECT_FALSE(exists(outside / "Windows"));
}

INSTANTIATE_TEST_SUITE_P(Guests, WindowsGuestThroughDriver,
                         ::testing::Values(WindowsCase{"Mbr", WindowsGuest::Table::Mbr, false},
                                           WindowsCase{"Gpt", WindowsGuest::Table::Gpt, false},
                                           WindowsCase{"LetterAlreadyTaken", WindowsGuest::Table::Mbr, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// What is on a partition that gets no mount, and why, in the report.
TEST_F(GuestThroughDriver, EveryLayerThatIsNotMountedSaysWhy) {
  PhonyGuest guest(m_dir.path(),
                   {{{"layers.img", 48, "label: dos\n",
                      {{"size=4M, type=42"},
                       {"size=4M, type=83", {{"minix", "", ""}}},
                       {"size=8M, type=83", {{"luks", "", ""}}},
                       {"size=16M, type=5"},
                       {"size=8M, type=83", {{"ext4", "", ""}}}}}}});
  expose(guest.paths());
  discoverAndMount(m_mountRoot);
  EXPECT_EQ(layers(), (std::vector<std::string>{
                          "disk0 dos: listed, 4 partitions",
                          "disk0p1 : skipped, Windows dynamic disk: not supported",
                          "disk0p2 minix: skipped, file-system type minix not allowed",
                          "disk0p3 crypto_LUKS: skipped, LUKS volume: no key given",
                          // The first record is the root when none has an fstab.
                          "disk0p5 ext4: mounted, on MOUNTROOT/MountDir-4, not in the guest's tree"}));
}

// Windows on two GPT disks, as its installer leaves them: EFI, MSR and
// recovery partitions beside C:, and E: on the second disk. Only the
// volumes the hive names get letters.
TEST_F(GuestThroughDriver, WindowsOnTwoGptDisksLettersOnlyTheVolumesItsHiveNames) {
  const std::string basicData = "type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
  PhonyGuest guest(m_dir.path(),
                   {{{"win-system.img", 64, "label: gpt\n",
                      {{"size=8M, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B", {{"vfat", "EFI", ""}}},
                       {"size=8M, type=E3C9E316-0B5C-4DB8-817D-F92DF00215AE"},
                       {"size=24M, " + basicData, {{"ntfs", "System", ""}, {}, "", "", 'C'}},
                       {"type=DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", {{"ntfs", "Recovery", ""}}}}},
                     {"win-data.img", 24, "label: gpt\n",
                      {{basicData, {{"ntfs", "Data", ""}, {{"shared/report.txt", "on E\n"}}, "", "", 'E'}}}}}});
  const std::vector<std::string> devices = expose(guest.paths());
  auto found = byDevice(discoverAndMount(m_mountRoot));
  // This kernel has no vfat; the MSR partition holds no file system.
  EXPECT_EQ(found[devices[0] + "p1"].error.rfind(kMountFailure, 0), 0u);
  EXPECT_EQ(found[devices[0] + "p2"].error, kNoFileSystem);
  EXPECT_EQ(found[devices[0] + "p3"].mountPath, m_mountRoot + "/C");
  EXPECT_EQ(found[devices[0] + "p4"].mountPath, m_mountRoot + "/Volume2");
  EXPECT_EQ(found[devices[1] + "p1"].mountPath, m_mountRoot + "/E");
  EXPECT_EQ(fileText(m_mountRoot + "/E/shared/report.txt"), "on E\n");
  EXPECT_TRUE(exists(m_mountRoot + "/C/Windows/System32/config/SYSTEM"));
  const std::vector<std::string> report = layers();
  for (const char* line : {"disk0 gpt: listed, 4 partitions", "disk0p2 : skipped, no file system",
                           "disk0p3 ntfs: mounted, as C", "disk0p4 ntfs: mounted, as Volume2",
                           "disk1 gpt: listed, 1 partition", "disk1p1 ntfs: mounted, as E"}) {
    EXPECT_NE(std::find(report.begin(), report.end(), line), report.end()) << line;
  }
}

// Guests laid out the way installers lay them out: fstab names from udev,
// and roots that are btrfs subvolumes. Each record reads "DEVICE SUBVOLUME
// GUESTPATH", DEVICE the partition ("p2") and a record not in the tree
// marked "unplaced".
struct InstallerCase {
  const char* name;
  PhonyGuestSpec (*spec)();
  std::vector<std::string> records;
  std::map<std::string, std::string> files;  // at their guest paths
  std::vector<std::string> absent;           // guest paths that must not be there
  std::vector<std::string> layers = {};      // the report, as GuestRequest::layers gives it
};
void PrintTo(const InstallerCase& c, std::ostream* os) { *os << c.name; }

class InstallerGuestThroughDriver : public GuestThroughDriver,
                                    public ::testing::WithParamInterface<InstallerCase> {};

TEST_P(InstallerGuestThroughDriver, BecomesItsOwnTree) {
  const InstallerCase& c = GetParam();
  PhonyGuest guest(m_dir.path(), c.spec());
  const std::string disk = expose(guest.paths())[0];
  std::vector<std::string> records;
  std::string root;
  for (const kqblk_mountpoint& r : discoverAndMount(m_mountRoot)) {
    EXPECT_EQ(r.error, "") << r.device;
    records.push_back(r.device.substr(disk.size()) + " " + (r.subvolume.empty() ? "-" : r.subvolume) +
                      " " + r.guestPath + (r.isBound ? "" : " unplaced"));
    if (r.isRoot) root = r.mountPath;
  }
  std::sort(records.begin(), records.end());
  EXPECT_EQ(records, c.records);
  EXPECT_EQ(layers(), c.layers);
  ASSERT_NE(root, "");
  for (const auto& [path, text] : c.files) EXPECT_EQ(fileText(root + path), text) << path;
  for (const std::string& path : c.absent) EXPECT_FALSE(exists(root + path)) << path;
  // The top levels looked through are gone again.
  for (const auto& entry : std::filesystem::directory_iterator(m_mountRoot)) {
    EXPECT_EQ(entry.path().extension(), "") << entry.path();
  }
  EXPECT_EQ(tearDown(), std::vector<std::string>());
  EXPECT_EQ(mountOptionsBelow(m_dir.path()), std::vector<std::string>());
}

namespace {

const char kLinuxType[] = "type=0FC63DAF-8483-4772-8E79-3D69D8477DE4";
const PhonyFiles kRootFiles = {{"etc/hostname", "installed\n"}, {"dev/", ""}};

// Ubuntu Server: every file system by a link of udev's.
PhonyGuestSpec ubuntuServer() {
  return {{{"ubuntu.img", 80, "label: gpt\n",
            {{"size=8M", {{"ext4", "boot", ""}, {{"vmlinuz", "kernel\n"}}, "/boot", "by-uuid"}},
             {"size=16M", {{"ext4", "root", ""}, kRootFiles, "/", "by-uuid"}},
             {"size=8M, name=\"srv data\"", {{"ext4", "", ""}, {{"www/index.html", "served\n"}}, "/srv", "by-partlabel"}},
             {"size=8M", {{"ext4", "Home Dir", ""}, {{"admin/notes.txt", "at home\n"}}, "/home", "by-label"}},
             {"size=8M", {{"ext4", "", ""}, {{"log/syslog", "logged\n"}}, "/var", "by-partuuid"}}}}}};
}

const PhonyVolume kBoot = {{"ext4", "boot", ""}, {{"vmlinuz", "kernel\n"}}, "/boot", "UUID"};
const PhonyFiles kHomeFiles = {{"admin/notes.txt", "at home\n"}};

// Fedora Workstation: root and home subvolumes of one btrfs, named by UUID.
PhonyGuestSpec fedora() {
  PhonyVolume btrfs{{"btrfs", "fedora", ""}};
  btrfs.fstabName = "UUID";
  btrfs.subvolumes = {{"root", "/", kRootFiles, "subvol=root,compress=zstd:1"},
                      {"home", "/home", kHomeFiles, "subvol=home,compress=zstd:1"}};
  return {{{"fedora.img", 160, "label: gpt\n", {{"size=16M", kBoot}, {kLinuxType, btrfs}}}}};
}

// Ubuntu on btrfs: @ and @home by udev's UUID link, and a snapshot of @
// in @snapshots that no fstab line mounts.
PhonyGuestSpec ubuntuBtrfs() {
  PhonyVolume btrfs{{"btrfs", "", ""}};
  btrfs.fstabName = "by-uuid";
  btrfs.subvolumes = {{"@", "/", kRootFiles, "defaults,subvol=@"},
                      {"@home", "/home", kHomeFiles, "defaults,subvol=@home"},
                      {"@snapshots"},
                      {"@snapshots/1", "", {}, "", "@"}};
  return {{{"ubuntu.img", 160, "label: gpt\n", {{"size=16M", kBoot}, {kLinuxType, btrfs}}}}};
}

// openSUSE: the default subvolume a snapper snapshot holding the root, the
// other subvolumes below @, and /.snapshots with an older snapshot.
PhonyGuestSpec openSuse() {
  PhonyVolume btrfs{{"btrfs", "", ""}};
  btrfs.fstabName = "UUID";
  btrfs.subvolumes = {{"@"},
                      {"@/.snapshots", "/.snapshots"},
                      {"@/.snapshots/1/snapshot", "/", kRootFiles, "", "", true},
                      {"@/.snapshots/2/snapshot", "", {}, "", "@/.snapshots/1/snapshot"},
                      {"@/home", "/home", kHomeFiles}};
  return {{{"suse.img", 140, "label: gpt\n", {{kLinuxType, btrfs}}}}};
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Guests, InstallerGuestThroughDriver,
    ::testing::Values(
        InstallerCase{"UbuntuServer",
                      ubuntuServer,
                      {"p1 - //boot", "p2 - /", "p3 - //srv", "p4 - //home", "p5 - //var"},
                      {{"/etc/hostname", "installed\n"},
                       {"/boot/vmlinuz", "kernel\n"},
                       {"/srv/www/index.html", "served\n"},
                       {"/home/admin/notes.txt", "at home\n"},
                       {"/var/log/syslog", "logged\n"}},
                      {"/kqlostandfound"},
                      {"disk0 gpt: listed, 5 partitions", "disk0p1 ext4: mounted, at /boot",
                       "disk0p2 ext4: mounted, at /", "disk0p3 ext4: mounted, at /srv",
                       "disk0p4 ext4: mounted, at /home", "disk0p5 ext4: mounted, at /var"}},
        InstallerCase{"Fedora",
                      fedora,
                      {"p1 - //boot", "p2 /home //home", "p2 /root /"},
                      {{"/etc/hostname", "installed\n"},
                       {"/boot/vmlinuz", "kernel\n"},
                       {"/home/admin/notes.txt", "at home\n"}},
                      {"/kqlostandfound", "/root/etc", "/home/etc"},
                      {"disk0 gpt: listed, 2 partitions", "disk0p1 ext4: mounted, at /boot",
                       "disk0p2 btrfs /root: mounted, at /", "disk0p2 btrfs /home: mounted, at /home"}},
        InstallerCase{"UbuntuBtrfs",
                      ubuntuBtrfs,
                      {"p1 - //boot", "p2 /@ /", "p2 /@home //home"},
                      {{"/etc/hostname", "installed\n"},
                       {"/boot/vmlinuz", "kernel\n"},
                       {"/home/admin/notes.txt", "at home\n"}},
                      {"/kqlostandfound"},
                      {"disk0 gpt: listed, 2 partitions", "disk0p1 ext4: mounted, at /boot",
                       "disk0p2 btrfs /@: mounted, at /", "disk0p2 btrfs /@home: mounted, at /home"}},
        InstallerCase{"OpenSuse",
                      openSuse,
                      {"p1 /@ /MountDir-1 unplaced", "p1 /@/.snapshots //.snapshots",
                       "p1 /@/.snapshots/1/snapshot /", "p1 /@/home //home"},
                      {{"/etc/hostname", "installed\n"},
                       {"/.snapshots/2/snapshot/etc/hostname", "installed\n"},
                       {"/home/admin/notes.txt", "at home\n"}},
                      {"/kqlostandfound"},
                      {"disk0 gpt: listed, 1 partition",
                       "disk0p1 btrfs /@: mounted, on MOUNTROOT/MountDir-SUSE, not in the guest's tree: "
                       "no fstab line names it",
                       "disk0p1 btrfs /@/.snapshots/1/snapshot: mounted, at /",
                       "disk0p1 btrfs /@/.snapshots: mounted, at /.snapshots",
                       "disk0p1 btrfs /@/home: mounted, at /home"}}),
    [](const auto& info) { return std::string(info.param.name); });
