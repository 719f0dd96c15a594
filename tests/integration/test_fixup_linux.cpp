// The guest's tree rebuilt from its fstab by bind mounts (root): directories
// stand in for the mounted file systems.
#include <sys/mount.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>

#include "kqblk_disk_utils.h"
#include "kqblk_made_dirs.h"
#include "support/run_tool.h"
#include "support/test_util.h"

namespace {

class FixupLinux : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
  }
  // A "file system": a directory under the mount root holding `files`.
  kqblk_mountpoint fileSystem(const std::string& device, const std::string& name,
                              const std::vector<std::string>& files) {
    const std::string path = dir / ("mnt/" + name);
    for (const std::string& d : {dir / "mnt", path}) ::mkdir(d.c_str(), 0755);
    for (const std::string& f : files) {
      if (f.back() == '/') {
        ::mkdir((path + "/" + f).c_str(), 0755);
      } else {
        std::ofstream(path + "/" + f) << f;
      }
    }
    kqblk_mountpoint r;
    r.device = device;
    r.mountPath = r.initialMountPath = path;
    r.guestPath = "/" + name;
    return r;
  }
  TempDir dir;  // unmounts what the test mounted below it
};

}  // namespace

TEST_F(FixupLinux, FstabPlacesEachFileSystemInsideTheRoot) {
  kqblk_mountpoint failed = fileSystem("/dev/kq-7-vg/bad", "MountDir-5", {});
  failed.error = "No valid file system is found in guest virtual machine.";
  std::list<kqblk_mountpoint> records = {
      failed,
      fileSystem("/dev/kq-7-vg/user", "MountDir-3", {"user.txt"}),
      fileSystem("/dev/kq-7-vg/root", "MountDir-1", {"etc/", "dev/", "srv/"}),
      fileSystem("/dev/kq-7-vg/home", "MountDir-2", {"home.txt"}),
      fileSystem("/dev/kq-7-vg/lost", "sdb1", {"lost.txt"}),
      fileSystem("/dev/kq-7-vg/evil", "MountDir-6", {"evil.txt"}),
  };
  const std::string root = dir / "mnt/MountDir-1";
  std::ofstream(root + "/etc/fstab") << "# the guest's\n"
                                        "/dev/mapper/vg-user  /home/user ext4 defaults 0 2\n"
                                        "/dev/mapper/vg-home\t/home  xfs defaults\n"
                                        "/dev/mapper/vg-evil ../../../outside ext4 defaults 0 0\n";
  ASSERT_TRUE(KqBlkDiskUtils::fixupMountPoints_Linux(dir / "mnt", records, {}));

  std::map<std::string, kqblk_mountpoint> byDevice;
  for (const kqblk_mountpoint& r : records) byDevice[r.device] = r;
  EXPECT_TRUE(byDevice["/dev/kq-7-vg/root"].isRoot && byDevice["/dev/kq-7-vg/root"].isBound);
  EXPECT_EQ(byDevice["/dev/kq-7-vg/root"].guestPath, "/");
  EXPECT_EQ(byDevice["/dev/kq-7-vg/home"].bindPath, root + "//home");
  EXPECT_EQ(byDevice["/dev/kq-7-vg/user"].guestPath, "//home/user");
  EXPECT_EQ(byDevice["/dev/kq-7-vg/lost"].guestPath, "/kqlostandfound/sdb1");
  EXPECT_FALSE(byDevice["/dev/kq-7-vg/bad"].isBound);
  EXPECT_EQ(byDevice["/dev/kq-7-vg/bad"].guestPath, "/MountDir-5");
  // /home/user is mounted inside /home, so it comes after it.
  for (const char* file : {"home/home.txt", "home/user/user.txt", "kqlostandfound/sdb1/lost.txt",
                           "outside/evil.txt"}) {
    EXPECT_TRUE(exists(root + "/" + file)) << file;
  }
  EXPECT_FALSE(exists(dir / "outside"));
  EXPECT_FALSE(exists("/outside"));
}

TEST_F(FixupLinux, LinksInTheGuestsTreeLeadNowhereOutsideIt) {
  const std::string root = dir / "mnt/MountDir-1";
  std::list<kqblk_mountpoint> records = {
      fileSystem("/dev/kq-7-vg/root", "MountDir-1", {"etc/", "dev/"}),
      fileSystem("/dev/kq-7-vg/home", "MountDir-2", {"home.txt"}),
      fileSystem("/dev/kq-7-vg/srv", "MountDir-3", {"srv.txt"}),
  };
  ASSERT_EQ(::symlink("/etc", (root + "/home").c_str()), 0);
  ASSERT_EQ(::symlink("../../..", (root + "/srv").c_str()), 0);
  std::ofstream(root + "/etc/fstab") << "/dev/vg/home /home ext4\n/dev/vg/srv /srv ext4\n";
  const std::set<std::string> mountsBefore = mountPoints();
  ASSERT_TRUE(KqBlkDiskUtils::fixupMountPoints_Linux(dir / "mnt", records, {}));
  // /home leads to the guest's own /etc; /srv to the root itself, which
  // nothing may cover.
  EXPECT_TRUE(exists(root + "/etc/home.txt"));
  for (const std::string& m : mountPoints()) {
    if (!mountsBefore.count(m)) {
      EXPECT_EQ(m, root + "/etc") << "mounted outside the guest's tree";
    }
  }
  for (const kqblk_mountpoint& r : records) {
    if (r.device == "/dev/kq-7-vg/srv") {
      EXPECT_FALSE(r.isBound);
    }
  }
}

// Each record names the directories made to place it, in the file system
// where they were made (/home/user inside the home file system). Taken
// back children first, each once its bind is gone, they go; what was there
// before stays, and a link in the place of one is never followed.
TEST_F(FixupLinux, DirectoriesItMakesAreRecordedAndOnlyThoseGoBack) {
  std::list<kqblk_mountpoint> records = {
      fileSystem("/dev/kq-7-vg/root", "MountDir-1", {"etc/", "dev/", "srv/"}),
      fileSystem("/dev/kq-7-vg/home", "MountDir-2", {"home.txt"}),
      fileSystem("/dev/kq-7-vg/user", "MountDir-3", {"user.txt"}),
      fileSystem("/dev/kq-7-vg/lost", "sdb1", {"lost.txt"}),
      fileSystem("/dev/kq-7-vg/srv", "MountDir-4", {}),
  };
  const std::string root = dir / "mnt/MountDir-1";
  std::ofstream(root + "/etc/fstab") << "/dev/mapper/vg-home /home xfs\n"
                                        "/dev/mapper/vg-user /home/user ext4\n"
                                        "/dev/mapper/vg-srv /srv ext4\n";
  ASSERT_TRUE(KqBlkDiskUtils::fixupMountPoints_Linux(dir / "mnt", records, {}));
  std::map<std::string, std::vector<std::string>> made;
  for (const kqblk_mountpoint& r : records) made[r.device] = r.madeDirs;
  const std::map<std::string, std::vector<std::string>> expected = {
      {"/dev/kq-7-vg/root", {}},
      {"/dev/kq-7-vg/home", {"/home"}},
      {"/dev/kq-7-vg/user", {"/home/user"}},
      {"/dev/kq-7-vg/lost", {"/kqlostandfound", "/kqlostandfound/sdb1"}},
      {"/dev/kq-7-vg/srv", {}}};
  EXPECT_EQ(made, expected);

  const std::string victim = dir / "victim";
  ::mkdir(victim.c_str(), 0755);
  records.sort([](const kqblk_mountpoint& a, const kqblk_mountpoint& b) {
    return a.bindPath.compare(b.bindPath) > 0;
  });
  for (const kqblk_mountpoint& r : records) {
    if (r.isRoot) continue;
    ASSERT_EQ(::umount2(r.bindPath.c_str(), 0), 0) << r.bindPath;
    if (r.device == "/dev/kq-7-vg/lost") {
      const std::string place = root + "/kqlostandfound/sdb1";
      ASSERT_EQ(::rmdir(place.c_str()), 0);
      ASSERT_EQ(::symlink(victim.c_str(), place.c_str()), 0);
    }
    kqblk_removeMadeDirs(root, r.madeDirs);
  }
  EXPECT_FALSE(exists(root + "/home"));
  EXPECT_FALSE(exists(dir / "mnt/MountDir-2/user"));
  EXPECT_TRUE(exists(root + "/srv"));
  EXPECT_TRUE(exists(root + "/kqlostandfound/sdb1")) << "the link";
  EXPECT_TRUE(exists(victim));
}

// A bind path that no system call could name again is never mounted on,
// since that mount could never be unmounted: one too long as the fstab
// writes it, and one a link in the guest's tree makes too long.
TEST_F(FixupLinux, BindPathsTooLongToNameAreRefused) {
  const std::string root = dir / "mnt/MountDir-1";
  std::list<kqblk_mountpoint> records = {
      fileSystem("/dev/kq-7-vg/root", "MountDir-1", {"etc/", "dev/"}),
      fileSystem("/dev/kq-7-vg/long", "MountDir-2", {"long.txt"}),
      fileSystem("/dev/kq-7-vg/linked", "MountDir-3", {"linked.txt"}),
  };
  std::string deep;  // relative, 4000 characters
  while (deep.size() < 4000) deep += std::string(199, 'd') + "/";
  // Below PATH_MAX only a walk by descriptors removes these.
  const ScopeExit removeDeep([&] {
    for (const std::string& top : {deep.substr(0, deep.find('/')), std::string(199, 'x')}) {
      (void)!std::system(("rm -rf " + shellQuote(root + "/" + top)).c_str());
    }
  });
  ASSERT_EQ(::symlink(deep.c_str(), (root + "/l").c_str()), 0);
  std::string longDir;  // the bind path root + "/" + longDir is PATH_MAX + 1 long
  while (longDir.size() < PATH_MAX - root.size()) longDir += "/" + std::string(199, 'x');
  longDir.resize(PATH_MAX - root.size());
  std::ofstream(root + "/etc/fstab") << "/dev/vg/long " << longDir << "\n"
                                     << "/dev/vg/linked /l/" << std::string(200, 's') << "\n";
  const std::set<std::string> mountsBefore = mountPoints();
  EXPECT_TRUE(KqBlkDiskUtils::fixupMountPoints_Linux(dir / "mnt", records, {}));
  for (const kqblk_mountpoint& r : records) {
    EXPECT_EQ(r.isBound, r.isRoot) << r.device;
    EXPECT_EQ(r.bindPath, "") << r.device;
  }
  EXPECT_EQ(mountPoints(), mountsBefore);
}
