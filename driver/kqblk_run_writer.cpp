#include "kqblk_run_writer.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::unique_ptr<char, decltype(&std::free)> runBuffer(size_t bytes) {
  const size_t aligned = (bytes + 4095) / 4096 * 4096;
  std::unique_ptr<char, decltype(&std::free)> p(static_cast<char*>(std::aligned_alloc(4096, aligned)),
                                                 &std::free);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

KqBlkRunWriter::KqBlkRunWriter(size_t itemSize, int64_t runLength, WriteRun write)
    : m_itemSize(itemSize), m_runLength(runLength), m_write(std::move(write)) {
  m_collecting.data = runBuffer(itemSize * static_cast<size_t>(runLength));
  m_writing.data = runBuffer(itemSize * static_cast<size_t>(runLength));
  m_thread = std::thread(&KqBlkRunWriter::writeLoop, this);
}

KqBlkRunWriter::~KqBlkRunWriter() {
  flush();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void KqBlkRunWriter::handOver(std::unique_lock<std::mutex>& lock) {
  if (m_collecting.count == 0) return;
  m_changed.wait(lock, [this] { return !m_busy; });
  std::swap(m_collecting, m_writing);
  m_collecting.count = 0;
  m_busy = true;
  m_changed.notify_all();
}

void KqBlkRunWriter::add(int64_t index, const char* data) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_collecting.count > 0 && index != m_collecting.first + m_collecting.count) {
    handOver(lock);
  }
  if (m_collecting.count == 0) m_collecting.first = index;
  std::memcpy(m_collecting.data.get() + static_cast<size_t>(m_collecting.count) * m_itemSize, data,
              m_itemSize);
  if (++m_collecting.count == m_runLength) handOver(lock);
}

CUxError KqBlkRunWriter::flush() {
  std::unique_lock<std::mutex> lock(m_mutex);
  handOver(lock);
  m_changed.wait(lock, [this] { return !m_busy; });
  CUxError error = m_error;
  m_error = CUxError();
  return error;
}

void KqBlkRunWriter::discard() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_collecting.count = 0;
  m_changed.wait(lock, [this] { return !m_busy; });
}

KqBlkPendingRuns KqBlkRunWriter::pending() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  KqBlkPendingRuns runs;
  runs.first[0] = m_collecting.first;
  runs.count[0] = m_collecting.count;
  if (m_busy) {
    runs.first[1] = m_writing.first;
    runs.count[1] = m_writing.count;
  }
  return runs;
}

void KqBlkRunWriter::writeLoop() {
  pthread_setname_np(pthread_self(), "kqblk-writer");  // for ps, top and perf
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    m_changed.wait(lock, [this] { return m_busy || m_stopping; });
    if (!m_busy) return;  // stopping with nothing handed over
    // The run stays m_writing's until m_busy is cleared: nobody touches it.
    const int64_t first = m_writing.first;
    const int64_t count = m_writing.count;
    const char* data = m_writing.data.get();
    lock.unlock();
    CUxError error = m_write(first, count, data);
    lock.lock();
    if (error.IsError() && !m_error.IsError()) m_error = error;
    m_busy = false;
    m_changed.notify_all();
  }
}
