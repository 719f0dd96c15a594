#include "kq_process_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kq_process_info.h"

namespace {

bool isPid(const char* name) {
  const std::string text = name;
  return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
}

bool among(dev_t device, const std::vector<dev_t>& devices) {
  return std::find(devices.begin(), devices.end(), device) != devices.end();
}

// The device of what a /proc link leads to. Cached attributes do: a file
// system that no longer answers must not stall the scan.
bool onDevices(const std::string& link, const std::vector<dev_t>& devices) {
  struct statx stx;
  return ::statx(AT_FDCWD, link.c_str(), AT_STATX_DONT_SYNC, STATX_BASIC_STATS, &stx) == 0 &&
         among(makedev(stx.stx_dev_major, stx.stx_dev_minor), devices);
}

bool descriptorsOn(const std::string& proc, const std::vector<dev_t>& devices,
                   const std::vector<int>& ignored) {
  DIR* d = ::opendir((proc + "/fd").c_str());
  if (d == nullptr) return false;
  bool holds = false;
  while (dirent* e = ::readdir(d)) {
    if (!isPid(e->d_name)) continue;
    if (std::find(ignored.begin(), ignored.end(), std::atoi(e->d_name)) != ignored.end()) continue;
    if (onDevices(proc + "/fd/" + e->d_name, devices)) {
      holds = true;
      break;
    }
  }
  ::closedir(d);
  return holds;
}

// Mapped files: "start-end perms offset MAJ:MIN inode path", numbers in hex.
bool mappingsOn(const std::string& proc, const std::vector<dev_t>& devices) {
  FILE* maps = std::fopen((proc + "/maps").c_str(), "re");
  if (maps == nullptr) return false;
  bool holds = false;
  char line[8192];
  while (!holds && std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned maj = 0;
    unsigned min = 0;
    unsigned long inode = 0;
    if (std::sscanf(line, "%*s %*s %*s %x:%x %lu", &maj, &min, &inode) == 3 && inode != 0) {
      holds = among(makedev(maj, min), devices);
    }
  }
  std::fclose(maps);
  return holds;
}

}  // namespace

bool KqProcessHolds(pid_t pid, const std::vector<dev_t>& devices, const std::vector<int>& ignoredFds) {
  const std::string proc = "/proc/" + std::to_string(pid);
  const std::vector<int> ignored = pid == ::getpid() ? ignoredFds : std::vector<int>();
  for (const char* link : {"/cwd", "/root", "/exe"}) {
    if (onDevices(proc + link, devices)) return true;
  }
  return descriptorsOn(proc, devices, ignored) || mappingsOn(proc, devices);
}

std::vector<pid_t> KqProcessesHolding(const std::vector<dev_t>& devices) {
  std::vector<pid_t> holders;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return holders;
  const pid_t self = ::getpid();
  while (dirent* e = ::readdir(d)) {
    if (!isPid(e->d_name)) continue;
    const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
    if (pid != self && KqProcessHolds(pid, devices)) holders.push_back(pid);
  }
  ::closedir(d);
  return holders;
}

int KqKillHolder(pid_t pid, const std::vector<dev_t>& devices, uint32_t waitMs) {
  if (pid <= 1 || pid == ::getpid()) return EPERM;
  // Opened first: while the process it names lives, its id cannot be
  // reused, so what /proc says below is about that process.
  const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidFd < 0 && errno != ENOSYS) return errno;
  int result = 0;
  if (!KqIsUserProcess(pid)) {
    result = EPERM;
  } else if (!KqProcessHolds(pid, devices)) {
    result = ESRCH;
  } else if (pidFd < 0) {
    result = ::kill(pid, SIGKILL) == 0 ? 0 : errno;
  } else if (::syscall(SYS_pidfd_send_signal, pidFd, SIGKILL, nullptr, 0) != 0) {
    // ESRCH: the process that was looked at had already ended.
    result = errno;
  } else {
    struct pollfd ended = {pidFd, POLLIN, 0};
    while (::poll(&ended, 1, static_cast<int>(waitMs)) < 0 && errno == EINTR) {
    }
  }
  if (pidFd >= 0) ::close(pidFd);
  return result;
}
