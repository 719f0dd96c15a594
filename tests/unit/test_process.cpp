// Child processes: status, streams, time-outs, inherited descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "kq_log.h"
#include "kq_process.h"
#include "kq_sync.h"
#include "support/temp_dir.h"

using ::testing::HasSubstr;

TEST(Process, ReturnsStatusAndBothStreamsReplacingOldText) {
  std::string out = "old", err = "old";
  EXPECT_EQ(KqProcess::system("echo to-out; echo to-err >&2; exit 3", &out, &err, 0, false), 3);
  EXPECT_EQ(out, "to-out\n");
  EXPECT_EQ(err, "to-err\n");
  EXPECT_EQ(KqProcess::system("true", &out, &err, 0, true), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(KqProcess::system("kill -TERM $$", &out, &err, 0, false), 128 + SIGTERM);
}

TEST(Process, LargeOutputOnBothStreamsDoesNotBlock) {
  std::string out, err;
  EXPECT_EQ(KqProcess::system("head -c 300000 /dev/zero; head -c 200000 /dev/zero >&2", &out,
                              &err, 20, false),
            0);
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

TEST(Process, InstanceFormReportsTimedoutAndLeavesTheChildToTheCaller) {
  KqProcess proc;
  proc.TrapIO(true, true);
  const char* argv[] = {"/bin/sh", "-c", "echo partial; sleep 30", nullptr};
  std::string err;
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

TEST(Process, StartFailureIsReported) {
  KqProcess proc;
  const char* argv[] = {"/nonexistent/program", nullptr};
  std::string err;
  EXPECT_FALSE(proc.StartProcess(argv, &err, 0));
  EXPECT_THAT(err, HasSubstr("/nonexistent/program"));
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
  std::string out;
  ASSERT_EQ(KqProcess::system("for f in /proc/$$/fd/*; do readlink \"$f\"; done; true", &out, &err,
                              10, false), 0) << err;
  EXPECT_EQ(out.find(dir.path()), std::string::npos) << out;

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
