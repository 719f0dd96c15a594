// The per-device mount over tool doubles first on PATH (fsck, tune2fs,
// blockdev, mount, findmnt, guestmount). File-system types come from real
// image files: mkfs output, a ZFS label's uberblocks, and a qcow2 image that
// also carries an ext4 superblock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <fstream>
#include <list>
#include <map>
#include <memory>

#include "doubles/tool_doubles.h"
#include "kq_log.h"
#include "kqblk_mntftr.h"
#include "support/disk_image.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

namespace {

const std::string kMountFailure =
    "Failed to mount devices. 1: The file system type or version in guest virtual machine may "
    "not be supported by Lumirest. Please deploy a Lumirest with operating system Redhat 8.x or "
    "other new operating system which has new file system driver. 2: Lumirest may not be able to "
    "get data from Ferrynode or hypervisor snap backup.";
const std::string kSnapshotMount = "$R/MountDir-1 /dev/sda2[/@/.snapshots/1/snapshot] btrfs rw\n";

// Four uberblock magics in the first ZFS label: libblkid's zfs_member.
void makeZfsMember(const std::string& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  const unsigned char magic[8] = {0x0c, 0xb1, 0xba, 0, 0, 0, 0, 0};
  for (int kib : {128, 132, 136, 140}) {
    file.seekp(kib * 1024);
    file.write(reinterpret_cast<const char*>(magic), sizeof magic);
  }
}

// A qcow2 image whose unused header cluster holds an ext4 superblock, so
// that it has a file-system type and qemu-img still calls it qcow2.
void makeQcowWithExt4(const std::string& path, const std::string& ext4Image) {
  runTool("qemu-img create -q -f qcow2 " + shellQuote(path) + " 64M");
  runTool("dd if=" + shellQuote(ext4Image) + " of=" + shellQuote(path) +
          " bs=1024 skip=1 seek=1 count=1 conv=notrunc status=none");
}

// Images under DIR/dev/kqblk, so their mount directories are MountDir-N.
class MntFtrTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir;
    runTool("mkdir -p " + shellQuote(*dir / "dev/kqblk"));
    images = new std::list<DiskImage>;
    auto image = [](const std::string& name, uint64_t mib, const char* type) {
      images->emplace_back(*dir / ("dev/kqblk/" + name), mib);
      if (type) makeFileSystem(images->back().path(), {type, "", ""});
    };
    image("ext4", 16, "ext4");
    image("xfs", 320, "xfs");
    image("btrfs", 120, "btrfs");
    image("btrfs2", 120, "btrfs");
    image("blank", 1, nullptr);
    image("zfs", 64, nullptr);
    makeZfsMember(*dir / "dev/kqblk/zfs");
    makeQcowWithExt4(*dir / "dev/kqblk/qcow", *dir / "dev/kqblk/ext4");
    ASSERT_EQ(symlink("kqblk/ext4", (*dir / "dev/sdb1").c_str()), 0);
  }
  static void TearDownTestSuite() {
    delete images;
    delete dir;
  }
  static TempDir* dir;
  static std::list<DiskImage>* images;
};
TempDir* MntFtrTest::dir = nullptr;
std::list<DiskImage>* MntFtrTest::images = nullptr;

struct Rule {
  const char* tool;
  const char* args;
  std::string out;
  int rc;
  int times;
};

// `text` with the device directory written $D and the mount root $R.
std::string shorten(std::string text, const std::string& devices, const std::string& root) {
  for (const auto& [from, to] : {std::pair{devices, "$D"}, std::pair{root, "$R"}}) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

// The names in `directory`, sorted.
std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  KQFindData entry;
  const KQFindHandle handle = KQFindFirstFile(directory, &entry);
  if (handle) {
    do {
      names.push_back(entry.name);
    } while (KQFindNextFile(handle, &entry));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST_F(MntFtrTest, MountsEachDeviceAsItsTypeAndTheToolsAllow) {
  const std::string e4 = "$D/kqblk/ext4", opts = "mount -o nosuid,nodev,noexec -- ";
  const std::string unsupported =
      "The file system type zfs_member\n in guest virtual machine is not supported.";
  const struct {
    const char* name;
    std::vector<std::string> devices;  // below DIR/dev
    bool skipFsck, setReadOnly, doMount;
    std::vector<Rule> rules;
    const char* leftover;  // a directory made beforehand below the root
    // Each record as "mountPath|initialMountPath|guestPath|volumeGroup|error".
    std::vector<std::string> records;
    std::vector<std::string> calls;  // "tool args..."
    int retries;                     // "Retrying mount command" lines
    std::vector<std::string> dirs;   // what the root holds afterwards
  } cases[] = {
      {"third device, fsck on each",
       {"kqblk/missing", "kqblk/blank", "kqblk/ext4"}, false, false, true, {}, nullptr,
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||Can not get file system type for device "
        "$D/kqblk/missing. Please make sure Ferrynode is ready.",
        "$R/MountDir-2|$R/MountDir-2|/MountDir-2||No valid file system is found in guest "
        "virtual machine.",
        "$R/MountDir-3|$R/MountDir-3|/MountDir-3||"},
       {"fsck -y $D/kqblk/missing", "fsck -y $D/kqblk/blank", "fsck -y " + e4,
        "tune2fs -o acl,user_xattr -- " + e4, opts + e4 + " $R/MountDir-3"},
       0, {"MountDir-3"}},
      {"zfs member", {"kqblk/zfs"}, true, false, true, {}, nullptr,
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||" + unsupported}, {}, 0, {}},
      {"xfs", {"kqblk/xfs"}, true, false, true, {}, nullptr,
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||"},
       {"mount -o nouuid,nosuid,nodev,noexec -- $D/kqblk/xfs $R/MountDir-1"}, 0, {"MountDir-1"}},
      {"four failed mounts", {"kqblk/ext4"}, true, false, true,
       {{"mount", "*", "", 32, -1}}, nullptr,
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||" + kMountFailure},
       {"tune2fs -o acl,user_xattr -- " + e4, opts + e4 + " $R/MountDir-1",
        opts + e4 + " $R/MountDir-1", opts + e4 + " $R/MountDir-1", "blockdev --setro " + e4,
        opts + e4 + " $R/MountDir-1"},
       3, {}},
      {"read-only before each attempt", {"kqblk/ext4"}, true, true, true,
       {{"mount", "*", "", 32, 1}}, nullptr, {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||"},
       {"tune2fs -o acl,user_xattr -- " + e4, "blockdev --setro " + e4,
        opts + e4 + " $R/MountDir-1", "blockdev --setro " + e4, opts + e4 + " $R/MountDir-1"},
       1, {"MountDir-1"}},
      {"leftover directory", {"kqblk/ext4"}, true, false, true, {}, "MountDir-1",
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||mkdir $R/MountDir-1 failed. rc -1, errno 17"},
       {"tune2fs -o acl,user_xattr -- " + e4}, 0, {"MountDir-1"}},
      {"not mounting", {"kqblk/ext4", "sdb1"}, false, true, false, {}, nullptr,
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||", "$R/sdb1|$R/sdb1|/sdb1|vg0|"}, {}, 0, {}},
      {"btrfs snapshot layout, twice", {"kqblk/btrfs", "kqblk/btrfs2"}, true, false, true,
       {{"findmnt", "*", kSnapshotMount, 0, -1}}, nullptr,
       {"$R/MountDir-SUSE|$R/MountDir-1|/MountDir-1||", "$R/MountDir-1|$R/MountDir-1|/MountDir-1||",
        "$R/MountDir-2|$R/MountDir-2|/MountDir-2||"},
       {opts + "$D/kqblk/btrfs $R/MountDir-1", "findmnt -T $R/MountDir-1 -n",
        "mount -o nosuid,nodev,noexec,subvol=/@ -- $D/kqblk/btrfs $R/MountDir-SUSE",
        opts + "$D/kqblk/btrfs2 $R/MountDir-2", "findmnt -T $R/MountDir-2 -n"},
       0, {"MountDir-1", "MountDir-2", "MountDir-SUSE"}},
      {"btrfs, findmnt fails", {"kqblk/btrfs"}, true, false, true,
       {{"findmnt", "*", "", 1, -1}}, nullptr,
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||Failed to run findmnt -T '$R/MountDir-1' "
        "-n:err:\nout:"},
       {opts + "$D/kqblk/btrfs $R/MountDir-1", "findmnt -T $R/MountDir-1 -n"}, 0, {"MountDir-1"}},
      {"qcow image", {"kqblk/qcow"}, true, false, true, {}, nullptr,
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||"},
       {"tune2fs -o acl,user_xattr -- $D/kqblk/qcow", "guestmount -a $D/kqblk/qcow -i -- "
        "$R/MountDir-1"},
       0, {"MountDir-1"}},
      {"qcow image, guestmount fails", {"kqblk/qcow"}, true, false, true,
       {{"guestmount", "*", "", 1, -1}}, nullptr,
       {"$R/MountDir-1|$R/MountDir-1|/MountDir-1||Failed to run LIBGUESTFS_BACKEND=direct "
        "guestmount -a '$D/kqblk/qcow' -i -- '$R/MountDir-1':err:\nout:"},
       {"tune2fs -o acl,user_xattr -- $D/kqblk/qcow", "guestmount -a $D/kqblk/qcow -i -- "
        "$R/MountDir-1"},
       0, {}},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = *dir / ("root" + std::to_string(index++));
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    if (c.leftover) {
      ASSERT_EQ(mkdir((root + "/" + c.leftover).c_str(), 0700), 0);
    }
    const std::string devices = *dir / "dev";
    ToolDoubles tools(ToolDoubles::kMountTools);
    for (const Rule& r : c.rules) {
      std::string out = r.out;
      if (out.rfind("$R", 0) == 0) out.replace(0, 2, root);
      tools.on(r.tool, r.args, out, "", r.rc, r.times);
    }
    std::list<kqblk_mountpoint> records;
    std::map<std::string, std::string> groups = {{devices + "/sdb1", "vg0"}};
    KqLogCapture log;
    MntFtr mount(records, root, "kq-r7-", groups, c.skipFsck, c.setReadOnly, c.doMount);
    for (const std::string& device : c.devices) mount(devices + "/" + device);

    std::vector<std::string> got;
    for (const kqblk_mountpoint& r : records) {
      EXPECT_EQ(r.device.rfind(devices, 0), 0u);
      EXPECT_TRUE(r.bindPath.empty() && !r.isRoot && !r.isBound);
      got.push_back(shorten(r.mountPath + "|" + r.initialMountPath + "|" + r.guestPath + "|" +
                                r.volumeGroup + "|" + r.error,
                            devices, root));
    }
    EXPECT_EQ(got, c.records);
    std::vector<std::string> calls;
    for (const std::string& line : tools.trace()) {
      calls.push_back(shorten(line, devices, root));
      calls.back().erase(calls.back().find(' '), 1);  // no LVM variant
    }
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(log.find("Retrying mount command").size(), static_cast<size_t>(c.retries));
    EXPECT_EQ(entries(root), c.dirs);
  }
}

// Guest-named devices (hard links to the images) and a mount root full of
// shell syntax: each path reaches each tool as one argument, and no command
// in them runs (each would leave its marker in the working directory).
TEST_F(MntFtrTest, HostilePathsReachEachToolAsOneArgument) {
  const std::string hostile = " 'q' \"d\" $(touch m1) `touch m2`;touch m3 ";
  const std::string group = *dir / "dev/kq-r7-vg0";
  ASSERT_EQ(mkdir(group.c_str(), 0755), 0);
  std::vector<std::string> devices;
  for (const char* image : {"ext4", "btrfs", "qcow"}) {
    devices.push_back(group + "/lv-" + image + hostile);
    ASSERT_EQ(link((*dir / "dev/kqblk/" + image).c_str(), devices.back().c_str()), 0);
  }
  const std::string root = *dir / ("root $(touch m4)'" + hostile);
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  ToolDoubles tools(ToolDoubles::kMountTools);
  tools.on("findmnt", "*", "/r /dev/sda2[/@/.snapshots/1/snapshot] btrfs rw\n");
  std::list<kqblk_mountpoint> records;
  std::map<std::string, std::string> groups;
  char cwd[PATH_MAX];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir(dir->path().c_str()), 0);
  MntFtr mount(records, root, "kq-r7-", groups, false, true, true);
  for (const std::string& device : devices) mount(device);
  ASSERT_EQ(chdir(cwd), 0);

  const std::string e4 = devices[0], bt = devices[1], qc = devices[2];
  const std::string e4Dir = root + "/vg0-lv-ext4" + hostile, btDir = root + "/vg0-lv-btrfs" +
                                                                  hostile;
  const std::string suse = root + "/MountDir-SUSE", qcDir = root + "/vg0-lv-qcow" + hostile;
  const std::vector<std::vector<std::string>> expected = {
      {"fsck", "-y", e4},
      {"tune2fs", "-o", "acl,user_xattr", "--", e4},
      {"blockdev", "--setro", e4},
      {"mount", "-o", "nosuid,nodev,noexec", "--", e4, e4Dir},
      {"fsck", "-y", bt},
      {"blockdev", "--setro", bt},
      {"mount", "-o", "nosuid,nodev,noexec", "--", bt, btDir},
      {"findmnt", "-T", btDir, "-n"},
      {"mount", "-o", "nosuid,nodev,noexec,subvol=/@", "--", bt, suse},
      {"fsck", "-y", qc},
      {"tune2fs", "-o", "acl,user_xattr", "--", qc},
      {"guestmount", "-a", qc, "-i", "--", qcDir},
  };
  std::vector<std::vector<std::string>> calls;
  for (const ToolCall& call : tools.calls()) {
    calls.push_back(call.args);
    calls.back().insert(calls.back().begin(), call.tool);
  }
  EXPECT_EQ(calls, expected);
  std::vector<std::string> paths;
  for (const kqblk_mountpoint& r : records) paths.push_back(r.mountPath + "|" + r.error);
  EXPECT_EQ(paths, (std::vector<std::string>{e4Dir + "|", suse + "|", btDir + "|", qcDir + "|"}));
  for (const char* marker : {"m1", "m2", "m3", "m4"}) {
    EXPECT_NE(access((*dir / marker).c_str(), F_OK), 0) << marker;
  }
}
