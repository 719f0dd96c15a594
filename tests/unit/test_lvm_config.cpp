// Private LVM configurations: the file text, the filter entries, the
// directory handling and its failures.


#include "doubles/tool_doubles.h"
#include "kq_process.h"
#include "kqblk_disk_utils.h"
#include "support/test_util.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

void replaceOnce(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

}  // namespace

// The two variants differ in the activation line and the cache directory
// only; both lock in a private directory. (What LVM reads from them is
// checked below with lvmconfig.)
TEST(LvmConfig, VariantsDifferInActivationAndCacheOnlyAndLockPrivately) {
  TempDir dir;
  LVMConfig config(dir.path());
  ASSERT_EQ(config.createConfig(false), 0);
  const std::string defaultText = fileText(dir.path() + "//default/lvm.conf");
  std::string quietText = fileText(dir.path() + "//noactivation/lvm.conf");
  EXPECT_THAT(defaultText, HasSubstr("cache_dir = \"" + dir.path() + "//default/lvm_cache\""));
  replaceOnce(quietText, ACTIVATION_OFF, ACTIVATION_ON);
  replaceOnce(quietText, "//noactivation/lvm_cache", "//default/lvm_cache");
  EXPECT_EQ(quietText, defaultText);
  struct stat lock;
  ASSERT_EQ(stat((dir / "lock").c_str(), &lock), 0);
  EXPECT_EQ(lock.st_mode & 07777, 0700u);
}

TEST(LvmConfig, FilterEntriesAcceptOnlyTheDriversNodesOfTheDisks) {
  EXPECT_EQ(createFilterString({"/dev/kqblk/diskA", "v1.x+y_-Z"}, true),
            R"( "a|^/dev/kqblk/diskA(p[0-9]+)?$|", "a|^/dev/kqblk/v1[.]x[+]y_-Z(p[0-9]+)?$|")");
  EXPECT_EQ(createFilterString({}, true), "");

  TempDir dir;
  LVMConfig config(dir.path() + "/", {"/dev/kqblk/A", "C"}, {"B"});
  config.createConfig(false);
  const std::string entries =
      R"( "a|^/dev/kqblk/A(p[0-9]+)?$|", "a|^/dev/kqblk/C(p[0-9]+)?$|", )"
      R"("r|^/dev/kqblk/B(p[0-9]+)?$|", "r|.*|")";
  EXPECT_THAT(fileText(dir.path() + "//default/lvm.conf"),
              HasSubstr("\nfilter = [ " + entries + " ]\nglobal_filter = [ " + entries + " ]\n"));
}

// A device built on the request's (an md array, an opened LUKS volume) is
// let in by its exact node, and only a plain node under /dev/ is.
TEST(LvmConfig, StackedDevicesAreLetInByTheirExactNodeOnly) {
  LVMConfig config("/nonexistent", {"diskA"}, {});
  config.acceptStackedDevice("/dev/md_kqfd426aac_b");
  config.acceptStackedDevice("/dev/mapper/kq-HLX_1-luks0");
  EXPECT_EQ(config.filterEntries(),
            " \"a|^/dev/md_kqfd426aac_b$|\", \"a|^/dev/mapper/kq-HLX_1-luks0$|\", \"a|^/dev/kqblk/diskA(p[0-9]+)?$|\", "
            "\"r|.*|\"");
  for (const std::string node : {"/etc/passwd", "/dev/../etc/x", "/dev/a|b", "/dev/md*", "/dev/a b", "dev/md0", ""}) {
    EXPECT_THROW(config.acceptStackedDevice(node), KqException) << node;
  }
}

// Names that would rewrite lvm.conf, widen the expression or name some other
// directory's device are refused before anything is made or run.
TEST(LvmConfig, DiskNamesOutsideTheSafeSetAreRefusedBeforeAnythingIsMade) {
  TempDir dir;
  KqBlkDiskUtils::setConfigDir(dir.path().c_str(), false);
  for (const std::string name : {"a\"b", "a|b", "/dev/sda", "/dev/kqblk/", "disk1/", "", ".",
                                 "..", "two words", "C:\\x", "d.*", "d$", "d[1]"}) {
    SCOPED_TRACE(name);
    EXPECT_THAT([&] { createFilterString({"ok", name}, true); },
                throwsKq(-1, "Disk name [" + name +
                                 "] cannot be given to LVM: a disk name may hold only letters, "
                                 "digits, \".\", \"_\", \"+\" and \"-\""));
    EXPECT_THROW(KqBlkDiskUtils::initLVMConfig("req", {name}), KqException);
    EXPECT_NE(access((dir / "req").c_str(), F_OK), 0);
    LVMConfig rejecting(dir.path(), {}, {name});
    EXPECT_THROW(rejecting.createConfig(false), KqException);
    EXPECT_NE(access((dir / "default").c_str(), F_OK), 0);
  }
  KqBlkDiskUtils::setConfigDir("", false);
}

TEST(LvmConfig, ReuseKeepsTwoExistingVariantsAndRewritesOtherwise) {
  TempDir dir;
  LVMConfig config(dir.path());
  config.createConfig(false);
  const std::string file = dir.path() + "/default/lvm.conf";
  std::ofstream(file, std::ios::trunc) << "kept";
  config.createConfig(true);
  EXPECT_EQ(fileText(file), "kept");
  CUxDirectory::Remove(dir.path() + "/noactivation", true, false);
  config.createConfig(true);
  EXPECT_THAT(fileText(file), HasSubstr("activation = 1"));
}

TEST(LvmConfig, FailuresOfTheDirectoriesAndTheFile) {
  TempDir dir;
  LVMConfig missing(dir / "absent");
  EXPECT_THAT([&] { missing.createConfig(false); },
              throwsKq(-1, "Failed to stat config directory:" + dir.path() +
                               "/absent/:errno : 2, mode: 0"));
  std::ofstream(dir / "file") << "x";
  LVMConfig file(dir / "file");
  EXPECT_THAT([&] { file.createConfig(false); },
              throwsKq(-1, StartsWith("Failed to stat config directory:" + dir.path() +
                                      "/file/:errno : ")));

  // A plain file where a variant directory belongs is neither removed nor
  // replaced, so lvm.conf cannot be opened below it.
  std::ofstream(dir / "default") << "x";
  LVMConfig blocked(dir.path());
  EXPECT_THAT([&] { blocked.createConfig(false); },
              throwsKq(-1, "Failed to create lvm config @ " + dir.path() + "//default/lvm.conf"));

  // A link is not followed by the removal: the file behind it survives.
  TempDir other;
  std::ofstream(other / "lvm.conf") << "foreign";
  unlink((dir / "default").c_str());
  ASSERT_EQ(symlink(other.path().c_str(), (dir / "default").c_str()), 0);
  EXPECT_THAT([&] { blocked.createConfig(false); },
              throwsKq(-1, "Failed to stat [" + dir.path() + "//default/lvm.conf]"));
  EXPECT_EQ(fileText(other / "lvm.conf"), "foreign");
}

TEST(LvmConfig, NamedAndDefaultConfigurationsUnderTheBaseDirectory) {
  TempDir dir;
  KqBlkDiskUtils::setConfigDir(dir.path().c_str(), false);
  std::unique_ptr<LVMConfig> config(KqBlkDiskUtils::initLVMConfig("req1", {"/dev/kqblk/d1"}));
  EXPECT_EQ(config->getConfigDir(), dir.path() + "/req1/");
  EXPECT_THAT(fileText(dir.path() + "/req1/noactivation/lvm.conf"),
              HasSubstr("filter = [  \"a|^/dev/kqblk/d1(p[0-9]+)?$|\", \"r|.*|\" ]"));
  EXPECT_THAT([] { KqBlkDiskUtils::initLVMConfig("req1", {}); },
              throwsKq(-1, "Failed to create LVM config base directory: " + dir.path() + "/req1"));

  mkdir((dir / "sweep").c_str(), 0755);
  ASSERT_EQ(KqBlkDiskUtils::initDefaultLVMConfig((dir / "sweep").c_str()), 0);
  std::unique_ptr<LVMConfig> sweep(KqBlkDiskUtils::ptrDefaultLVMConfig);
  KqBlkDiskUtils::ptrDefaultLVMConfig = nullptr;
  EXPECT_THAT(fileText(dir.path() + "/sweep/default/lvm.conf"),
              HasSubstr("filter = [  \"a|^/dev/kqblk/[^/]+$|\", \"r|.*|\" ]"));
  KqBlkDiskUtils::setConfigDir("", false);
}

// Every variant keeps LVM away from the host's daemons, locks, udev and
// autoactivation, as LVM itself reads the file.
TEST(LvmConfig, LvmReadsTheHostIsolatingSettingsBackFromEveryVariant) {
  std::string out;
  std::string err;
  if (KqProcess::system("command -v lvmconfig", &out, &err, 10, false) != 0) {
    GTEST_SKIP() << "lvmconfig is not installed";
  }
  TempDir dir;
  LVMConfig config(dir.path(), {"d1"}, {});
  config.createConfig(false);
  const std::string lockDir = dir.path() + "/lock";
  for (bool useDefault : {true, false}) {
    ASSERT_EQ(KqBlkDiskUtils::runLVMCmd(
                  "lvmconfig --validate && lvmconfig global/use_lvmpolld global/event_activation "
                  "global/locking_dir activation/monitoring devices/obtain_device_list_from_udev "
                  "devices/use_devicesfile devices/hints devices/global_filter",
                  out, err, useDefault, &config),
              0)
        << err;
    EXPECT_THAT(out, HasSubstr("LVM configuration valid."));
    for (const std::string& setting : std::vector<std::string>{"use_lvmpolld=0", "event_activation=0", "locking_dir=\"" + lockDir + "\"",
          "monitoring=0", "obtain_device_list_from_udev=0", "use_devicesfile=0", "hints=\"none\"",
          R"(global_filter=["a|^/dev/kqblk/d1(p[0-9]+)?$|","r|.*|"])"}) {
      EXPECT_THAT(out, HasSubstr("\n" + setting + "\n")) << (useDefault ? "default" : "noactivation");
    }
  }
}
