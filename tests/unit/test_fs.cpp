// Directory creation, removal and listing; paths resolved inside a tree.

#include <climits>
#include <set>

#include "kq_fs.h"
#include "kq_inroot.h"
#include "kq_log.h"
#include "support/test_util.h"

TEST(Directory, CreateRemoveNeverFollowsLinksOut) {
  TempDir dir, outside;
  const std::string deep = dir / "a/b/c";
  EXPECT_TRUE(CUxDirectory::Create(deep, false).IsError());
  ASSERT_FALSE(CUxDirectory::Create(deep, true).IsError());
  EXPECT_FALSE(CUxDirectory::Create(deep, true).IsError());  // exists: fine
  std::ofstream(deep + "/f") << "data";
  std::ofstream(outside / "keep") << "precious";
  ASSERT_EQ(symlink(outside.path().c_str(), (dir / "a/link").c_str()), 0);

  ASSERT_FALSE(CUxDirectory::Remove(dir / "a", true, true).IsError());
  EXPECT_TRUE(exists(dir / "a"));
  EXPECT_FALSE(exists(dir / "a/b"));
  EXPECT_FALSE(exists(dir / "a/link"));
  EXPECT_TRUE(exists(outside / "keep"));
  ASSERT_FALSE(CUxDirectory::Remove(dir / "a", true, false).IsError());
  EXPECT_FALSE(exists(dir / "a"));
  EXPECT_FALSE(CUxDirectory::Remove(dir / "a", true, false).IsError());  // gone: fine

  std::ofstream(dir / "file") << "x";
  EXPECT_TRUE(CUxDirectory::Remove(dir / "file", true, false).IsError());
  ASSERT_FALSE(CUxDirectory::Create(dir / "full", false).IsError());
  std::ofstream(dir / "full/x") << "x";
  EXPECT_TRUE(CUxDirectory::Remove(dir / "full", false, false).IsError());
}

TEST(Directory, ListingSkipsDotsAndMarksDirectories) {
  TempDir dir;
  KQFindData data;
  EXPECT_EQ(KQFindFirstFile(dir.path(), &data), nullptr);  // empty
  EXPECT_EQ(KQFindFirstFile(dir / "missing", &data), nullptr);
  CUxDirectory::Create(dir / "sub", false);
  std::ofstream(dir / "file") << "x";
  std::set<std::string> seen;
  KQFindHandle h = KQFindFirstFile(dir.path(), &data);
  ASSERT_NE(h, nullptr);
  do {
    seen.insert(data.name + (data.isDirectory ? "/" : ""));
  } while (KQFindNextFile(h, &data));
  EXPECT_EQ(seen, (std::set<std::string>{"sub/", "file"}));
}

// What another user could change (a link, their directory, one they may
// write) is refused with one line naming it, and nothing is made through it.
TEST(TrustedDir, RefusesEveryComponentAnotherUserControls) {
  TempDir dir;
  for (const char* sub : {"theirs", "shared", "open", "sticky", "real"}) ::mkdir((dir / sub).c_str(), 0700);
  ASSERT_EQ(::chown((dir / "theirs").c_str(), 65534, 65534), 0);
  ::chmod((dir / "shared").c_str(), 0770);
  ::chmod((dir / "open").c_str(), 0707);
  ::chmod((dir / "sticky").c_str(), 01777);
  ::mkdir((dir / "sticky/theirs").c_str(), 0700);
  ASSERT_EQ(::chown((dir / "sticky/theirs").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
  std::ofstream(dir / "file") << "x";
  struct Case {
    std::string path, says;  // says "": opened
    bool make;
  };
  const Case cases[] = {
      {dir / "new/a/b", "", true},
      {dir / "sticky/mine", "", true},
      {dir / "link/x", dir / "link is a symbolic link", true},
      {dir / "theirs/x", dir / "theirs is owned by uid 65534, not root", true},
      {dir / "sticky/theirs/x", dir / "sticky/theirs is owned by uid 65534, not root", true},
      {dir / "shared/x", dir / "shared is writable by group or others", true},
      {dir / "open/x", dir / "open is writable by group or others", true},
      {dir / "sticky", dir / "sticky is writable by group or others", false},
      {dir / "file/x", dir / "file is not a directory", true},
      {dir / "missing/x", "cannot open " + dir / "missing: No such file or directory", false},
      {dir / "new/../x", dir / "new/../x names a parent directory (..)", true},
  };
  for (const Case& c : cases) {
    std::string why;
    const int fd = KqOpenTrustedDir(c.path, c.make, 0700, why);
    EXPECT_EQ(why, c.says) << c.path;
    EXPECT_EQ(fd >= 0, c.says.empty()) << c.path;
    if (fd >= 0) ::close(fd);
    if (!c.says.empty() && c.path != dir / "sticky") {
      EXPECT_FALSE(exists(c.path)) << c.path;
    }
  }
  struct stat st;
  ASSERT_EQ(::stat((dir / "new/a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// A debug pause marker in /tmp: only our own regular file counts.
TEST(TrustedDir, MarkerIsOnlyARegularFileOfOurs) {
  TempDir dir;
  std::ofstream(dir / "mine") << "";
  std::ofstream(dir / "theirs") << "";
  ASSERT_EQ(::chown((dir / "theirs").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::symlink((dir / "mine").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_TRUE(KqIsTrustedMarker(dir / "mine"));
  for (const char* name : {"theirs", "link", "fifo", "missing"}) EXPECT_FALSE(KqIsTrustedMarker(dir / name)) << name;
  EXPECT_FALSE(EvDebug::debugBreak((dir / "link").c_str(), nullptr, 1, 50, false));
}

// A link's target is read whole, whatever size its file system gives it:
// /proc says 0 for /proc/self and for a process's cwd.
TEST(InRoot, LinksAreReadWholeWhateverSizeTheyClaim) {
  TempDir dir;
  char cwd[PATH_MAX];
  ASSERT_TRUE(getcwd(cwd, sizeof cwd));
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const int top = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::string why;
  const int fd = KqOpenInRoot(top, "proc/self/cwd", false, why);
  struct stat got, want;
  EXPECT_TRUE(fd >= 0 && ::fstat(fd, &got) == 0) << why;
  ASSERT_EQ(::stat(dir.path().c_str(), &want), 0);
  EXPECT_TRUE(got.st_dev == want.st_dev && got.st_ino == want.st_ino);
  if (fd >= 0) ::close(fd);
  ::close(top);
  ASSERT_EQ(chdir(cwd), 0);
}

// Links and ".." land where a chroot into the tree would land. A decoy of
// the same path beside the tree shows any step out of it.
TEST(InRoot, LinksAndParentsLandAtTheirPlaceInsideTheTree) {
  TempDir dir;
  for (const char* d : {"data", "data/home", "root", "root/usr", "root/data", "root/data/home"}) {
    ::mkdir((dir / d).c_str(), 0755);
  }
  for (const auto& [link, target] : {std::pair{"root/usr/home", "/data/home"},
                                     std::pair{"root/usr/rel", "../data/home"},
                                     std::pair{"root/usr/up", "../../../data/home"}}) {
    ASSERT_EQ(::symlink(target, (dir / link).c_str()), 0) << link;
  }
  const int top = ::open((dir / "root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(top, 0);
  struct stat want;
  ASSERT_EQ(::fstatat(top, "data/home", &want, 0), 0);
  for (const char* path : {"usr/home", "usr/rel", "usr/up", "usr/../../data/home", "/data/home"}) {
    std::string why;
    const int fd = KqOpenInRoot(top, path, false, why);
    struct stat got;
    EXPECT_TRUE(fd >= 0 && ::fstat(fd, &got) == 0) << path << ": " << why;
    EXPECT_TRUE(fd >= 0 && got.st_dev == want.st_dev && got.st_ino == want.st_ino) << path;
    if (fd >= 0) ::close(fd);
  }
  ::close(top);
}
