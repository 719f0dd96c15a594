#include "kq_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "kq_log.h"
#include "kq_string.h"

extern char** environ;

namespace {

const char kUdevControl[] = "/run/udev/control";
// How often the wait looks at a child when no pidfd tells it.
const int kPollMs = 50;
// How long system() waits for a killed child before leaving it.
const uint32_t kKillGraceMs = 5000;

bool udevRunning() {
  struct stat st;
  return stat(kUdevControl, &st) == 0;
}

// The child's environment: ours, with the tools' search path, plus
// DM_DISABLE_UDEV=1 without udev. A service started with a short PATH (or
// one a user could write to) must still run the system's fsck and blockdev.
std::vector<std::string> childEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "DM_DISABLE_UDEV=", 16) == 0 || std::strncmp(*e, "PATH=", 5) == 0) continue;
    env.emplace_back(*e);
  }
  env.push_back("PATH=" + KqToolSearchPath());
  if (!udevRunning()) env.emplace_back("DM_DISABLE_UDEV=1");
  return env;
}

int statusToRc(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void drain(int& fd, std::string& into) {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    close(fd);  // end of stream or a hard error
    fd = -1;
    return;
  }
}

// Waits for `pid` on a thread of its own, so that a child that does not end
// now (in uninterruptible sleep, or left running) leaves no zombie and
// blocks no one.
void leaveToReaper(pid_t pid) {
  try {
    std::thread([pid] {
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    EvDebug::Debug("KqProcess", "Child pid [%d] left to a reaper thread", static_cast<int>(pid));
  } catch (const std::system_error& e) {
    EvDebug::Error("KqProcess", "No reaper thread for child pid [%d]: %s", static_cast<int>(pid),
                   e.what());
  }
}

}  // namespace

std::string KqToolSearchPath() {
  const char* override = std::getenv("KQBLK_TOOL_PATH");
  return override && *override ? override : "/usr/sbin:/usr/bin:/sbin:/bin";
}

KqProcess::~KqProcess() {
  closePipes();
  if (m_pid > 0 && !m_reaped && !tryReap()) leaveToReaper(m_pid);
}

bool KqProcess::tryReap() {
  pid_t w;
  do {
    w = waitpid(m_pid, &m_status, WNOHANG);
  } while (w < 0 && errno == EINTR);
  // ECHILD: no child of ours by that pid any more; nothing left to collect.
  if (w == m_pid || (w < 0 && errno == ECHILD)) m_reaped = true;
  return m_reaped;
}

bool KqProcess::Reap(uint32_t withinMs) {
  if (m_pid <= 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
  while (!m_reaped && !tryReap()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  closePipes();
  return true;
}

void KqProcess::closePipes() {
  if (m_outFd >= 0) close(m_outFd);
  if (m_errFd >= 0) close(m_errFd);
  m_outFd = m_errFd = -1;
}

void KqProcess::TrapIO(bool out, bool err) {
  m_trapOut = out;
  m_trapErr = err;
}

bool KqProcess::StartProcess(const char* const* argv, std::string* err, uint32_t) {
  if (m_pid > 0) {
    *err = "process already started";
    return false;
  }
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if ((m_trapOut && pipe2(outPipe, O_CLOEXEC) != 0) ||
      (m_trapErr && pipe2(errPipe, O_CLOEXEC) != 0)) {
    *err = FXString::Format("pipe failed: %s", std::strerror(errno));
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
      if (fd >= 0) close(fd);
    }
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (m_trapOut) posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  if (m_trapErr) posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // Nothing else reaches the child, also what the hosting process opened
  // without close-on-exec: mount helpers such as ntfs-3g stay behind as
  // daemons and would hold it for good.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A group of its own, so that a time-out can end the shell and its children.
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> env = childEnvironment();
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attr, const_cast<char* const*>(argv),
                             envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (outPipe[1] >= 0) close(outPipe[1]);
  if (errPipe[1] >= 0) close(errPipe[1]);
  if (rc != 0) {
    if (outPipe[0] >= 0) close(outPipe[0]);
    if (errPipe[0] >= 0) close(errPipe[0]);
    *err = FXString::Format("cannot start %s: %s", argv[0], std::strerror(rc));
    return false;
  }
  m_pid = pid;
  m_reaped = false;
  m_outFd = outPipe[0];
  m_errFd = errPipe[0];
  for (int fd : {m_outFd, m_errFd}) {
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  m_out.clear();
  m_err.clear();
  return true;
}

bool KqProcess::WaitForProcessToEnd(int* rc, std::string* err, uint32_t timeoutSeconds) {
  if (m_pid <= 0 || m_reaped) {
    *err = "no process to wait for";
    return false;
  }
  // Without pidfd_open (kernels before 5.3, or a filter that refuses it) the
  // loop polls waitpid instead.
  const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool exited = false;
  bool timedOut = false;
  // Read both streams until the process has ended and they are closed, so a
  // child writing more than a pipe holds never blocks.
  while (!exited || m_outFd >= 0 || m_errFd >= 0) {
    int waitMs = -1;
    if (timeoutSeconds != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 && !exited) {
        timedOut = true;
        break;
      }
      waitMs = left <= 0 ? 0 : static_cast<int>(left);
    }
    if (pidFd < 0 && !exited && (waitMs < 0 || waitMs > kPollMs)) waitMs = kPollMs;
    // Once it has ended, descendants may still hold the pipes; give them a
    // moment and then stop listening.
    if (exited) waitMs = 200;
    struct pollfd fds[3] = {{m_outFd, POLLIN, 0},
                            {m_errFd, POLLIN, 0},
                            {exited ? -1 : pidFd, POLLIN, 0}};
    const int n = poll(fds, 3, waitMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = FXString::Format("poll failed: %s", std::strerror(errno));
      if (pidFd >= 0) close(pidFd);
      return false;
    }
    if (n == 0 && exited) break;
    if (m_outFd >= 0 && fds[0].revents) drain(m_outFd, m_out);
    if (m_errFd >= 0 && fds[1].revents) drain(m_errFd, m_err);
    if (!exited) exited = pidFd >= 0 ? fds[2].revents != 0 : tryReap();
  }
  if (pidFd >= 0) close(pidFd);
  if (timedOut) {
    *err = "timedout";
    return false;
  }
  closePipes();
  pid_t w = m_pid;
  while (!m_reaped && (w = waitpid(m_pid, &m_status, 0)) < 0 && errno == EINTR) {
  }
  if (w != m_pid) {
    *err = FXString::Format("waitpid failed: %s", std::strerror(errno));
    return false;
  }
  m_reaped = true;
  *rc = statusToRc(m_status);
  return true;
}

void KqProcess::GetIO(std::string* out, std::string* err) const {
  if (out) *out = m_out;
  if (err) *err = m_err;
}

int KqProcess::system(const std::string& command, std::string* out, std::string* err,
                      uint32_t timeoutSeconds, bool logIt) {
  static const char kFunc[] = "KqProcess::system";
  KqProcess proc;
  proc.TrapIO(true, true);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  std::string failure;
  out->clear();
  err->clear();
  if (!proc.StartProcess(argv, &failure, 0)) {
    *err = failure;
    EvDebug::Error(kFunc, "Cannot run [%s]: %s", command.c_str(), failure.c_str());
    return -1;
  }
  int rc = -1;
  if (!proc.WaitForProcessToEnd(&rc, &failure, timeoutSeconds)) {
    const pid_t pid = proc.GetPid();
    if (failure == "timedout") {
      kill(-pid, SIGKILL);
      // A child in uninterruptible sleep ignores even SIGKILL until its I/O
      // ends; the destructor leaves it to a reaper thread.
      if (!proc.Reap(kKillGraceMs)) {
        EvDebug::Error(kFunc, "Child pid [%d] of [%s] still there after SIGKILL",
                       static_cast<int>(pid), command.c_str());
      }
    }
    proc.GetIO(out, nullptr);
    *err = failure;
    EvDebug::Error(kFunc, "Command [%s] failed: %s", command.c_str(), failure.c_str());
    return -1;
  }
  proc.GetIO(out, err);
  if (logIt) EvDebug::Debug(kFunc, "Command [%s] exited with %d", command.c_str(), rc);
  return rc;
}
