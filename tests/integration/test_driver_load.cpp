// Loading the driver through the base directory's script (root): what runs,
// what the caller learns, and one script run at a time across processes.
#include <fcntl.h>
#include <sys/wait.h>

#include <cstring>

#include "kqblk_disk_utils.h"
#include "kqblk_driver.h"
#include "kqblk_driver_load.h"
#include "support/child_process.h"
#include "support/disk_image.h"
#include "support/exposed_disk.h"
#include "support/guest_request.h"
#include "support/guest_image.h"
#include "support/test_util.h"

using ::testing::HasSubstr;

namespace {

// A base directory whose unix_drv.sh runs `body` and counts its runs.
struct BaseDir {
  explicit BaseDir(const std::string& body) {
    const std::string script = dir / "unix_drv.sh";
    std::ofstream(script) << "#!/bin/sh\necho \"$@\" >> \"$(dirname \"$0\")/runs\"\n" << body << "\n";
    ::chmod(script.c_str(), 0755);
  }
  int runs() const {
    std::ifstream in(dir / "runs");
    int n = 0;
    for (std::string line; std::getline(in, line); ++n) {
    }
    return n;
  }
  TempDir dir;
};

// Restores the driver's debug file as the test found it.
struct DebugFileGuard {
  DebugFileGuard() : path(std::string(KqBlkDriverUnix::controlDirectory()) + "/debug") {
    std::ifstream in(path);
    existed = static_cast<bool>(in);
    if (existed) std::getline(in, old);
  }
  ~DebugFileGuard() {
    if (existed) {
      std::ofstream(path) << old << "\n";
    } else {
      ::unlink(path.c_str());
    }
  }
  std::string path, old;
  bool existed = false;
};

}  // namespace

TEST(LoadKqblkDriver, RunsTheBaseDirectorysScriptAndReportsWhatFailed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const DebugFileGuard guard;
  struct Case {
    const char* name;
    const char* body;
    const char* config;  // "@BASE@" stands for the base directory
    bool passBaseDir;
    bool loaded;
    int runs;
    const char* errorText;  // "unchanged": left as the caller had it
    const char* debugFile;  // expected content; nullptr: not checked
  };
  const Case cases[] = {
      {"Loads", "exec " KQBLK_UNIX_DRV " -a kqblk", "[Session]\nnKqBlkDriverDebugLevel = 3\n", true,
       true, 1, "unchanged", "3"},
      {"FailingScript", "echo 'no fuse here' >&2; exit 1", "", true, false, 1, "no fuse here\n",
       nullptr},
      {"BaseDirFromTheConfiguration", "exit 0", "[Base]\ndBASEHOME = @BASE@ \n", false, true, 1,
       "unchanged", nullptr},
      {"NoBaseDirAnywhere", "exit 0", "", false, false, 0, "unchanged", nullptr},
  };
  for (const Case& c : cases) {
    BaseDir base(c.body);
    std::string config = c.config;
    const size_t at = config.find("@BASE@");
    if (at != std::string::npos) config.replace(at, 6, base.dir.path());
    const ScopedConfig scoped(config);
    std::string baseDir = c.passBaseDir ? base.dir.path() : "";
    std::string errorText = "unchanged";
    EXPECT_EQ(KqBlkDiskUtils::LoadKqblkDriver(baseDir, errorText), c.loaded) << c.name;
    EXPECT_EQ(base.runs(), c.runs) << c.name;
    EXPECT_EQ(errorText, c.errorText) << c.name;
    if (c.runs) {
      EXPECT_EQ(baseDir, base.dir.path()) << c.name;
    }
    if (c.debugFile) {
      std::ifstream in(guard.path);
      std::string level;
      std::getline(in, level);
      EXPECT_EQ(level, c.debugFile) << c.name;
    }
  }
}

// Two processes load at once: the script never runs twice at the same time.
TEST(LoadKqblkDriver, OneLoadAtATimeAcrossProcesses) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  BaseDir base(
      "mkdir \"$(dirname \"$0\")/busy\" 2>/dev/null || { echo overlap >&2; exit 1; }\n"
      "sleep 1\nrmdir \"$(dirname \"$0\")/busy\"");
  pid_t children[2];
  for (pid_t& child : children) {
    child = ::fork();
    if (child == 0) {
      std::string baseDir = base.dir.path(), errorText;
      ::_exit(KqBlkDiskUtils::LoadKqblkDriver(baseDir, errorText) ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a load overlapped another";
  }
  EXPECT_EQ(base.runs(), 2);
}

// A holder of the driver-load lock that never lets go: the load gives up
// after its wait and names the holder.
TEST(LoadKqblkDriver, AHeldLockTimesOutNamingItsHolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  BaseDir base("exit 0");
  setenv("KQBLK_LOCK_DIR", base.dir.path().c_str(), 1);
  Child holder({"/usr/bin/flock", "-F", base.dir / (std::string(HLX_KQBLK_DRIVER_MUTEX_NAME) + ".lock"),
                "/bin/sh", "-c", "echo held; exec sleep 600"});
  ASSERT_EQ(holder.readLine(), "held\n");
  const uint32_t wait = gKqblkDriverLoadWaitMs;
  gKqblkDriverLoadWaitMs = 300;
  std::string baseDir = base.dir.path(), errorText;
  EXPECT_FALSE(KqBlkDiskUtils::LoadKqblkDriver(baseDir, errorText));
  gKqblkDriverLoadWaitMs = wait;
  unsetenv("KQBLK_LOCK_DIR");
  EXPECT_THAT(errorText, HasSubstr("is held by process " + std::to_string(holder.pid())));
  EXPECT_EQ(base.runs(), 0);
}

// The level written at loading reaches the engine: with the log at its
// default verbosity, each recall shows at driver debug level 3 and not at 0.
TEST(LoadKqblkDriver, TheEnginesLogDetailFollowsTheDriversDebugLevel) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const DebugFileGuard guard;
  TempDir dir;
  const std::string log = dir / "log";
  const ScopedConfig scoped("[Session]\nnKqBlkDriverDebugLevel = 3\n[Log]\nsKqBlkLogFile = " + log +
                            "\nnKqBlkLogLevel = 1\n");
  std::string baseDir = std::string(KQBLK_UNIX_DRV).substr(0, std::strlen(KQBLK_UNIX_DRV) - 12);
  std::string errorText;
  ASSERT_TRUE(KqBlkDiskUtils::LoadKqblkDriver(baseDir, errorText)) << errorText;
  const RequestEnvironment environment;
  DiskImage image(dir / "disk.img", 8);
  ExposedDisk disk(image.path(), 8u << 20, dir.path());
  disk.expose();
  auto recallLines = [&] {
    std::ifstream in(log);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += line.find("recalling ") != std::string::npos;
    return n;
  };
  auto readAt = [&](off_t offset) {
    const int fd = ::open(disk.devPath.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    alignas(4096) static char buf[65536];
    EXPECT_EQ(::pread(fd, buf, sizeof buf, offset), static_cast<ssize_t>(sizeof buf));
    ::close(fd);
  };
  readAt(4 << 20);
  const int atThree = recallLines();
  EXPECT_GT(atThree, 0);
  std::ofstream(guard.path) << "0\n";
  ::usleep(1100000);  // the engine looks at the level once a second
  readAt(6 << 20);
  EXPECT_EQ(recallLines(), atThree);
}
