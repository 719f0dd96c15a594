// The machine-wide named mutex across processes.
#include <atomic>
#include <signal.h>
#include <sys/wait.h>
#include <thread>

#include "kq_sync.h"
#include "support/test_util.h"

namespace {

// Forks a child that takes the lock, reports "L" on the pipe, then holds it
// for holdMs (or until killed) and exits.
pid_t lockInChild(const std::string& name, int reportFd, int holdMs) {
  const pid_t pid = fork();
  if (pid == 0) {
    KqNamedMutex m(name);
    if (!m.lock()) _exit(2);
    (void)!write(reportFd, "L", 1);
    usleep(static_cast<useconds_t>(holdMs) * 1000);
    m.unlock();
    _exit(0);
  }
  return pid;
}

bool readyWithin(int fd, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
  return select(fd + 1, &set, nullptr, nullptr, &tv) == 1;
}

class NamedMutex : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KQBLK_LOCK_DIR", (dir / "locks").c_str(), 1);
    ASSERT_EQ(pipe(report), 0);
  }
  void TearDown() override {
    unsetenv("KQBLK_LOCK_DIR");
    close(report[0]);
    close(report[1]);
  }
  TempDir dir;
  int report[2];
};

}  // namespace

TEST_F(NamedMutex, ExcludesASecondProcessUntilReleased) {
  KqNamedMutex mine("HLX_TEST_MUTEX");
  ASSERT_TRUE(mine.lock());
  const pid_t child = lockInChild("HLX_TEST_MUTEX", report[1], 0);
  EXPECT_FALSE(readyWithin(report[0], 300));
  mine.unlock();
  EXPECT_TRUE(readyWithin(report[0], 5000));
  int status;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(NamedMutex, KilledHolderReleasesIt) {
  const pid_t child = lockInChild("HLX_TEST_MUTEX", report[1], 60000);
  ASSERT_TRUE(readyWithin(report[0], 5000));
  KqNamedMutex mine("HLX_TEST_MUTEX");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(mine.lock());
  mine.unlock();
}

TEST_F(NamedMutex, TwoObjectsInOneProcessExcludeEachOtherAndNamesStayInside) {
  KqNamedMutex a("same");
  KqNamedMutex b("same");
  ASSERT_TRUE(a.lock());
  std::atomic<bool> got{false};
  std::thread t([&] { got = b.lock(); b.unlock(); });
  usleep(200000);
  EXPECT_FALSE(got);
  a.unlock();
  t.join();
  EXPECT_TRUE(got);
  KqNamedMutex escape("../../etc/x");
  EXPECT_EQ(escape.lockFilePath(), dir / "locks/.._.._etc_x.lock");
}

// Locks live in root's /run/kqblk; a lock directory another user could
// change is refused, and no lock file is made through it.
TEST_F(NamedMutex, LockDirectoryIsRootsAlone) {
  unsetenv("KQBLK_LOCK_DIR");
  EXPECT_EQ(KqNamedMutex::lockDirectory(), "/run/kqblk/lock");
  TempDir real;
  ASSERT_EQ(symlink(real.path().c_str(), (dir / "link").c_str()), 0);
  for (const char* sub : {"theirs", "open"}) mkdir((dir / sub).c_str(), 0700);
  ASSERT_EQ(chown((dir / "theirs").c_str(), 65534, 65534), 0);
  chmod((dir / "open").c_str(), 0777);
  const std::pair<std::string, std::string> cases[] = {
      {dir / "link", dir / "link is a symbolic link"},
      {dir / "theirs", dir / "theirs is owned by uid 65534, not root"},
      {dir / "open", dir / "open is writable by group or others"},
  };
  for (const auto& c : cases) {
    setenv("KQBLK_LOCK_DIR", c.first.c_str(), 1);
    KqNamedMutex m("HLX_TEST_MUTEX");
    EXPECT_FALSE(m.lock()) << c.first;
    EXPECT_EQ(m.errorText(), c.second);
    EXPECT_NE(access((c.first + "/HLX_TEST_MUTEX.lock").c_str(), F_OK), 0) << c.first;
  }
}
