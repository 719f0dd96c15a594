// A raw image file or block device. Reads bypass the page cache where the
// file system allows it: the data goes to the device and its stores anyway,
// and filling the page cache costs more than the read.
#pragma once

#include <memory>
#include <string>

#include "ktntfs_source.h"

class FileSource : public Source {
 public:
  // Opens `path` for reading and, where allowed, writing.
  static CUxError open(const std::string& path, std::unique_ptr<Source>& out);
  ~FileSource() override;

  uint64_t size() const override { return m_size; }
  CUxError readAt(uint64_t offset, uint8_t* buffer, uint64_t length) override;
  CUxError writeAt(uint64_t offset, const uint8_t* data, uint64_t length) override;

 private:
  FileSource(int fd, int directFd, uint64_t size) : m_fd(fd), m_directFd(directFd), m_size(size) {}

  int m_fd;        // buffered: writes, and reads where direct I/O is refused
  int m_directFd;  // O_DIRECT reads, or -1
  uint64_t m_size;
};
