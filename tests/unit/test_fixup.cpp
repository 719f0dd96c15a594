// The layout dispatch over file-system images (plain files, which libblkid
// probes like devices): which guests are tried as Windows guests and which
// get the Linux layout. No image has a SYSTEM hive, so a tried Windows
// layout fails, moves nothing, and the Linux layout follows. And what
// discover-and-mount and the layout make of a failure of any kind.

#include <stdexcept>

#include "kq_log.h"
#include "kqblk_disk.h"
#include "kqblk_disk_utils.h"
#include "kqblk_lvm_config.h"
#include "support/disk_image.h"
#include "support/fifo.h"
#include "support/test_util.h"

namespace {

struct DispatchCase {
  const char* name;
  const char* config;               // the configuration file's text
  std::vector<const char*> volumes;  // file-system types; "failed": a record with an error
  bool typesRead;
  bool windowsTried;
  bool linuxLaidOut;
};

const char kOn[] = "[Session]\nsHLXFixupMounts = Y\n";

const DispatchCase kCases[] = {
    {"EmptyList", kOn, {}, false, false, false},
    {"SwitchedOffLowerCase", "[Session]\nsHLXFixupMounts = n\n", {"ntfs"}, false, false, false},
    {"SwitchedOffUpperCase", "[Session]\nsHLXFixupMounts = N\n", {"ntfs"}, false, false, false},
    {"LowerCaseYIsOn", "[Session]\nsHLXFixupMounts = y\n", {"ntfs"}, true, true, true},
    {"MissingKeyIsOn", "[Session]\n", {"ntfs"}, true, true, true},
    {"NtfsAndFatIsWindows", kOn, {"ntfs", "vfat"}, true, true, true},
    {"NtfsAndExt4IsNotWindows", kOn, {"ntfs", "ext4"}, true, false, true},
    {"FatOnlyIsNotWindows", kOn, {"vfat"}, true, false, true},
    // The failed record's device does not exist: probing it would throw.
    {"FailedRecordsTakeNoPart", kOn, {"failed", "ntfs", "failed"}, true, true, true},
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class FixupDispatch : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(FixupDispatch, ChoosesTheLayout) {
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
  KqLogCapture log;
  EXPECT_TRUE(KqBlkDiskUtils::fixupMountPoints(dir.path(), records, {}));

  EXPECT_EQ(!log.find("has file system").empty(), c.typesRead);
  EXPECT_EQ(!log.find("Failed to get drive letters").empty(), c.windowsTried);
  EXPECT_EQ(!log.find("post-sort device list").empty(), c.linuxLaidOut);
  // A Windows layout without letters moves nothing.
  for (const kqblk_mountpoint& mp : records) {
    struct stat st;
    EXPECT_EQ(stat(mp.initialMountPath.c_str(), &st), 0) << mp.initialMountPath;
  }
}

INSTANTIATE_TEST_SUITE_P(Guests, FixupDispatch, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DispatchCase>& info) {
                           return std::string(info.param.name);
                         });

// A disk whose partitions cannot be named: the step throws `fail`'s exception.
class FailingDisk : public KqBlkDisk {
 public:
  FailingDisk(const std::string& image, const std::string& dir, std::function<void()> fail)
      : KqBlkDisk(image, dir), m_fail(std::move(fail)) {
    m_devPath = image;
  }
  std::string getPartPrefix() override {
    m_fail();
    return "p";
  }

 private:
  std::function<void()> m_fail;
};

}  // namespace

TEST(FixupDispatch, AnUnreadableDeviceFailsAsTheLibrarysOwnException) {
  TempDir dir;
  ScopedConfig config(kOn);
  kqblk_mountpoint mp;
  mp.device = dir / "vanished";
  std::list<kqblk_mountpoint> records{mp};
  try {
    KqBlkDiskUtils::fixupMountPoints(dir.path(), records, {});
    ADD_FAILURE() << "no exception";
  } catch (const KqException& e) {
    EXPECT_NE(e.getMessage().find("lay out the guest's file systems: Cannot open " + mp.device),
              std::string::npos) << e.getMessage();
  }
}

// Whatever a step throws becomes the error; nothing passes to the caller.
TEST(DiscoverAndMount, AFailureOfAnyKindBecomesItsError) {
  struct Case {
    const char* name;
    std::function<void()> fail;
    const char* says;
  };
  const Case cases[] = {
      {"KqException", [] { throw KqException("f", "scripted failure", "test", 1, -1); },
       "scripted failure"},
      {"CUxError", [] { throw FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "Cannot probe d1"); },
       "listing the block devices failed: Cannot probe d1"},
      {"BadAlloc", [] { throw std::bad_alloc(); }, "devices failed: out of memory"},
      {"OtherStdException", [] { throw std::out_of_range("stoull"); }, "devices failed: stoull"},
      {"Unknown", [] { throw 7; }, "devices failed: an exception of unknown type"},
  };
  TempDir dir;
  DiskImage image(dir / "d1", 4);
  image.partition("label: dos\nstart=2048, type=83\n");
  LVMConfig lvm(dir / "lvm");
  for (const Case& c : cases) {
    std::list<kqblk_mountpoint> records;
    std::list<kqblk_vg> vgs;
    CUxError err;
    const boost::shared_ptr<KqBlkDisk> disk(new FailingDisk(image.path(), dir.path(), c.fail));
    KqBlkDiskUtils::discoverAndMount(dir.path(), "req", {disk}, records, vgs, true, &err, lvm);
    EXPECT_EQ(err.GetErrorCode(), -774) << c.name;
    EXPECT_NE(err.AsString().find(c.says), std::string::npos) << c.name << ": " << err.AsString();
    EXPECT_NE(err.AsString().find("static void KqBlkDiskUtils::discoverAndMount(std::string, "),
              std::string::npos) << c.name << ": " << err.AsString();
    EXPECT_NE(err.AsString().find("&) kqblk_disk_utils:1783]"), std::string::npos) << c.name;
  }
}

// Which record is the root: the first without an error whose directory has
// a regular etc/fstab and a dev; else the first record, whatever its error.
TEST(IdentifyRoot, FirstTreeWithFstabAndDevElseTheFirstRecord) {
  struct Case {
    const char* name;
    std::vector<std::vector<const char*>> trees;  // per record; "!" first: it has an error
    int root;                                     // -1: the list is empty
  };
  const Case cases[] = {
      {"Empty", {}, -1},
      {"SecondHasBoth", {{"etc/"}, {"etc/fstab", "dev/"}}, 1},
      {"FstabIsADirectory", {{"etc/fstab/", "dev/"}, {"etc/fstab", "dev/"}}, 1},
      {"NoDev", {{"etc/fstab"}, {"etc/fstab", "dev"}}, 1},
      {"FailedRecordIsPassedOver", {{"!", "etc/fstab", "dev/"}, {"etc/fstab", "dev/"}}, 1},
      {"NoneQualifiesTheFirstIsRoot", {{"!"}, {"etc/"}}, 0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::list<kqblk_mountpoint> records;
    for (size_t i = 0; i < c.trees.size(); ++i) {
      kqblk_mountpoint r;
      r.mountPath = dir / std::to_string(i);
      ::mkdir(r.mountPath.c_str(), 0755);
      ::mkdir((r.mountPath + "/etc").c_str(), 0755);
      for (const std::string entry : c.trees[i]) {
        if (entry == "!") {
          r.error = "failed";
        } else if (entry.back() == '/') {
          ::mkdir((r.mountPath + "/" + entry).c_str(), 0755);
        } else {
          std::ofstream(r.mountPath + "/" + entry) << "x";
        }
      }
      records.push_back(r);
    }
    const auto root = KqBlkDiskUtils::identifyRoot(records);
    const int index = root == records.end() ? -1 : static_cast<int>(std::distance(records.begin(), root));
    EXPECT_EQ(index, c.root) << c.name;
    int i = 0;
    for (const kqblk_mountpoint& r : records) EXPECT_EQ(r.isRoot, i++ == c.root) << c.name;
  }
}

// A guest whose etc/fstab is a FIFO: the layout reads no entries from it
// and does not wait for a writer.
TEST(FixupLinux, AFifoFstabIsNotWaitedOn) {
  TempDir dir;
  kqblk_mountpoint root;
  root.device = "/dev/kqblk/x";
  root.mountPath = root.initialMountPath = dir / "MountDir-1";
  for (const std::string& d : {root.mountPath, root.mountPath + "/etc"}) ::mkdir(d.c_str(), 0755);
  makeFifo(root.mountPath + "/etc/fstab");
  std::list<kqblk_mountpoint> records = {root};
  bool laidOut = false;
  EXPECT_TRUE(returnsWithoutAWriter(root.mountPath + "/etc/fstab", [&] {
    laidOut = KqBlkDiskUtils::fixupMountPoints_Linux(dir.path(), records, {});
  }));
  EXPECT_TRUE(laidOut);
  EXPECT_TRUE(records.front().isRoot && records.front().isBound);
}
