// A file descriptor closed when it goes out of scope.
#pragma once

#include <unistd.h>

class KqFd {
 public:
  explicit KqFd(int fd = -1) : m_fd(fd) {}
  ~KqFd() { reset(-1); }
  KqFd(const KqFd&) = delete;
  KqFd& operator=(const KqFd&) = delete;
  int get() const { return m_fd; }
  void release() { m_fd = -1; }
  void reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
  }

 private:
  int m_fd;
};
