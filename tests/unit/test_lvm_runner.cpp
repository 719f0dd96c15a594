// The LVM command runner: variant selection, status and streams, refusals
// and the time-out with its kill sequence.


#include "doubles/tool_doubles.h"
#include "kq_log.h"
#include "kqblk_disk_utils.h"
#include "support/test_util.h"

namespace {

class LvmRunner : public ::testing::Test {
 protected:
  LvmRunner() { config.createConfig(false); }
  TempDir dir;
  LVMConfig config{dir.path()};
  std::string out;
  std::string err;
};

}  // namespace

TEST_F(LvmRunner, PointsLvmAtTheChosenVariantAndReturnsStatusAndStreams) {
  ScopedConfig settings("");
  KqLogCapture log;
  out = err = "old";
  EXPECT_EQ(KqBlkDiskUtils::runLVMCmd("printf %s \"$LVM_SYSTEM_DIR\"; echo oops >&2; exit 3", out,
                                      err, true, &config),
            3);
  EXPECT_EQ(out, "/" + dir.path() + "//default");
  EXPECT_EQ(err, "oops\n");
  EXPECT_EQ(KqBlkDiskUtils::runLVMCmd("printf %s \"$LVM_SYSTEM_DIR\" | cat", out, err, false,
                                      &config),
            0);
  EXPECT_EQ(out, "/" + dir.path() + "//noactivation");
  EXPECT_EQ(err, "");
  // Without the key the time-out is 120 seconds.
  EXPECT_EQ(log.find("and wait for [120] seconds to check completion").size(), 2u);
}

// No configuration, or a file missing, cut short, emptied or without its
// filter (which would leave LVM unconfined): nothing runs.
TEST_F(LvmRunner, RefusesWithoutAConfigurationOrItsWholeFile) {
  const std::string file = dir.path() + "//noactivation/lvm.conf";
  const std::string marker = dir / "ran";
  const auto run = [&](LVMConfig* with) {
    return [&, with] { KqBlkDiskUtils::runLVMCmd("touch " + marker, out, err, false, with); };
  };
  const auto refused = [](const std::string& message) {
    return throwsKqIn("KqBlkDiskUtils::runLVMCmd", -1, message);
  };
  EXPECT_THAT(run(nullptr),
              refused("LVMConfig object is not initialized. Cannot run LVM commands"));
  unlink(file.c_str());
  EXPECT_THAT(run(&config),
              refused("lvm config file " + file +
                      "not present/accessible as stat() failed, cannot run LVM commands"));
  const std::string whole = config.variantText(dir.path() + "//noactivation", false);
  for (const std::string& text : {whole.substr(0, whole.size() / 2), std::string(),
                                 whole.substr(0, whole.find("filter"))}) {
    std::ofstream(file, std::ios::trunc) << text;
    EXPECT_THAT(run(&config), refused("lvm config file " + file +
                                      " does not hold this configuration's device filter, cannot "
                                      "run LVM commands"))
        << text.size() << " bytes";
  }
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

// A time-out of 1 second against a command that would take 60: the kill
// reaches the whole process group and ends as soon as the child is collected.
TEST_F(LvmRunner, TimeOutKillsTheCommandAndReportsTimedout) {
  ScopedConfig settings("[Session]\nnHLXSystemCmdTimeout = 1\n");
  KqLogCapture log;
  const std::string pidFile = dir / "sleeper";
  out = "before";
  // The shell runs the sleeper as a child of its own, as it runs LVM.
  EXPECT_EQ(KqBlkDiskUtils::runLVMCmd("echo partial; sleep 60 & echo $! > " + pidFile + "; wait",
                                      out, err, true, &config),
            1);
  EXPECT_EQ(err, "timedout");
  EXPECT_EQ(out, "before");
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
