// Directory creation, removal and listing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "kq_fs.h"
#include "support/temp_dir.h"

namespace {
bool exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}
}  // namespace

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
