// Child processes: status, streams, time-outs, inherited descriptors.
#include <dirent.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "kq_log.h"
#include "kq_process.h"
#include "kq_sync.h"
#include "support/test_util.h"

using ::testing::HasSubstr;

TEST(Process, ReturnsStatusAndBothStreamsReplacingOldTextAndLargeOutputDoesNotBlock) {
  std::string out = "old", err = "old";
  EXPECT_EQ(KqProcess::system("echo to-out; echo to-err >&2; exit 3", &out, &err, 0, false), 3);
  EXPECT_EQ(out, "to-out\n");
  EXPECT_EQ(err, "to-err\n");
  EXPECT_EQ(KqProcess::system("true", &out, &err, 0, true), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(KqProcess::system("kill -TERM $$", &out, &err, 0, false), 128 + SIGTERM);
  EXPECT_EQ(KqProcess::system("head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2", &out,
                              &err, 20, false), 0);
  EXPECT_EQ(out.size(), 300000u);
  EXPECT_EQ(err.size(), 200000u);
}

TEST(Process, TimeOutKillsTheWholeGroupAndSaysTimedout) {
  TempDir dir;
  const std::string marker = dir / "survived";
  std::string out, err;
  // The grandchild would write the marker after the time-out if it survived.
  const int rc = KqProcess::system("(sleep 3; touch " + marker + ") & echo started; sleep 30",
                                   &out, &err, 1, false);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(err, "timedout");
  EXPECT_EQ(out, "started\n");
  sleep(3);
  struct stat st;
  EXPECT_NE(stat(marker.c_str(), &st), 0);
}

TEST(Process, InstanceFormReportsStartFailuresAndTimedoutAndLeavesTheChildToTheCaller) {
  std::string err;
  const char* missing[] = {"/nonexistent/program", nullptr};
  EXPECT_FALSE(KqProcess().StartProcess(missing, &err, 0));
  EXPECT_THAT(err, HasSubstr("/nonexistent/program"));

  KqProcess proc;
  proc.TrapIO(true, true);
  const char* argv[] = {"/bin/sh", "-c", "echo partial; sleep 30", nullptr};
  ASSERT_TRUE(proc.StartProcess(argv, &err, 0)) << err;
  ASSERT_GT(proc.GetPid(), 0);
  int rc = 0;
  EXPECT_FALSE(proc.WaitForProcessToEnd(&rc, &err, 1));
  EXPECT_EQ(err, "timedout");
  EXPECT_EQ(kill(proc.GetPid(), 0), 0);  // still there: the caller decides
  kill(proc.GetPid(), SIGKILL);
  EXPECT_TRUE(proc.WaitForProcessToEnd(&rc, &err, 5));
  EXPECT_EQ(rc, 128 + SIGKILL);
  std::string out;
  proc.GetIO(&out, &err);
  EXPECT_EQ(out, "partial\n");
}

namespace {

// Descriptors above 2 of this process that a child would inherit.
std::set<int> inheritableDescriptors() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) {
    const int fd = std::atoi(e->d_name);
    if (e->d_name[0] == '.' || fd <= 2 || fd == dirfd(d)) continue;
    if (!(fcntl(fd, F_GETFD) & FD_CLOEXEC)) fds.insert(fd);
  }
  closedir(d);
  return fds;
}

}  // namespace

TEST(Process, ChildrenInheritNothingTheLibraryOpened) {
  // Whatever the test runner itself passed down is not the library's doing.
  const std::set<int> before = inheritableDescriptors();
  TempDir dir;
  ScopedConfig config("[Log]\nsKqBlkLogFile = " + dir / "log" + "\n");
  EvDebug::Debug("test", "opens the log file");
  setenv("KQBLK_LOCK_DIR", dir.path().c_str(), 1);
  KqNamedMutex held("inherit-test");
  ASSERT_TRUE(held.lock());
  KqProcess running;  // its pipes stay open while it runs
  running.TrapIO(true, true);
  const char* argv[] = {"/bin/sh", "-c", "sleep 5", nullptr};
  std::string err;
  ASSERT_TRUE(running.StartProcess(argv, &err, 0));

  EXPECT_EQ(inheritableDescriptors(), before);
  // Nor what the hosting process opened without close-on-exec.
  const int hostOwn = ::open((dir / "host-own").c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(hostOwn, 0);
  std::string out;
  ASSERT_EQ(KqProcess::system("for f in /proc/$$/fd/*; do readlink \"$f\"; done; true", &out, &err,
                              10, false), 0) << err;
  EXPECT_EQ(out.find(dir.path()), std::string::npos) << out;
  ::close(hostOwn);

  kill(running.GetPid(), SIGKILL);
  int rc;
  running.WaitForProcessToEnd(&rc, &err, 5);
  held.unlock();
  unsetenv("KQBLK_LOCK_DIR");
}

TEST(Process, WithoutUdevChildrenMakeTheirOwnDeviceNodes) {
  struct stat st;
  if (stat("/run/udev/control", &st) == 0) GTEST_SKIP() << "udev runs here";
  std::string out, err;
  ASSERT_EQ(KqProcess::system("echo \"$DM_DISABLE_UDEV\"", &out, &err, 10, false), 0);
  EXPECT_EQ(out, "1\n");
}

// A service started with a short PATH, or one a user could write to, still
// runs the system's tools; tests put their own first through KQBLK_TOOL_PATH.
TEST(Process, ToolsAreLookedUpOnTheFixedSearchPathWhateverPathWeGot) {
  const std::string path = std::getenv("PATH");
  const char* tool = std::getenv("KQBLK_TOOL_PATH");
  const std::string toolPath = tool ? tool : "";
  unsetenv("KQBLK_TOOL_PATH");
  setenv("PATH", "/nonexistent", 1);
  std::string out, err;
  EXPECT_EQ(KqProcess::system("echo \"$PATH\"; command -v blockdev", &out, &err, 10, false), 0);
  EXPECT_EQ(out, "/usr/sbin:/usr/bin:/sbin:/bin\n/usr/sbin/blockdev\n");
  setenv("KQBLK_TOOL_PATH", "/opt/doubles:/usr/bin", 1);
  EXPECT_EQ(KqProcess::system("echo \"$PATH\"", &out, &err, 10, false), 0);
  EXPECT_EQ(out, "/opt/doubles:/usr/bin\n");
  setenv("PATH", path.c_str(), 1);
  if (tool) {
    setenv("KQBLK_TOOL_PATH", toolPath.c_str(), 1);
  } else {
    unsetenv("KQBLK_TOOL_PATH");
  }
}

namespace {

// Makes pidfd_open fail with ENOSYS for this thread and its children, as on
// kernels before 5.3. Irreversible: only for a death test's own process.
bool withoutPidfd() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                               filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
         syscall(SYS_pidfd_open, getpid(), 0) < 0 && errno == ENOSYS;
}

// Status, streams, and a time-out that still kills, without pidfd_open.
void runWithoutPidfd() {
  if (!withoutPidfd()) {
    fprintf(stderr, "cannot refuse pidfd_open\n");
    _exit(2);
  }
  std::string out, err;
  const int rc = KqProcess::system("echo out; echo err >&2; exit 3", &out, &err, 10, false);
  if (rc != 3 || out != "out\n" || err != "err\n") {
    fprintf(stderr, "status %d out [%s] err [%s]\n", rc, out.c_str(), err.c_str());
    _exit(1);
  }
  const auto start = std::chrono::steady_clock::now();
  const int timedOut = KqProcess::system("sleep 30", &out, &err, 1, false);
  if (timedOut != -1 || err != "timedout" ||
      std::chrono::steady_clock::now() - start > std::chrono::seconds(5)) {
    fprintf(stderr, "time-out: status %d err [%s]\n", timedOut, err.c_str());
    _exit(1);
  }
  _exit(0);
}

}  // namespace

TEST(ProcessDeathTest, KernelsWithoutPidfdOpenFallBackToPollingWaitpid) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_EXIT(runWithoutPidfd(), ::testing::ExitedWithCode(0), "");
}
