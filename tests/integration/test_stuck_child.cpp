// Commands whose child sleeps uninterruptibly (a read of a FUSE file whose
// server never answers, as a read of a recalling device whose service has
// stopped): the caller gets a failure within the time-out and a bounded
// grace, and the child is collected whenever it ends (root).

#include <chrono>
#include <future>
#include <thread>

#include "kq_log.h"
#include "kq_process.h"
#include "kqblk_disk_utils.h"
#include "support/silent_fuse.h"
#include "support/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

class StuckChild : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    fuse.reset(new SilentFuse());
  }
  // The shell records its pid, then becomes the stuck reader.
  std::string stuckReader() const {
    return "echo $$ > " + pidFile + "; exec cat " + fuse->file() + " > /dev/null";
  }
  // The stuck child's state letter from /proc ("" once it is gone).
  std::string state() const {
    std::ifstream stat("/proc/" + std::to_string(pid()) + "/stat");
    std::string ignored, name, letter;
    stat >> ignored >> name >> letter;
    return letter;
  }
  pid_t pid() const {
    pid_t pid = 0;
    std::ifstream(pidFile) >> pid;
    return pid;
  }
  // Answers the reads, then expects the child collected: gone, not a zombie.
  void releaseAndExpectCollected() {
    ASSERT_GT(pid(), 0);
    fuse->release();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!state().empty() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(state(), "") << "the child was not collected once it could end";
  }
  // Runs `call`; fails the test when it has not returned after `seconds`
  // (then frees the child so the test can end).
  template <class F>
  auto returnsWithin(int seconds, F call) -> decltype(call()) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
      ADD_FAILURE() << "did not return within " << seconds << " s";
      fuse->release();
    } else {
      EXPECT_EQ(state(), "D") << "the child was not stuck: the test proves nothing";
    }
    return result.get();
  }

  TempDir dir;
  const std::string pidFile = dir / "pid";
  std::unique_ptr<SilentFuse> fuse;
};

}  // namespace

TEST_F(StuckChild, SystemReturnsAfterTheTimeOutAndAGrace) {
  const auto result = returnsWithin(1 + 5 + 3, [this] {
    std::string out, err;
    const int rc = KqProcess::system(stuckReader(), &out, &err, 1, false);
    return std::make_pair(rc, err);
  });
  EXPECT_EQ(result.first, -1);
  EXPECT_EQ(result.second, "timedout");
  releaseAndExpectCollected();
}

TEST_F(StuckChild, LvmRunnerReportsTheChildAndReturns) {
  LVMConfig config(dir.path());
  config.createConfig(false);
  ScopedConfig settings("[Session]\nnHLXSystemCmdTimeout = 1\n");
  KqLogCapture log;
  const int rc = returnsWithin(1 + 15 + 5 + 3, [&] {
    std::string out, err;
    return KqBlkDiskUtils::runLVMCmd(stuckReader(), out, err, false, &config);
  });
  EXPECT_EQ(rc, 1);
  const std::string child = "child pid [" + std::to_string(pid()) + "]";
  EXPECT_EQ(log.find("Failed to kill " + child + " with SIGKILL").size(), 1u);
  EXPECT_EQ(log.find("Failed to kill " + child + " with SIGTERM").size(), 1u);
  releaseAndExpectCollected();
}
