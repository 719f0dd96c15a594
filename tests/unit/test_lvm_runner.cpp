// The LVM command runner: variant selection, status and streams, refusals
// and the time-out with its kill sequence.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;

namespace {

struct RunnerConfig {
  RunnerConfig() { config.createConfig(false); }
  TempDir dir;
  LVMConfig config{dir.path()};
};

}  // namespace

TEST(LvmRunner, PointsLvmAtTheChosenVariantAndReturnsStatusAndStreams) {
  RunnerConfig rc;
  ScopedConfig settings("");
  KqLogCapture log;
  std::string out = "old";
  std::string err = "old";
  EXPECT_EQ(KqBlkDiskUtils::runLVMCmd("printf %s \"$LVM_SYSTEM_DIR\"; echo oops >&2; exit 3", out,
                                      err, true, &rc.config),
            3);
  EXPECT_EQ(out, "/" + rc.dir.path() + "//default");
  EXPECT_EQ(err, "oops\n");
  EXPECT_EQ(KqBlkDiskUtils::runLVMCmd("printf %s \"$LVM_SYSTEM_DIR\" | cat", out, err, false,
                                      &rc.config),
            0);
  EXPECT_EQ(out, "/" + rc.dir.path() + "//noactivation");
  EXPECT_EQ(err, "");
  // Without the key the time-out is 120 seconds.
  EXPECT_EQ(log.find("and wait for [120] seconds to check completion").size(), 2u);
  EXPECT_EQ(log.find("output of LVM command is: rc [3]").size(), 1u);
}

TEST(LvmRunner, RefusesWithoutAConfigurationOrItsFile) {
  RunnerConfig rc;
  std::string out;
  std::string err;
  try {
    KqBlkDiskUtils::runLVMCmd("true", out, err, true, nullptr);
    FAIL() << "no exception";
  } catch (const KqException& e) {
    EXPECT_EQ(e.getMessage(), "LVMConfig object is not initialized. Cannot run LVM commands");
    EXPECT_EQ(e.getFuncName(), "KqBlkDiskUtils::runLVMCmd");
    EXPECT_EQ(e.getCode(), -1);
  }
  const std::string file = rc.dir.path() + "//noactivation/lvm.conf";
  unlink(file.c_str());
  const std::string marker = rc.dir / "ran";
  try {
    KqBlkDiskUtils::runLVMCmd("touch " + marker, out, err, false, &rc.config);
    FAIL() << "no exception";
  } catch (const KqException& e) {
    EXPECT_EQ(e.getMessage(), "lvm config file " + file +
                                  "not present/accessible as stat() failed, cannot run LVM commands");
  }
  EXPECT_NE(access(marker.c_str(), F_OK), 0);

  // A file cut short, emptied or replaced would leave LVM unconfined.
  rc.config.createConfig(false);
  const std::string whole = rc.config.variantText(rc.dir.path() + "//noactivation", false);
  for (const std::string& text : {whole.substr(0, whole.size() / 2), std::string(),
                                 whole.substr(0, whole.find("filter"))}) {
    std::ofstream(file, std::ios::trunc) << text;
    try {
      KqBlkDiskUtils::runLVMCmd("touch " + marker, out, err, false, &rc.config);
      ADD_FAILURE() << "ran under a file of " << text.size() << " bytes";
    } catch (const KqException& e) {
      EXPECT_EQ(e.getMessage(), "lvm config file " + file +
                                    " does not hold this configuration's device filter, cannot "
                                    "run LVM commands");
    }
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
  }
}

// A time-out of 1 second; the kill sequence ends as soon as the child is
// collected.
TEST(LvmRunner, TimeOutKillsTheCommandAndReportsTimedout) {
  RunnerConfig rc;
  ScopedConfig settings("[Session]\nnHLXSystemCmdTimeout = 1\n");
  KqLogCapture log;
  const std::string pidFile = rc.dir / "sleeper";
  std::string out = "before";
  std::string err;
  const auto start = std::chrono::steady_clock::now();
  // The shell runs the sleeper as a child of its own, as it runs LVM.
  const int result = KqBlkDiskUtils::runLVMCmd(
      "echo partial; sleep 60 & echo $! > " + pidFile + "; wait", out, err, true, &rc.config);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, 1);
  EXPECT_EQ(err, "timedout");
  EXPECT_EQ(out, "before");
  EXPECT_LT(took, std::chrono::seconds(10));
  EXPECT_EQ(log.find("and wait for [1] seconds").size(), 1u);
  EXPECT_EQ(log.find("timed out. error [timedout] - will attempt to terminate child pid").size(),
            1u);
  // The shell was reaped, so no probe mistook it for a survivor.
  EXPECT_TRUE(log.find("Failed to kill child pid").empty());

  pid_t sleeper = 0;
  std::ifstream(pidFile) >> sleeper;
  ASSERT_GT(sleeper, 0);
  std::ifstream stat("/proc/" + std::to_string(sleeper) + "/stat");
  std::string pid, name, state;
  if (stat >> pid >> name >> state && name == "(sleep)") {
    EXPECT_EQ(state, "Z") << "the sleeper below the shell still runs";
  }
}
