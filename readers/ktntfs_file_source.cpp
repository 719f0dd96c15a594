#include "ktntfs_file_source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CUxError FileSource::open(const std::string& path, std::unique_ptr<Source>& out) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // writes then fail
  }
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot open %s", path.c_str());
  struct stat st;
  uint64_t bytes = 0;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (S_ISBLK(st.st_mode)) {
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) err = errno;
  } else if (S_ISREG(st.st_mode)) {
    bytes = static_cast<uint64_t>(st.st_size);
  } else {
    err = EINVAL;
  }
  if (err != 0) {
    ::close(fd);
    return FXErrorUtil::ErrorErrNo(FX_HERE, err, "cannot use %s as a disk", path.c_str());
  }
  const int directFd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  out.reset(new FileSource(fd, directFd, bytes));
  return CUxError();
}

FileSource::~FileSource() {
  ::close(m_fd);
  if (m_directFd >= 0) ::close(m_directFd);
}

CUxError FileSource::readAt(uint64_t offset, uint8_t* buffer, uint64_t length) {
  const uint64_t capacity = (length + kAlign - 1) / kAlign * kAlign;
  int fd = m_directFd >= 0 ? m_directFd : m_fd;
  for (uint64_t done = 0; done < length;) {
    // Direct reads ask for whole aligned sizes; the source's end cuts them.
    const uint64_t want = fd == m_directFd ? capacity - done : length - done;
    const ssize_t n = pread(fd, buffer + done, want, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL && fd == m_directFd) {
      fd = m_fd;  // this file system refuses direct I/O here
      continue;
    }
    if (n <= 0) return FXErrorUtil::ErrorErrNo(FX_HERE, n < 0 ? errno : EIO, "source read failed");
    done += static_cast<uint64_t>(n);
  }
  return CUxError();
}

CUxError FileSource::writeAt(uint64_t offset, const uint8_t* data, uint64_t length) {
  for (uint64_t done = 0; done < length;) {
    const ssize_t n = pwrite(m_fd, data + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FXErrorUtil::ErrorErrNo(FX_HERE, n < 0 ? errno : EIO, "write failed");
    done += static_cast<uint64_t>(n);
  }
  return CUxError();
}
