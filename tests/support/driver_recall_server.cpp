#include "support/driver_recall_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "kqblk_driver.h"
#include "kqblk_store.h"

RecallServer::RecallServer(std::string device, KqBlkRecallStore* recallStore,
                           std::string sourcePath, Mode mode, std::set<int64_t> hangOn)
    : m_device(std::move(device)),
      m_store(recallStore),
      m_sourcePath(std::move(sourcePath)),
      m_mode(mode),
      m_hangOn(std::move(hangOn)) {
  m_sourceFd = ::open(m_sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
  m_stopFd = ::eventfd(0, EFD_CLOEXEC);
  if (m_sourceFd < 0 || m_stopFd < 0) {
    throw std::runtime_error("RecallServer: cannot open " + m_sourcePath);
  }
  m_thread = std::thread([this] { run(); });
}

RecallServer::~RecallServer() {
  stop();
  ::close(m_sourceFd);
  ::close(m_stopFd);
}

void RecallServer::stop() {
  if (!m_thread.joinable()) return;
  const uint64_t one = 1;
  if (::write(m_stopFd, &one, sizeof one) != sizeof one) std::perror("RecallServer stop");
  m_thread.join();
}

std::map<int64_t, int> RecallServer::requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

size_t RecallServer::requestCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_count;
}

bool RecallServer::waitForRequests(size_t n, int seconds) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_changed.wait_for(lock, std::chrono::seconds(seconds), [&] { return m_count >= n; });
}

std::string RecallServer::failure() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_failure;
}

void RecallServer::run() {
  KqBlkDriverUnix driver;
  int fd = -1;
  CUxError err = driver.monitorDevice(m_device);
  if (!err.IsError()) err = driver.getFD(fd);
  if (err.IsError()) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failure = err.AsString();
    return;
  }
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN | POLLERR, 0}, {m_stopFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) break;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      m_hangup = true;
      break;
    }
    int64_t extent = 0;
    err = driver.getRecallRequest(m_device, extent);
    if (err.IsError()) {
      if (FXErrorUtil::GetErrNo(err) == EAGAIN) continue;
      std::lock_guard<std::mutex> lock(m_mutex);
      m_failure = err.AsString();
      break;
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      ++m_requests[extent];
      ++m_count;
    }
    m_changed.notify_all();
    serve(extent);
  }
  m_changed.notify_all();
}

void RecallServer::serve(int64_t extent) {
  if (m_mode == Mode::Hold) return;
  if (m_hangOn.count(extent)) {
    pollfd stop = {m_stopFd, POLLIN, 0};
    while (::poll(&stop, 1, -1) < 0 && errno == EINTR) {
    }
    return;
  }
  KqBlkDriverUnix driver;
  if (m_mode == Mode::Serve) {
    // As the disk's service thread does: through a temporary file, which
    // the engine's recall store stages in runs.
    const int32_t size = m_store->getExtentSize();
    std::vector<char> buffer(static_cast<size_t>(size), 0);
    const ssize_t n = ::pread(m_sourceFd, buffer.data(), buffer.size(),
                              static_cast<off_t>(extent) * size);
    std::string temp;
    std::shared_ptr<std::ostream> stream;
    bool stored = n >= 0 && !m_store->openTempFile(temp, stream).IsError();
    if (stored) {
      stream->write(buffer.data(), size);
      stream.reset();
      stored = !m_store->moveInExtentFile(temp, extent).IsError();
    }
    if (!stored) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_failure = "cannot serve extent " + std::to_string(extent);
    }
  }
  driver.recallDone(m_device, extent);
}
