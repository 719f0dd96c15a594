#include "ktntfs_nbd_source.h"

#include <libnbd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace {

// How long connecting, or a read or write without any reply, may take.
const int kTimeoutMs = 30000;

int errnoOr(int fallback) {
  const int err = nbd_get_errno();
  return err != 0 ? err : fallback;
}

// Drives `handle` through the handshake; false when it failed or timed out.
bool handshake(nbd_handle* handle, bool* timedOut) {
  *timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
  while (nbd_aio_is_connecting(handle) == 1) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *timedOut = true;
      return false;
    }
    if (nbd_poll(handle, static_cast<int>(left.count())) < 0) return false;
  }
  return nbd_aio_is_ready(handle) == 1;
}

}  // namespace

CUxError NbdSource::connectUri(const std::string& uri, std::unique_ptr<Source>& out) {
  return connect(uri, false, out);
}

CUxError NbdSource::connectUnix(const std::string& socketPath, std::unique_ptr<Source>& out) {
  return connect(socketPath, true, out);
}

CUxError NbdSource::connect(const std::string& name, bool unixSocket,
                            std::unique_ptr<Source>& out) {
  nbd_handle* handle = nbd_create();
  if (handle == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errnoOr(ENOMEM), "cannot make an NBD handle: %s",
                                   nbd_get_error());
  }
  // Only TCP and Unix sockets; never a local key file named by the URI.
  nbd_set_uri_allow_transports(handle, LIBNBD_ALLOW_TRANSPORT_TCP | LIBNBD_ALLOW_TRANSPORT_UNIX);
  nbd_set_uri_allow_local_file(handle, false);
  const int started = unixSocket ? nbd_aio_connect_unix(handle, name.c_str())
                                 : nbd_aio_connect_uri(handle, name.c_str());
  bool timedOut = false;
  const bool ready = started == 0 && handshake(handle, &timedOut);
  const int64_t size = ready ? nbd_get_size(handle) : -1;
  if (size < 0) {
    const int err = timedOut ? ETIMEDOUT : errnoOr(ECONNREFUSED);
    const std::string why = timedOut ? "no answer within 30 s" : nbd_get_error();
    nbd_close(handle);
    return FXErrorUtil::ErrorErrNo(FX_HERE, err, "cannot connect to NBD export %s: %s",
                                   name.c_str(), why.c_str());
  }
  const bool readOnly = nbd_is_read_only(handle) != 0;
  out.reset(new NbdSource(handle, name, static_cast<uint64_t>(size), readOnly));
  return CUxError();
}

NbdSource::~NbdSource() {
  if (m_handle == nullptr) return;
  if (m_wrote && nbd_can_flush(m_handle) == 1) nbd_flush(m_handle, 0);
  nbd_shutdown(m_handle, 0);
  nbd_close(m_handle);
}

CUxError NbdSource::fail(int err, const char* what) {
  const std::string why = nbd_get_error() ? nbd_get_error() : "";
  nbd_close(m_handle);
  m_handle = nullptr;
  return FXErrorUtil::ErrorErrNo(FX_HERE, err, "NBD export %s: %s failed: %s", m_name.c_str(),
                                 what, why.c_str());
}

CUxError NbdSource::readAt(uint64_t offset, uint8_t* buffer, uint64_t length) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_handle == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "NBD export %s failed earlier", m_name.c_str());
  }
  std::vector<int64_t> pending;
  auto quietSince = std::chrono::steady_clock::now();
  int firstError = 0;
  uint64_t next = 0;
  while (next < length || !pending.empty()) {
    while (next < length && pending.size() < kMaxInFlight) {
      const uint64_t n = std::min(kPieceBytes, length - next);
      const int64_t cookie =
          nbd_aio_pread(m_handle, buffer + next, n, offset + next, nbd_completion_callback{}, 0);
      if (cookie < 0) return fail(errnoOr(EIO), "read");
      pending.push_back(cookie);
      next += n;
    }
    size_t kept = 0;
    for (int64_t cookie : pending) {
      const int r = nbd_aio_command_completed(m_handle, cookie);
      if (r == 0) pending[kept++] = cookie;
      if (r < 0 && firstError == 0) firstError = errnoOr(EIO);
    }
    const bool progress = kept < pending.size();
    pending.resize(kept);
    if (progress) {
      quietSince = std::chrono::steady_clock::now();
      continue;
    }
    if (pending.empty()) continue;
    // A broken connection fails here; closing the handle retires the rest.
    if (nbd_poll(m_handle, kTimeoutMs) < 0) return fail(errnoOr(EIO), "read");
    if (std::chrono::steady_clock::now() - quietSince > std::chrono::milliseconds(kTimeoutMs)) {
      return fail(ETIMEDOUT, "read (no reply within 30 s)");
    }
  }
  if (firstError != 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, firstError, "NBD export %s: read at %llu failed",
                                   m_name.c_str(), static_cast<unsigned long long>(offset));
  }
  return CUxError();
}

CUxError NbdSource::writeAt(uint64_t offset, const uint8_t* data, uint64_t length) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_handle == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "NBD export %s failed earlier", m_name.c_str());
  }
  if (m_readOnly) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EROFS, "NBD export %s is read-only: cannot write back",
                                   m_name.c_str());
  }
  if (nbd_pwrite(m_handle, data, length, offset, 0) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errnoOr(EIO), "NBD export %s: write failed: %s",
                                   m_name.c_str(), nbd_get_error());
  }
  m_wrote = true;
  return CUxError();
}
