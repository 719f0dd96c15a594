// Mount directory names, and mount options and image formats of image files
// made by mkfs and qemu-img.

#include <climits>

#include "kqblk_mount_utils.h"
#include "support/disk_image.h"
#include "support/run_tool.h"
#include "support/test_util.h"

TEST(MountDir, NamesOneDirectoryPerDevice) {
  const struct { const char* device; int number; const char* name; } cases[] = {
      {"/dev/kqblk/disk-0p1", 1, "MountDir-1"},
      {"/dev/kqblk/disk-0", 12, "MountDir-12"},
      {"/dev/kq-r7-vg0/root", 5, "vg0-root"},
      {"/dev/kq-r7-vg0", 5, "kq-r7-vg0"},
      {"/dev/kq-r7-vg0/kqblk", 5, "vg0-kqblk"},  // the group prefix decides first
      {"/dev/mapper/a-b", 2, "mapper-a-b"},
      {"/dev/sdb1", 2, "sdb1"},
      {"/dev/kq-r7-vg/../../etc", 4, "vg-..-..-etc"},  // always one path component
  };
  for (const auto& c : cases) EXPECT_EQ(kqblk_mountDir(c.device, "kq-r7-", c.number), c.name);
}

TEST(MountOptions, FollowTheFileSystemOnTheDevice) {
  TempDir dir;
  DiskImage ext4(dir / "ext4", 16), xfs(dir / "xfs", 320), blank(dir / "blank", 1);
  makeFileSystem(ext4.path(), {"ext4", "", ""});
  makeFileSystem(xfs.path(), {"xfs", "", ""});
  const std::string base = "-o nosuid,nodev,noexec ";
  const struct { std::string device, options, type; } cases[] = {
      {ext4.path(), base, "ext4"},
      {xfs.path(), "-o nouuid,nosuid,nodev,noexec ", "xfs"},
      {blank.path(), base, "kept"},
      {dir / "missing", base, "kept"},
  };
  for (const auto& c : cases) {
    std::string options, type = "kept";
    kqblk_mountOptsForDevice(c.device, options, type);
    EXPECT_EQ(options + "|" + type, c.options + "|" + c.type) << c.device;
  }
}

TEST(ImageFormat, IsTheHeadersAndImagesNamingOtherFilesAreRefused) {
  TempDir dir;
  DiskImage raw(dir / "raw", 4), misleading(dir / "raw file format: qcow2", 1);
  runTool("qemu-img create -q -f qcow2 " + shellQuote(dir / "disk.qcow2") + " 64M");
  runTool("qemu-img create -q -f qcow2 -F raw -b " + shellQuote(raw.path()) + " " +
          shellQuote(dir / "overlay.qcow2"));
  runTool("qemu-img convert -O vmdk -o subformat=monolithicFlat " + shellQuote(raw.path()) + " " +
          shellQuote(dir / "flat.vmdk"));
  const std::string refused = "is not opened: ";
  const struct { std::string device, format, refused; } cases[] = {
      {raw.path(), "raw\n", ""},
      {misleading.path(), "raw\n", ""},
      {dir / "disk.qcow2", "qcow2\n", ""},
      {dir / "overlay.qcow2", "kept", refused + "it names a backing file"},
      {dir / "flat.vmdk", "kept", refused + "a VMDK image names its extents"},
      {dir / "missing", "kept", ""},
  };
  for (const auto& c : cases) {
    std::string format = "kept", why;
    EXPECT_EQ(kqblk_readImageFormat(c.device, format, why), c.refused.empty()) << c.device;
    EXPECT_EQ(format, c.format) << c.device;
    EXPECT_EQ(why.find(c.refused) != std::string::npos, !why.empty() || c.refused.empty()) << why;
  }
}

// Each command in the name would run if the name stood unquoted in a shell
// command line, leaving its marker in the working directory.
TEST(MountUtilities, DevicePathsReachNoShell) {
  TempDir dir;
  DiskImage image(dir / "a$(touch m1)b`touch m2`c;touch m3;\"$(touch m4)\"'d'", 16);
  makeFileSystem(image.path(), {"ext4", "", ""});
  char cwd[PATH_MAX];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::string format, options, type, refused;
  kqblk_readImageFormat(image.path(), format, refused);
  kqblk_mountOptsForDevice(image.path(), options, type);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(format + type, "raw\next4");
  for (const char* marker : {"m1", "m2", "m3", "m4"}) {
    EXPECT_NE(access((dir / marker).c_str(), F_OK), 0) << marker;
  }
}
