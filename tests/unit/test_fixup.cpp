// The layout dispatch over file-system images (plain files, which libblkid
// probes like devices): which guests are tried as Windows guests, and what
// is never touched. No image has a SYSTEM hive, so a tried Windows layout
// fails and every mount stays where it is.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <vector>

#include "kqblk_disk_utils.h"
#include "kq_log.h"
#include "support/disk_image.h"
#include "support/temp_dir.h"

namespace {

struct DispatchCase {
  const char* name;
  const char* config;               // the configuration file's text
  std::vector<const char*> volumes;  // file-system types; "failed": a record with an error
  bool typesRead;
  bool windowsTried;
};

const char kOn[] = "[Session]\nsHLXFixupMounts = Y\n";

const DispatchCase kCases[] = {
    {"EmptyList", kOn, {}, false, false},
    {"SwitchedOffLowerCase", "[Session]\nsHLXFixupMounts = n\n", {"ntfs"}, false, false},
    {"SwitchedOffUpperCase", "[Session]\nsHLXFixupMounts = N\n", {"ntfs"}, false, false},
    {"LowerCaseYIsOn", "[Session]\nsHLXFixupMounts = y\n", {"ntfs"}, true, true},
    {"MissingKeyIsOn", "[Session]\n", {"ntfs"}, true, true},
    {"NtfsAndFatIsWindows", kOn, {"ntfs", "vfat"}, true, true},
    {"NtfsAndExt4IsNotWindows", kOn, {"ntfs", "ext4"}, true, false},
    {"FatOnlyIsNotWindows", kOn, {"vfat"}, true, false},
    // The failed record's device does not exist: probing it would throw.
    {"FailedRecordsTakeNoPart", kOn, {"failed", "ntfs", "failed"}, true, true},
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class FixupDispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(FixupDispatch, ChoosesTheLayoutAndMovesNothingWithoutAHive) {
  const DispatchCase& c = GetParam();
  TempDir dir;
  ScopedConfig config(c.config);
  std::vector<std::unique_ptr<DiskImage>> images;
  std::list<kqblk_mountpoint> records;
  for (const char* type : c.volumes) {
    const std::string n = std::to_string(records.size() + 1);
    kqblk_mountpoint mp;
    mp.mountPath = mp.initialMountPath = dir / ("MountDir-" + n);
    ASSERT_EQ(mkdir(mp.mountPath.c_str(), 0755), 0);
    if (std::string(type) == "failed") {
      mp.device = dir / "absent";
      mp.error = "Failed to mount";
    } else {
      images.emplace_back(new DiskImage(dir / ("disk" + n), 8));
      makeFileSystem(images.back()->path(), FileSystemSpec{type, "", ""});
      mp.device = images.back()->path();
    }
    records.push_back(mp);
  }
  const std::list<kqblk_mountpoint> before = records;

  KqLogCapture log;
  EXPECT_TRUE(KqBlkDiskUtils::fixupMountPoints(dir.path(), records, {}));

  EXPECT_EQ(!log.find("has file system").empty(), c.typesRead);
  EXPECT_EQ(!log.find("Failed to get drive letters").empty(), c.windowsTried);
  if (c.windowsTried) {
    EXPECT_FALSE(KqBlkDiskUtils::fixupMountPoints_Windows(dir.path(), records, {}));
  }
  ASSERT_EQ(records.size(), before.size());
  auto b = before.begin();
  for (auto a = records.begin(); a != records.end(); ++a, ++b) {
    EXPECT_EQ(a->mountPath, b->mountPath);
    EXPECT_EQ(a->initialMountPath, b->initialMountPath);
    struct stat st;
    EXPECT_EQ(stat(a->mountPath.c_str(), &st), 0) << a->mountPath;
  }
}

INSTANTIATE_TEST_SUITE_P(Guests, FixupDispatch, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DispatchCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
