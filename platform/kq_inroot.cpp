#include "kq_inroot.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <vector>

namespace {

const int kMaxLinks = 40;  // as the kernel's own limit

std::deque<std::string> components(const std::string& path) {
  std::deque<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    const size_t end = std::min(path.find('/', at), path.size());
    const std::string part = path.substr(at, end - at);
    if (!part.empty() && part != ".") parts.push_back(part);
    at = end + 1;
  }
  return parts;
}

// The directories walked so far, the tree's top first; ".." pops one.
class Walk {
 public:
  explicit Walk(int rootFd) { m_dirs.push_back(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0)); }
  ~Walk() {
    for (int fd : m_dirs) {
      if (fd >= 0) ::close(fd);
    }
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  bool ok() const { return m_dirs.front() >= 0; }
  int current() const { return m_dirs.back(); }
  void up() {
    if (m_dirs.size() > 1) {
      ::close(m_dirs.back());
      m_dirs.pop_back();
    }
  }
  void toTop() {
    while (m_dirs.size() > 1) up();
  }
  void enter(int fd) { m_dirs.push_back(fd); }
  int take() {
    const int fd = m_dirs.back();
    m_dirs.pop_back();
    return fd;
  }

 private:
  std::vector<int> m_dirs;
};

}  // namespace

int KqOpenInRoot(int rootFd, const std::string& path, bool makeDirs, std::string& why) {
  Walk walk(rootFd);
  if (!walk.ok()) {
    why = std::string("cannot duplicate the tree's descriptor: ") + std::strerror(errno);
    return -1;
  }
  std::deque<std::string> todo = components(path);
  int links = 0;
  while (!todo.empty()) {
    const std::string part = todo.front();
    todo.pop_front();
    if (part == "..") {
      walk.up();
      continue;
    }
    int fd = ::openat(walk.current(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && makeDirs) {
      if (::mkdirat(walk.current(), part.c_str(), 0755) != 0 && errno != EEXIST) {
        why = "cannot make " + part + ": " + std::strerror(errno);
        return -1;
      }
      fd = ::openat(walk.current(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
      why = "cannot open " + part + ": " + std::strerror(errno);
      return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      why = "cannot stat " + part + ": " + std::strerror(errno);
      ::close(fd);
      return -1;
    }
    if (S_ISLNK(st.st_mode)) {
      // The guest's file system says how long the target is; it may say
      // anything, so the target is read into a buffer of our own size, and
      // one that fills it counts as too long.
      char target[PATH_MAX];
      const ssize_t n = ::readlinkat(fd, "", target, sizeof target);
      ::close(fd);
      if (n < 0 || static_cast<size_t>(n) >= sizeof target || ++links > kMaxLinks) {
        why = "cannot follow the link " + part;
        if (n >= 0 && static_cast<size_t>(n) >= sizeof target) why += ": its target is too long";
        return -1;
      }
      const std::string text(target, static_cast<size_t>(n));
      if (!text.empty() && text[0] == '/') walk.toTop();
      std::deque<std::string> more = components(text);
      todo.insert(todo.begin(), more.begin(), more.end());
      continue;
    }
    if (!todo.empty() && !S_ISDIR(st.st_mode)) {
      why = part + " is not a directory";
      ::close(fd);
      return -1;
    }
    walk.enter(fd);
  }
  return walk.take();
}

int KqOpenFileInRoot(int rootFd, const std::string& path, std::string& why) {
  const int pinned = KqOpenInRoot(rootFd, path, false, why);
  if (pinned < 0) return -1;
  struct stat st;
  int fd = -1;
  if (::fstat(pinned, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = path + " is not a regular file";
  } else {
    // Reopens the very file the walk reached: no second path walk.
    fd = ::open(KqDescriptorPath(pinned).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) why = "cannot open " + path + ": " + std::strerror(errno);
  }
  ::close(pinned);
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    why = path + " is not a regular file";
    ::close(fd);
    fd = -1;
  }
  return fd;
}

std::string KqDescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int KqOpenWithoutLinks(const std::string& path, std::string& why) {
  struct open_how how = {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd < 0) {
    why = errno == ELOOP ? "it passes through a symbolic link" : std::strerror(errno);
    return -1;
  }
  return static_cast<int>(fd);
}

std::string KqDescriptorTarget(int fd) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink(KqDescriptorPath(fd).c_str(), target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) == sizeof target || target[0] != '/') return std::string();
  return std::string(target, static_cast<size_t>(n));
}
