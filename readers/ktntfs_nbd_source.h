// An NBD export read through libnbd. A read is asked for in pieces that are
// all in flight at once, so that a source with latency streams instead of
// answering one request at a time. A server that stops answering fails the
// reads after a time-out and the source stays failed: no read hangs.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "ktntfs_source.h"

struct nbd_handle;

class NbdSource : public Source {
 public:
  // Pieces a read is split into, and how many of them are in flight at most.
  static constexpr uint64_t kPieceBytes = 64 * 1024;
  static const size_t kMaxInFlight = 16;

  // `uri` must have passed kqNbdUriProblem.
  static CUxError connectUri(const std::string& uri, std::unique_ptr<Source>& out);
  // The default export on the Unix socket `socketPath`.
  static CUxError connectUnix(const std::string& socketPath, std::unique_ptr<Source>& out);
  ~NbdSource() override;

  uint64_t size() const override { return m_size; }
  CUxError readAt(uint64_t offset, uint8_t* buffer, uint64_t length) override;
  CUxError writeAt(uint64_t offset, const uint8_t* data, uint64_t length) override;

 private:
  NbdSource(nbd_handle* handle, const std::string& name, uint64_t size, bool readOnly)
      : m_handle(handle), m_name(name), m_size(size), m_readOnly(readOnly) {}
  static CUxError connect(const std::string& name, bool unixSocket, std::unique_ptr<Source>& out);
  // Fails the source for good: closing the handle retires every command, so
  // that no late reply lands in a buffer its reader has given up.
  CUxError fail(int err, const char* what);

  std::mutex m_mutex;  // one thread drives the handle at a time
  nbd_handle* m_handle;
  std::string m_name;
  uint64_t m_size;
  bool m_readOnly;
  bool m_wrote = false;
};
