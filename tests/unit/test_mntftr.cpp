// The per-device mount over tool doubles of fsck, tune2fs, blockdev, mount,
// findmnt and guestmount. Types come from real image files: mkfs output, a
// ZFS label's uberblocks, qcow2 images (one with a backing file) that also
// carry an ext4 superblock. Every image and mount root path is full of shell
// syntax: each must reach a tool as one argument, and no command in it may
// run (each would leave its marker in the working directory).

#include <climits>
#include <list>
#include <map>
#include <tuple>

#include "doubles/tool_doubles.h"
#include "kq_log.h"
#include "kqblk_mntftr.h"
#include "support/disk_image.h"
#include "support/run_tool.h"
#include "support/test_util.h"

namespace {

const std::string kHostile = " 'q' \"d\" $(touch m1) `touch m2`;touch m3 ";

// `text` with the image directory written $D and the mount root $R.
std::string shorten(std::string text, const std::string& devices, const std::string& root) {
  for (const auto& [from, to] : {std::pair{devices, "$D"}, std::pair{root, "$R"}}) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
      text.replace(at, from.size(), to);
    }
  }
  return text;
}

}  // namespace

TEST(MntFtr, MountsEachDeviceAsItsTypeAndTheToolsAllow) {
  TempDir tmp;
  const std::string dev = tmp / ("images" + kHostile + "/dev");
  runTool("mkdir -p " + shellQuote(dev + "/kqblk") + " " + shellQuote(dev + "/kq-r7-vg0"));
  std::list<DiskImage> images;
  const std::tuple<const char*, int, const char*> kImages[] = {
      {"ext4", 16, "ext4"},    {"xfs", 320, "xfs"}, {"btrfs", 120, "btrfs"},
      {"btrfs2", 120, "btrfs"}, {"blank", 1, ""},    {"zfs", 64, ""},
      {"ntfs", 16, "ntfs"},      {"minix", 4, ""}};
  for (auto [name, mib, type] : kImages) {
    images.emplace_back(dev + "/kqblk/" + name, mib);
    if (*type) makeFileSystem(images.back().path(), {type, "", ""});
  }
  std::fstream zfs(dev + "/kqblk/zfs", std::ios::in | std::ios::out | std::ios::binary);
  for (int kib : {128, 132, 136, 140}) zfs.seekp(kib * 1024).write("\x0c\xb1\xba\0\0\0\0", 8);
  zfs.close();
  runTool("mkfs.minix " + shellQuote(dev + "/kqblk/minix") + " >/dev/null");
  const std::string qcow = shellQuote(dev + "/kqblk/qcow");
  const std::string overlay = shellQuote(dev + "/kqblk/overlay");  // names a file of the proxy
  runTool("qemu-img create -q -f qcow2 " + qcow + " 64M && qemu-img create -q -f qcow2 -F raw -b " +
          shellQuote(dev + "/kqblk/ext4") + " " + overlay + " 64M");
  for (const std::string& image : {qcow, overlay}) {
    runTool("dd bs=1024 skip=1 seek=1 count=1 conv=notrunc status=none if=" +
            shellQuote(dev + "/kqblk/ext4") + " of=" + image);
  }
  const std::string lv = "kq-r7-vg0/lv" + kHostile;
  ASSERT_EQ(link((dev + "/kqblk/ext4").c_str(), (dev + "/" + lv).c_str()), 0);
  ASSERT_EQ(symlink("kqblk/ext4", (dev + "/sdb1").c_str()), 0);

  const std::string e4 = "|$D/kqblk/ext4", mount = "mount|-t|ext4|-o|nosuid,nodev,noexec|--";
  const std::string mountBtrfs = "mount|-t|btrfs|-o|nosuid,nodev,noexec";
  const std::string tune = "tune2fs|-o|acl,user_xattr|--", ok = "||";
  const std::string failed =
      "||Failed to mount devices. 1: The file system type or version in guest virtual machine "
      "may not be supported by Lumirest. Please deploy a Lumirest with operating system Redhat "
      "8.x or other new operating system which has new file system driver. 2: Lumirest may not "
      "be able to get data from Ferrynode or hypervisor snap backup.";
  struct Rule { const char *tool, *out; int rc, times; const char* err = ""; };
  const char* vfat =
      "mount: /x/MountDir-1: unknown filesystem type 'vfat'.\n"
      "       dmesg(1) may have more information after failed mount system call.\n";
  const struct {
    std::vector<std::string> devices;  // below $D
    bool skipFsck, setReadOnly, doMount;
    std::vector<Rule> rules;
    const char* leftover;              // a directory made beforehand below the root
    std::vector<std::string> records;  // "mountPath|guestPath|volumeGroup|error"
    std::vector<std::string> calls;    // "tool|arg|arg..."
    size_t retries;                    // "Retrying mount command" lines
  } cases[] = {
      {{"kqblk/missing", "kqblk/blank", "kqblk/ext4"}, false, false, true, {}, nullptr,
       {"$R/MountDir-1|/MountDir-1||Can not get file system type for device $D/kqblk/missing. "
        "Please make sure Ferrynode is ready.",
        "$R/MountDir-2|/MountDir-2||No valid file system is found in guest virtual machine.",
        "$R/MountDir-3|/MountDir-3" + ok},
       {"fsck|-y|$D/kqblk/missing", "fsck|-y|$D/kqblk/blank", "fsck|-y" + e4, tune + e4,
        mount + e4 + "|$R/MountDir-3"}, 0},
      {{"kqblk/zfs"}, true, false, true, {}, nullptr,
       {"$R/MountDir-1|/MountDir-1||The file system type zfs_member\n in guest virtual machine "
        "is not supported."}, {}, 0},
      {{"kqblk/xfs"}, true, false, true, {}, nullptr, {"$R/MountDir-1|/MountDir-1" + ok},
       {"mount|-t|xfs|-o|nouuid,nosuid,nodev,noexec|--|$D/kqblk/xfs|$R/MountDir-1"}, 0},
      // NTFS goes to ntfs-3g; a type off the list is never mounted.
      {{"kqblk/ntfs", "kqblk/minix"}, true, false, true, {}, nullptr,
       {"$R/MountDir-1|/MountDir-1" + ok,
        "$R/MountDir-2|/MountDir-2||The file system type minix in guest virtual machine is not "
        "supported."},
       {"mount|-t|ntfs-3g|-o|nosuid,nodev,noexec|--|$D/kqblk/ntfs|$R/MountDir-1"}, 0},
      {{"kqblk/ext4"}, true, false, true, {{"mount", "", 32, -1, vfat}}, nullptr,
       {"$R/MountDir-1|/MountDir-1" + failed + "|cause:unknown filesystem type 'vfat'"},
       {tune + e4, mount + e4 + "|$R/MountDir-1", mount + e4 + "|$R/MountDir-1",
        mount + e4 + "|$R/MountDir-1", "blockdev|--setro" + e4, mount + e4 + "|$R/MountDir-1"},
       3},
      {{lv}, false, true, true, {{"mount", "", 32, 1, vfat}}, nullptr,
       {"$R/vg0-lv" + kHostile + "|/vg0-lv" + kHostile + "|vg0|"},
       {"fsck|-y|$D/" + lv, tune + "|$D/" + lv, "blockdev|--setro|$D/" + lv,
        mount + "|$D/" + lv + "|$R/vg0-lv" + kHostile, "blockdev|--setro|$D/" + lv,
        mount + "|$D/" + lv + "|$R/vg0-lv" + kHostile}, 1},
      {{"kqblk/ext4"}, true, false, true, {}, "MountDir-1",
       {"$R/MountDir-1|/MountDir-1||mkdir $R/MountDir-1 failed. rc -1, errno 17"}, {tune + e4},
       0},
      {{"kqblk/ext4", "sdb1", lv}, false, true, false, {}, nullptr,
       {"$R/MountDir-1|/MountDir-1" + ok, "$R/sdb1|/sdb1" + ok,
        "$R/vg0-lv" + kHostile + "|/vg0-lv" + kHostile + "|vg0|"}, {}, 0},
      {{"kqblk/btrfs", "kqblk/btrfs2"}, true, false, true,
       {{"findmnt", "/r /dev/sda2[/@/.snapshots/1/snapshot] btrfs rw\n", 0, -1}}, nullptr,
       {"$R/MountDir-SUSE|/MountDir-1" + ok, "$R/MountDir-1|/MountDir-1" + ok,
        "$R/MountDir-2|/MountDir-2" + ok},
       {mountBtrfs + "|--|$D/kqblk/btrfs|$R/MountDir-1", "findmnt|-T|$R/MountDir-1|-n",
        mountBtrfs + ",subvol=/@|--|$D/kqblk/btrfs|$R/MountDir-SUSE",
        mountBtrfs + "|--|$D/kqblk/btrfs2|$R/MountDir-2", "findmnt|-T|$R/MountDir-2|-n"}, 0},
      {{"kqblk/qcow"}, true, false, true, {}, nullptr, {"$R/MountDir-1|/MountDir-1" + ok},
       {tune + "|$D/kqblk/qcow",
        "guestmount|-o|nosuid,nodev,noexec|--format=qcow2|-a|$D/kqblk/qcow|-i|--|$R/MountDir-1"},
       0},
      {{"kqblk/overlay"}, true, false, true, {}, nullptr,
       {"$R/MountDir-1|/MountDir-1||The disk image in device $D/kqblk/overlay is not opened: it "
        "names a backing file, and images inside the guest are opened only on their own."},
       {tune + "|$D/kqblk/overlay"}, 0},
  };
  char cwd[PATH_MAX];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  int index = 0;
  for (const auto& c : cases) {
    const std::string root = tmp / ("root" + std::to_string(++index) + kHostile);
    SCOPED_TRACE(index);
    mkdir(root.c_str(), 0755);
    if (c.leftover) mkdir((root + "/" + c.leftover).c_str(), 0700);
    ToolDoubles tools(ToolDoubles::kMountTools);
    for (const Rule& r : c.rules) tools.on(r.tool, "*", r.out, r.err, r.rc, r.times);
    std::list<kqblk_mountpoint> records;
    std::map<std::string, std::string> groups = {{dev + "/" + lv, "vg0"}};
    KqLogCapture log;
    MntFtr mntftr(records, root, "kq-r7-", groups, c.skipFsck, c.setReadOnly, c.doMount);
    for (const std::string& device : c.devices) mntftr(dev + "/" + device);

    std::vector<std::string> got, calls;
    for (const kqblk_mountpoint& r : records) {
      EXPECT_EQ(r.initialMountPath, root + r.guestPath);
      got.push_back(shorten(r.mountPath + "|" + r.guestPath + "|" + r.volumeGroup + "|" + r.error +
                                (r.cause.empty() ? "" : "|cause:" + r.cause),
                            dev, root));
    }
    for (const ToolCall& call : tools.calls()) {
      calls.push_back(call.tool);
      for (const std::string& arg : call.args) calls.back() += "|" + shorten(arg, dev, root);
    }
    EXPECT_EQ(got, c.records);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(log.find("Retrying mount command").size(), c.retries);
    for (const std::string& record : got) {  // directories kept exactly for the mounted
      const std::string dir = root + record.substr(2, record.find('|') - 2);
      EXPECT_EQ(access(dir.c_str(), F_OK) == 0, c.leftover || (c.doMount && record.back() == '|'))
          << record;
    }
  }
  ASSERT_EQ(chdir(cwd), 0);
  for (const char* marker : {"m1", "m2", "m3"}) {
    EXPECT_NE(access((tmp / marker).c_str(), F_OK), 0) << marker;
  }
}

// Mounted a few at a time, the devices still come back as if mounted in
// turn: in list order, each named by its place, whichever mount ends first,
// a failed one in its place with its cause.
TEST(MntFtr, MountingSeveralAtOnceGivesTheRecordsOfMountingInTurn) {
  TempDir tmp;
  const std::string dev = tmp / "dev/kqblk";
  runTool("mkdir -p " + shellQuote(dev));
  std::list<DiskImage> images;
  std::list<std::string> devices;
  for (int i = 1; i <= 6; ++i) {
    images.emplace_back(dev + "/e" + std::to_string(i), 4);
    makeFileSystem(images.back().path(), {"ext4", "", ""});
    devices.push_back(images.back().path());
  }
  ToolDoubles tools(ToolDoubles::kMountTools);
  tools.on("mount", "* */e1 *", "", "", 0, -1, 1);  // the first ends last
  tools.on("mount", "* */e4 *", "", "mount: /x: bad superblock\n", 32);
  std::list<kqblk_mountpoint> records;
  std::map<std::string, std::string> groups;
  kqblk_mountAll(devices, records, tmp.path(), "kq-r7-", groups, true, false, true);
  std::vector<std::string> got;
  for (const kqblk_mountpoint& r : records) {
    got.push_back(r.device.substr(dev.size()) + " " + r.mountPath.substr(tmp.path().size()) + " " + r.cause);
  }
  const std::vector<std::string> expected = {"/e1 /MountDir-1 ", "/e2 /MountDir-2 ", "/e3 /MountDir-3 ",
                                             "/e4 /MountDir-4 bad superblock", "/e5 /MountDir-5 ",
                                             "/e6 /MountDir-6 "};
  EXPECT_EQ(got, expected);
}
