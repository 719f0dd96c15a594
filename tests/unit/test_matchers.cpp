// Which guest fstab entry describes which mounted device.

#include <boost/make_shared.hpp>
#include <cstdio>

#include "kqblk_guestdisk.h"
#include "kqblk_matchers.h"
#include "support/disk_image.h"
#include "support/test_util.h"

namespace {

kqblk_fstab_entry entryOf(const std::string& line) {
  FILE* f = fmemopen(const_cast<char*>(line.data()), line.size(), "r");
  kqblk_fstab_reader reader(f);
  std::fclose(f);
  return reader.get().front();
}

kqblk_mountpoint record(const std::string& device, const std::string& mountPath = "",
                        bool isRoot = false) {
  kqblk_mountpoint r;
  r.device = device;
  r.mountPath = mountPath;
  r.isRoot = isRoot;
  return r;
}

struct Case {
  const char* line;
  kqblk_mountpoint device;
  bool matches;
};

}  // namespace

TEST(Matchers, LogicalVolumesByTheirGuestGroupName) {
  const Case cases[] = {
      {"/dev/mapper/centos-root / xfs", record("/dev/kq-7-centos/root"), true},
      {"/dev/centos/root / xfs", record("/dev/kq-7-centos/root"), true},
      {"/dev/mapper/centos-home /home xfs", record("/dev/kq-7-centos/root"), false},
      {"/dev/mapper/my--vg-root / ext4", record("/dev/kq-7-my-vg/root"), true},
      {"/dev/my-vg/root / ext4", record("/dev/kq-7-my-vg/root"), true},
      {"/dev/mapper/centos-root / xfs", record("/dev/kqblk/disk0p1"), false},  // no second dash
      {"x / xfs", record("/dev/kq-7-centos/root"), false},                     // shorter
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kqblk_lvmDevMatch(entryOf(c.line), c.device, {}), c.matches) << c.line;
  }
}

// Names that begin another's belong to their own entry alone. Device-mapper
// doubles a dash inside a group or volume name.
// Names that start or end another's, and dashes that move between group and
// volume, name other volumes.
TEST(Matchers, AnEntryMatchesOnlyTheLogicalVolumeItNamesWhole) {
  const char* const records[] = {"/dev/kq-7-vg/root",          "/dev/kq-7-vg/root2",
                                 "/dev/kq-7-vg-home/root",     "/dev/kq-7-vg-home-old/root",
                                 "/dev/kq-7-home/root",        "/dev/kq-7-vg-home/old-root"};
  const struct {
    const char* line;
    int record;  // the only one it matches
  } cases[] = {
      {"/dev/mapper/vg-root / xfs", 0},       {"/dev/vg/root / xfs", 0},
      {"/dev/mapper/vg-root2 /x xfs", 1},     {"/dev/vg/root2 /x xfs", 1},
      {"/dev/mapper/vg--home-root /h xfs", 2}, {"/dev/vg-home/root /h xfs", 2},
      {"/dev/mapper/vg--home--old-root /o xfs", 3}, {"/dev/vg-home-old/root /o xfs", 3},
      {"/dev/mapper/home-root /p xfs", 4},         {"/dev/home/root /p xfs", 4},
      {"/dev/mapper/vg--home-old--root /q xfs", 5}, {"/dev/vg-home/old-root /q xfs", 5},
      {"/dev/sda1 /r xfs", -1},                      {"/dev/mapper/root /r xfs", -1},
  };
  for (const auto& c : cases) {
    for (int r = 0; r < 6; ++r) {
      EXPECT_EQ(kqblk_lvmDevMatch(entryOf(c.line), record(records[r]), {}), r == c.record)
          << c.line << " against " << records[r];
    }
  }
}

TEST(Matchers, HeuristicByRootBootAndDiskPosition) {
  TempDir dir;
  std::list<boost::shared_ptr<KqBlkDisk>> disks;
  for (const char* name : {"d0", "d1", "d2"}) {
    auto disk = boost::make_shared<KqBlkGuestDisk>("", dir.path());
    disk->setDiskPath(std::string("/dev/kqblk/") + name);
    disks.push_back(disk);
  }
  const std::string boot = dir / "boot";
  const std::string other = dir / "other";
  for (const std::string& d : {boot, other, other + "/initrd.img"}) ::mkdir(d.c_str(), 0755);
  std::ofstream(boot + "/initramfs-5.4.img") << "x";
  std::ofstream(other + "/initrd.img-4.19") << "x";  // the whole name must match
  const Case cases[] = {
      {"UUID=1 / ext4", record("/dev/kqblk/d0p9", "", true), true},
      {"/dev/sda1 / ext4", record("/dev/kqblk/d0p1"), true},
      {"UUID=1 /boot ext4", record("/dev/kqblk/d0p1", boot), true},
      {"/dev/sda1 /boot ext4", record("/dev/kqblk/d0p1", other), false},
      {"/dev/sdb2 /data ext4", record("/dev/kqblk/d1p2"), true},
      {"/dev/sdb2 /data ext4", record("/dev/kqblk/d1p3"), false},
      {"/dev/xvdc /data ext4", record("/dev/kqblk/d2"), true},
      {"/dev/sdd1 /data ext4", record("/dev/kqblk/d0p1"), false},  // a fourth disk
      {"/dev/vda1 /data ext4", record("/dev/kqblk/d0p1"), false},
      {"UUID=1 /home ext4", record("/dev/kqblk/d0p1"), false},
      // Guest text that names no disk: capitals, and more letters than an index holds.
      {"/dev/sdA1 /data ext4", record("/dev/kqblk/d0p1"), false},
      {"/dev/sdzzzzzzzzzzzzzzzzzzzz1 /data ext4", record("/dev/kqblk/d0p1"), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kqblk_heuristicDevMatch(entryOf(c.line), c.device, disks), c.matches) << c.line;
  }
}

// Tags, and udev's links that stand for them, read from the device itself.
TEST(Matchers, TagsAreReadFromTheDeviceItself) {
  TempDir dir;
  DiskImage image(dir / "fs.img", 16);
  const std::string uuid = "0e3c1a4b-2f5d-4c6e-8a7b-9c0d1e2f3a4b";
  makeFileSystem(image.path(), FileSystemSpec{"ext4", "my root/a", uuid});
  const std::string missing = dir / "missing";
  const Case cases[] = {
      {"UUID=0e3c1a4b-2f5d-4c6e-8a7b-9c0d1e2f3a4b / ext4", record(image.path()), true},
      {"LABEL=my\\040root/a / ext4", record(image.path()), true},
      {"LABEL=other / ext4", record(image.path()), false},
      {"UUID=0e3c1a4b-2f5d-4c6e-8a7b-9c0d1e2f3a4b / ext4", record(missing), false},
      {"/dev/disk/by-uuid/0e3c1a4b-2f5d-4c6e-8a7b-9c0d1e2f3a4b / ext4", record(image.path()), true},
      {"/dev/disk/by-uuid/0E3C1A4B-2F5D-4C6E-8A7B-9C0D1E2F3A4B / ext4", record(image.path()), true},
      {"/dev/disk/by-uuid/0e3c1a4b-2f5d-4c6e-8a7b-9c0d1e2f3a4c / ext4", record(image.path()), false},
      {"/dev/disk/by-uuid/0e3c1a4b-2f5d-4c6e-8a7b-9c0d1e2f3a4b / ext4", record(missing), false},
      {"/dev/disk/by-label/my\\x20root\\x2fa / ext4", record(image.path()), true},
      {"/dev/disk/by-label/my\\x20root\\x2fb / ext4", record(image.path()), false},
      // udev never writes a raw "/" (it would be a path below) nor a NUL.
      {"/dev/disk/by-label/my\\x20root/a / ext4", record(image.path()), false},
      {"/dev/disk/by-label/my\\x20root\\x00 / ext4", record(image.path()), false},
      {"/dev/disk/by-label/ / ext4", record(image.path()), false},
      {"/dev/disk/by-uuid/../by-label/x / ext4", record(image.path()), false},
      {"/dev/disk/by-id/dm-name-centos-root / xfs", record("/dev/kq-7-centos/root"), true},
      {"/dev/disk/by-id/dm-name-my--vg-root / xfs", record("/dev/kq-7-my-vg/root"), true},
      {"/dev/disk/by-id/dm-name-centos-root / xfs", record("/dev/kq-7-centos/root2"), false},
      {"/dev/disk/by-id/dm-name-centos-root / xfs", record(image.path()), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kqblk_blkidDevMatch(entryOf(c.line), c.device, {}), c.matches) << c.line;
  }
}

// A btrfs of a request carries a new UUID and our label "kq-ID-" + its guest
// UUID, through which the guest's name still finds it; a label of the
// guest's own making that merely ends in a UUID does not.
TEST(Matchers, ABtrfsTakenOverIsFoundByItsGuestUuid) {
  TempDir dir;
  const struct {
    const char* label;
    const char* spec;
    bool matches;
  } cases[] = {
      {"kq-7-5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", "UUID=5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", true},
      {"kq-7-5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", "/dev/disk/by-uuid/5A4B3C2D-1E0F-4A9B-8C7D-6E5F4A3B2C1D", true},
      {"kq-7-5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", "UUID=4a3b2c1d", false},
      {"kq-7-5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", "LABEL=5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", false},
      {"data-5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", "UUID=5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", false},
  };
  for (const auto& c : cases) {
    DiskImage image(dir / "btrfs.img", 128);
    makeFileSystem(image.path(), FileSystemSpec{"btrfs", c.label, ""});
    EXPECT_EQ(kqblk_blkidDevMatch(entryOf(std::string(c.spec) + " / btrfs"), record(image.path()), {}),
              c.matches)
        << c.label << " " << c.spec;
  }
}
