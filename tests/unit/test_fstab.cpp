// The guest fstab reader: the line rules it relies on, entries that own
// their text, its limits and its failure cases.

#include <optional>
#include <tuple>

#include "kq_error.h"
#include "kqblk_fstab.h"
#include "support/fifo.h"
#include "support/test_util.h"

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
  const std::string x(5000, 'x');
  const struct { std::string text; std::vector<Fields> entries; } cases[] = {
      {"# root\n\n \t \n #UUID=1 / ext4 defaults 0 0\n", {}},
      {"LABEL=r / ext4 defaults\n", {{"LABEL=r", "/", "ext4", "defaults", 0, 0}}},
      {"/dev/sda1\n", {{"/dev/sda1", "", "", "", 0, 0}}},
      {"\t UUID=a \t/boot\txfs   ro,noatime  1 \t",
       {{"UUID=a", "/boot", "xfs", "ro,noatime", 1, 0}}},
      {"/dev/sdb1 /mnt/my\\040data ext4 a\\011b\\012c\\134d 0 2\n",
       {{"/dev/sdb1", "/mnt/my data", "ext4", "a\tb\nc\\d", 0, 2}}},
      {"UUID=a /boot xfs defaults 0 0\nUUID=b / xfs defaults 0 0\n",
       {{"UUID=a", "/boot", "xfs", "defaults", 0, 0}, {"UUID=b", "/", "xfs", "defaults", 0, 0}}},
      // 4095 characters of a longer line are used; the rest is dropped.
      {x + " /x ext4\n/dev/sdc1 /srv\n",
       {{x.substr(0, 4095), "", "", "", 0, 0}, {"/dev/sdc1", "/srv", "", "", 0, 0}}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    std::ofstream(dir / "fstab", std::ios::trunc) << c.text;
    EXPECT_EQ(fields(kqblk_fstab_reader(dir / "fstab")), c.entries) << c.text;
  }
}

// Entries outlive the reader and the entries they were copied from.
TEST(Fstab, EntriesOwnTheirText) {
  TempDir dir;
  std::ofstream(dir / "fstab") << "UUID=a /boot xfs defaults 0 0\n/dev/sda1\n";
  std::optional<kqblk_fstab_entry> first, second;
  {
    kqblk_fstab_reader reader(dir / "fstab");
    first = reader.get().front();
    second = reader.get().back();
  }
  kqblk_fstab_entry copy(*second), assigned;
  second.reset();
  EXPECT_EQ(fields(assigned), Fields("", "", "", "", 0, 0));
  assigned = *first;
  first->get().mnt_dir[1] = 'X';
  first.reset();
  EXPECT_EQ(fields(assigned), Fields("UUID=a", "/boot", "xfs", "defaults", 0, 0));
  EXPECT_EQ(fields(copy), Fields("/dev/sda1", "", "", "", 0, 0));
}

TEST(Fstab, OpenFileStaysTheCallersMissingFileIsEmptyNullFileThrows) {
  char text[] = "UUID=a / ext4 defaults 0 1\n";
  FILE* file = fmemopen(text, sizeof text - 1, "r");
  EXPECT_EQ(kqblk_fstab_reader(file).get().size(), 1u);
  EXPECT_EQ(fclose(file), 0);
  TempDir dir;
  EXPECT_TRUE(kqblk_fstab_reader(dir / "missing").get().empty());
  try {
    kqblk_fstab_reader(static_cast<FILE*>(nullptr));
    ADD_FAILURE() << "a null file was read";
  } catch (const CUxError& e) {
    EXPECT_EQ(FXErrorUtil::GetErrNo(e), EINVAL);
    EXPECT_NE(e.AsString().find("NULL file pointer to fstab file."), std::string::npos);
  }
}

// A guest's fstab is read up to its limits and refused whole beyond them; a
// FIFO in its place is not waited on.
TEST(Fstab, RefusedBeyondItsLimitsAndWhenNoRegularFile) {
  const size_t most = kqblk_fstab_reader::kMaxEntries;
  std::string lines;
  for (size_t i = 0; i < most; ++i) lines += "/dev/sda1 /m\n";
  const struct { const char* name; std::string text; size_t entries; bool refused; } cases[] = {
      {"MostEntries", lines, most, false},
      {"OneEntryMore", lines + "/dev/sda1 /m\n", 0, true},
      {"OneByteMore", std::string(kqblk_fstab_reader::kMaxBytes, '#') + "\n", 0, true},
      {"Fifo", "", 0, false},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string path = dir / c.name;
    if (c.name == std::string("Fifo")) {
      makeFifo(path);
    } else {
      std::ofstream(path) << c.text;
    }
    size_t entries = 0;
    bool refused = false;
    EXPECT_TRUE(returnsWithoutAWriter(path, [&] {
      try {
        entries = kqblk_fstab_reader(path).get().size();
      } catch (const CUxError& e) {
        refused = FXErrorUtil::GetErrNo(e) == EFBIG;
      }
    })) << c.name;
    EXPECT_EQ(entries, c.entries) << c.name;
    EXPECT_EQ(refused, c.refused) << c.name;
  }
}
