// The guest fstab reader: the line rules it relies on, entries that own
// their text, and its two failure cases.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <optional>
#include <tuple>
#include <vector>

#include "kq_error.h"
#include "kqblk_fstab.h"
#include "support/temp_dir.h"

namespace {

typedef std::tuple<std::string, std::string, std::string, std::string, int, int> Fields;

Fields fields(const kqblk_fstab_entry& entry) {
  const mntent& m = entry.get();
  return Fields(m.mnt_fsname, m.mnt_dir, m.mnt_type, m.mnt_opts, m.mnt_freq, m.mnt_passno);
}

std::vector<Fields> fields(const kqblk_fstab_reader& reader) {
  std::vector<Fields> all;
  for (const kqblk_fstab_entry& entry : reader.get()) all.push_back(fields(entry));
  return all;
}

}  // namespace

TEST(Fstab, ReadsTheLinesTheWayTheCLibraryDoes) {
  const std::string longName(5000, 'x');
  const struct {
    const char* what;
    std::string text;
    std::vector<Fields> entries;
  } cases[] = {
      {"comments and blanks", "# root\n\n \t \n#/dev/sda1 / ext4\n", {}},
      {"comment after blanks", " # UUID=1 / ext4 defaults 0 0\n", {}},
      {"no numbers", "LABEL=root / ext4 defaults\n", {{"LABEL=root", "/", "ext4", "defaults", 0, 0}}},
      {"one number", "LABEL=root / ext4 defaults 1\n", {{"LABEL=root", "/", "ext4", "defaults", 1, 0}}},
      {"device only", "/dev/sda1\n", {{"/dev/sda1", "", "", "", 0, 0}}},
      {"odd whitespace, no final newline", "\t UUID=a \t/boot\txfs   ro,noatime  1 \t2 \t",
       {{"UUID=a", "/boot", "xfs", "ro,noatime", 1, 2}}},
      {"escapes", "/dev/sdb1 /mnt/my\\040data ext4 a\\011b\\012c\\134d 0 2\n",
       {{"/dev/sdb1", "/mnt/my data", "ext4", "a\tb\nc\\d", 0, 2}}},
      {"file order", "UUID=a /boot xfs defaults 0 0\nUUID=b / xfs defaults 0 0\n",
       {{"UUID=a", "/boot", "xfs", "defaults", 0, 0}, {"UUID=b", "/", "xfs", "defaults", 0, 0}}},
      // 4095 characters of a longer line are used; the rest is dropped.
      {"over-long line", longName + " /x ext4\n/dev/sdc1 /srv ext4 defaults 0 0\n",
       {{longName.substr(0, 4095), "", "", "", 0, 0}, {"/dev/sdc1", "/srv", "ext4", "defaults", 0, 0}}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string path = dir / "fstab";
    std::ofstream(path, std::ios::trunc) << c.text;
    EXPECT_EQ(fields(kqblk_fstab_reader(path)), c.entries) << c.what;
  }
}

// Every entry owns its text: neither the reader's buffers nor the entry it
// was copied from need to live on, and a copy of a field the parser left
// empty is empty too.
TEST(Fstab, EntriesOwnTheirText) {
  TempDir dir;
  std::ofstream(dir / "fstab") << "UUID=a /boot xfs defaults 0 0\n/dev/sda1\n";
  std::optional<kqblk_fstab_entry> first;
  std::optional<kqblk_fstab_entry> second;
  {
    kqblk_fstab_reader reader(dir / "fstab");
    ASSERT_EQ(reader.get().size(), 2u);
    first = reader.get().front();
    second = reader.get().back();
  }
  kqblk_fstab_entry copy(*second);
  second.reset();
  const Fields boot{"UUID=a", "/boot", "xfs", "defaults", 0, 0};
  const Fields bare{"/dev/sda1", "", "", "", 0, 0};
  EXPECT_EQ(fields(*first), boot);
  EXPECT_EQ(fields(copy), bare);

  kqblk_fstab_entry assigned;
  EXPECT_EQ(fields(assigned), Fields("", "", "", "", 0, 0));
  assigned = *first;
  first->get().mnt_dir[1] = 'X';  // the view's texts are writable C strings
  first.reset();
  EXPECT_EQ(fields(assigned), boot);
}

TEST(Fstab, OpenFilesStayTheCallersAndMissingOnesAreEmpty) {
  char text[] = "UUID=a / ext4 defaults 0 1\n";
  FILE* file = fmemopen(text, sizeof text - 1, "r");
  ASSERT_NE(file, nullptr);
  kqblk_fstab_reader reader(file);
  EXPECT_EQ(fields(reader), std::vector<Fields>({{"UUID=a", "/", "ext4", "defaults", 0, 1}}));
  EXPECT_EQ(fclose(file), 0);

  TempDir dir;
  EXPECT_TRUE(kqblk_fstab_reader(dir / "missing").get().empty());

  try {
    kqblk_fstab_reader nothing(static_cast<FILE*>(nullptr));
    ADD_FAILURE() << "a null file was read";
  } catch (const CUxError& e) {
    EXPECT_EQ(FXErrorUtil::GetErrNo(e), EINVAL);
    EXPECT_NE(e.AsString().find("NULL file pointer to fstab file."), std::string::npos);
  }
}
