#include "kq_secret.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "kq_error.h"

KqSecretFile::KqSecretFile(const std::string& secret) {
  static const char kFunc[] = "KqSecretFile::KqSecretFile";
  // Close-on-exec: no child inherits it; the one meant to read it opens the path.
  m_fd = ::memfd_create("kq-secret", MFD_CLOEXEC);
  if (m_fd < 0) throw KqException(kFunc, "cannot make a memory file", "kq_secret", __LINE__, errno);
  size_t written = 0;
  while (written < secret.size()) {
    const ssize_t n = ::write(m_fd, secret.data() + written, secret.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int code = errno;
      ::close(m_fd);
      throw KqException(kFunc, "cannot write a memory file", "kq_secret", __LINE__, code);
    }
    written += static_cast<size_t>(n);
  }
  m_path = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(m_fd);
}

KqSecretFile::~KqSecretFile() { ::close(m_fd); }
