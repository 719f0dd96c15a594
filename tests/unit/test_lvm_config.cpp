// Private LVM configurations: the file text, the filter entries, the
// directory handling and its failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "kq_log.h"
#include "kq_md5.h"
#include "kqblk_disk_utils.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string md5(const std::string& text) {
  CMd5 md5;
  md5.Start();
  md5.Process(text.data(), text.size());
  md5.End();
  uint8_t code[16];
  md5.GetCode(code);
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", code[i]);
  return hex;
}

void replaceOnce(std::string& text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

template <typename F>
std::string failure(F f) {
  try {
    f();
  } catch (const KqException& e) {
    EXPECT_EQ(e.getCode(), -1);
    return e.getMessage();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

}  // namespace

TEST(LvmConfig, VariantsAreTheTemplateWithFiltersCacheAndActivationLine) {
  // The reference template, 1360 bytes, as the product defines it with
  // preferred_names reading "^/dev/kqblk/".
  EXPECT_EQ(md5(defCfg), "52f6bbe56094edbd6c29d79c146ee4a4");
  EXPECT_EQ(ACTIVATION_ON, "\t   activation = 1\n");
  EXPECT_EQ(ACTIVATION_OFF, "\t   activation = 0\n");

  TempDir dir;
  LVMConfig config(dir.path());
  ASSERT_EQ(config.createConfig(false), 0);
  EXPECT_EQ(config.getConfigDir(), dir.path() + "/");
  std::string defaultText = slurp(dir.path() + "//default/lvm.conf");
  std::string quietText = slurp(dir.path() + "//noactivation/lvm.conf");

  replaceOnce(quietText, ACTIVATION_OFF, ACTIVATION_ON);
  replaceOnce(quietText, "//noactivation/lvm_cache", "//default/lvm_cache");
  EXPECT_EQ(quietText, defaultText);

  const std::string entries = R"( "a|kqblk|", "r|.*|")";
  replaceOnce(defaultText,
              "filter = [ " + entries + " ]\nglobal_filter = [ " + entries +
                  " ]\nuse_devicesfile = 0\nhints = \"none\"\n",
              DEVICE_FILTERS);
  replaceOnce(defaultText, dir.path() + "//default/lvm_cache", "LVM_CACHE_DIR");
  EXPECT_EQ(defaultText, defCfg);
  struct stat st;
  EXPECT_NE(stat((dir.path() + "/default/lvm_cache").c_str(), &st), 0);  // named, not made
}

TEST(LvmConfig, FilterEntriesUseTheLastPathComponent) {
  EXPECT_EQ(createFilterString({"/dev/kqblk/diskA", "C:\\images\\C", "plain"}, true),
            R"( "a|diskA|", "a|C|", "a|plain|")");
  EXPECT_EQ(createFilterString({".*"}, false), R"( "r|.*|")");
  EXPECT_EQ(createFilterString({}, true), "");

  TempDir dir;
  LVMConfig config(dir.path() + "/", {"/dev/kqblk/A", "x\\C"}, {"/dev/sd"});
  config.createConfig(false);
  EXPECT_THAT(slurp(dir.path() + "//default/lvm.conf"),
              HasSubstr("\nfilter = [  \"a|A|\", \"a|C|\", \"r|sd|\" ]\n"
                        "global_filter = [  \"a|A|\", \"a|C|\", \"r|sd|\" ]\n"));
  EXPECT_EQ(config.getConfigDir(), dir.path() + "/");
}

TEST(LvmConfig, ReuseKeepsTwoExistingVariantsAndRewritesOtherwise) {
  TempDir dir;
  LVMConfig config(dir.path());
  config.createConfig(false);
  const std::string file = dir.path() + "/default/lvm.conf";
  std::ofstream(file, std::ios::trunc) << "kept";
  config.createConfig(true);
  EXPECT_EQ(slurp(file), "kept");
  CUxDirectory::Remove(dir.path() + "/noactivation", true, false);
  config.createConfig(true);
  EXPECT_THAT(slurp(file), HasSubstr("activation = 1"));
}

TEST(LvmConfig, FailuresOfTheDirectoriesAndTheFile) {
  TempDir dir;
  LVMConfig missing(dir / "absent");
  EXPECT_EQ(failure([&] { missing.createConfig(false); }),
            "Failed to stat config directory:" + dir.path() + "/absent/:errno : 2, mode: 0");
  std::ofstream(dir / "file") << "x";
  LVMConfig file(dir / "file");
  EXPECT_THAT(failure([&] { file.createConfig(false); }),
              StartsWith("Failed to stat config directory:" + dir.path() + "/file/:errno : "));

  // A plain file where a variant directory belongs is neither removed nor
  // replaced, so lvm.conf cannot be opened below it.
  KqLogCapture log;
  std::ofstream(dir / "default") << "x";
  LVMConfig blocked(dir.path());
  EXPECT_EQ(failure([&] { blocked.createConfig(false); }),
            "Failed to create lvm config @ " + dir.path() + "//default/lvm.conf");
  EXPECT_EQ(log.find("Error ignored").size(), 2u);

  // A link is not followed by the removal: the file behind it survives.
  TempDir other;
  std::ofstream(other / "lvm.conf") << "foreign";
  unlink((dir / "default").c_str());
  ASSERT_EQ(symlink(other.path().c_str(), (dir / "default").c_str()), 0);
  EXPECT_EQ(failure([&] { blocked.createConfig(false); }),
            "Failed to stat [" + dir.path() + "//default/lvm.conf]");
  EXPECT_EQ(slurp(other / "lvm.conf"), "foreign");
}

TEST(LvmConfig, NamedAndDefaultConfigurationsUnderTheBaseDirectory) {
  TempDir dir;
  KqBlkDiskUtils::setConfigDir(dir.path().c_str(), false);
  std::unique_ptr<LVMConfig> config(KqBlkDiskUtils::initLVMConfig("req1", {"/dev/kqblk/d1"}));
  EXPECT_EQ(config->getConfigDir(), dir.path() + "/req1/");
  EXPECT_THAT(slurp(dir.path() + "/req1/noactivation/lvm.conf"),
              HasSubstr("filter = [  \"a|d1|\", \"r|.*|\" ]"));
  EXPECT_EQ(failure([] { KqBlkDiskUtils::initLVMConfig("req1", {}); }),
            "Failed to create LVM config base directory: " + dir.path() + "/req1");

  mkdir((dir / "sweep").c_str(), 0755);
  ASSERT_EQ(KqBlkDiskUtils::initDefaultLVMConfig((dir / "sweep").c_str()), 0);
  std::unique_ptr<LVMConfig> sweep(KqBlkDiskUtils::ptrDefaultLVMConfig);
  KqBlkDiskUtils::ptrDefaultLVMConfig = nullptr;
  EXPECT_THAT(slurp(dir.path() + "/sweep/default/lvm.conf"),
              HasSubstr("filter = [  \"a|kqblk|\", \"r|.*|\" ]"));
  KqBlkDiskUtils::setConfigDir("", false);
}
