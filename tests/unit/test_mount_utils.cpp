// Mount directory names, mount options and image formats, the latter two on
// real image files made by mkfs and qemu-img.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "kq_fs.h"
#include "kqblk_mount_utils.h"
#include "support/disk_image.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

namespace {

const std::string kBase = "-o nosuid,nodev,noexec ";
const std::string kXfs = "-o nouuid,nosuid,nodev,noexec ";

// Runs the test inside `dir`, so that a command a file name smuggled into a
// shell would leave its marker there.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : m_old(open(".", O_RDONLY | O_CLOEXEC)) {
    if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "cannot enter " << dir;
  }
  ~InDirectory() {
    if (fchdir(m_old) != 0) ADD_FAILURE() << "cannot go back";
    close(m_old);
  }

 private:
  int m_old;
};

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  KQFindData data;
  const KQFindHandle listing = KQFindFirstFile(dir, &data);
  if (!listing) return names;
  do {
    names.push_back(data.name);
  } while (KQFindNextFile(listing, &data));
  return names;
}

}  // namespace

TEST(MountDir, NamesOneDirectoryPerDevice) {
  const std::string prefix = "kq-req7-";
  const struct {
    const char* device;
    int number;
    const char* name;
  } cases[] = {
      {"/dev/kqblk/disk-0p1", 1, "MountDir-1"},
      {"/dev/kqblk/disk-0p1", 12, "MountDir-12"},
      {"/dev/kqblk/disk-0", 3, "MountDir-3"},
      {"/dev/kq-req7-vg0/root", 5, "vg0-root"},
      {"/dev/kq-req7-vg0", 5, "kq-req7-vg0"},
      {"/dev/kq-req7-vg0/kqblk", 5, "vg0-kqblk"},  // the group's prefix decides first
      {"/dev/mapper/a-b", 2, "mapper-a-b"},
      {"/dev/sdb1", 2, "sdb1"},
      // Whatever the names hold, the result is one path component.
      {"/dev/kq-req7-vg/../../etc", 4, "vg-..-..-etc"},
      {"/dev/kq-req7-vg/a/b$(id)", 4, "vg-a-b$(id)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kqblk_mountDir(c.device, prefix, c.number), c.name) << c.device;
  }
}

TEST(MountOptions, FollowTheFileSystemOnTheDevice) {
  TempDir dir;
  DiskImage ext4(dir / "ext4", 16);
  makeFileSystem(ext4.path(), {"ext4", "", ""});
  DiskImage xfs(dir / "xfs", 320);  // mkfs.xfs wants more than 300 MB
  makeFileSystem(xfs.path(), {"xfs", "", ""});
  DiskImage blank(dir / "blank", 1);

  const struct {
    std::string device;
    const char* options;
    const char* type;
  } cases[] = {
      {ext4.path(), kBase.c_str(), "ext4"},
      {xfs.path(), kXfs.c_str(), "xfs"},
      {blank.path(), kBase.c_str(), "as before"},  // no file system: type untouched
      {dir / "missing", kBase.c_str(), "as before"},
  };
  for (const auto& c : cases) {
    std::string options = "stale";
    std::string type = "as before";
    EXPECT_TRUE(kqblk_mountOptsForDevice(c.device, options, type));
    EXPECT_EQ(options, c.options) << c.device;
    EXPECT_EQ(type, c.type) << c.device;
  }
}

TEST(ImageFormat, IsWhatQemuImgReportsForTheImageItself) {
  TempDir dir;
  DiskImage raw(dir / "raw", 4);
  DiskImage misleading(dir / "raw file format: qcow2", 1);  // its report's "image:" line
  runTool("qemu-img create -q -f qcow2 " + shellQuote(dir / "disk.qcow2") + " 64M");
  // Its report also has a "backing file format: raw" line.
  runTool("qemu-img create -q -f qcow2 -b " + shellQuote(raw.path()) + " -F raw " +
          shellQuote(dir / "overlay.qcow2"));

  const struct {
    std::string device;
    const char* format;
  } cases[] = {
      {raw.path(), "raw\n"},
      {misleading.path(), "raw\n"},
      {dir / "disk.qcow2", "qcow2\n"},
      {dir / "overlay.qcow2", "qcow2\n"},
      {dir / "missing", "as before"},
  };
  for (const auto& c : cases) {
    std::string format = "as before";
    EXPECT_TRUE(kqblk_readImageFormat(c.device, format));
    EXPECT_EQ(format, c.format) << c.device;
  }
}

TEST(ImageFormat, StaysWithoutQemuImg) {
  TempDir dir;
  DiskImage raw(dir / "raw", 1);
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", dir.path().c_str(), 1);
  std::string format = "as before";
  kqblk_readImageFormat(raw.path(), format);
  setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(format, "as before");
}

// A device path holding quotes, "$()", backticks and ";" reaches no shell:
// the answers are those for the file, and no smuggled command ran.
TEST(MountUtilities, DevicePathsReachNoShell) {
  TempDir dir;
  // Each of the four commands runs when the name stands unquoted in a shell
  // command line.
  const std::string name = "a$(touch m1)b`touch m2`c;touch m3;\"$(touch m4)\"'d'";
  DiskImage image(dir / name, 16);
  makeFileSystem(image.path(), {"ext4", "", ""});
  InDirectory inside(dir.path());

  std::string format;
  kqblk_readImageFormat(image.path(), format);
  EXPECT_EQ(format, "raw\n");
  std::string options;
  std::string type;
  kqblk_mountOptsForDevice(image.path(), options, type);
  EXPECT_EQ(type, "ext4");
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{name});
}
