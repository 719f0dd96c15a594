#include "kqblk_engine_queue.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

KqBlkRecallQueue::~KqBlkRecallQueue() {
  if (m_readFd >= 0) ::close(m_readFd);
  if (m_writeFd >= 0) ::close(m_writeFd);
}

CUxError KqBlkRecallQueue::init() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot make the recall notification pipe");
  }
  m_readFd = fds[0];
  m_writeFd = fds[1];
  return CUxError();
}

void KqBlkRecallQueue::queued(size_t before) {
  if (before != 0 || m_queued == 0 || m_writeFd < 0) return;
  const char one = 1;
  // Cannot fail for want of room: the pipe holds at most this one byte.
  while (::write(m_writeFd, &one, 1) < 0 && errno == EINTR) {
  }
}

bool KqBlkRecallQueue::recallAndWait(const std::vector<int64_t>& extents, const Present& present,
                                     const std::function<void()>& stalled) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_aborted) return false;
  Waiter waiter;
  const size_t before = m_queued;
  for (int64_t e : extents) {
    // done() runs after the extent is stored, under this lock: an extent
    // absent now and not in flight still needs its recall.
    if (present && m_inFlight.count(e) == 0 && present(e)) continue;
    auto [it, inserted] = m_inFlight.try_emplace(e);
    Entry& entry = it->second;
    if (!entry.waiters.empty() && entry.waiters.back() == &waiter) continue;
    if (inserted) {
      entry.slot = Slot::Demand;
      m_demand.push_back(e);
      ++m_queued;
      ++m_demandQueued;
    } else if (entry.slot == Slot::Ahead) {
      // Someone waits for it now: it must not sit behind the read-ahead.
      entry.slot = Slot::Demand;
      m_demand.push_back(e);
      ++m_demandQueued;
    } else if (entry.slot == Slot::Taken && entry.waiters.empty()) {
      ++m_takenAwaited;
    }
    entry.waiters.push_back(&waiter);
    ++waiter.remaining;
  }
  queued(before);
  auto finished = [&] { return waiter.remaining == 0 || m_aborted; };
  while (!finished()) {
    if (!stalled) {
      waiter.wake.wait(lock, finished);
    } else if (!waiter.wake.wait_for(lock, kStallStep, finished)) {
      lock.unlock();
      stalled();
      lock.lock();
    }
  }
  return !m_aborted;
}

void KqBlkRecallQueue::prefetch(const std::vector<int64_t>& extents, const Present& present) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_aborted) return;
  const size_t before = m_queued;
  for (int64_t e : extents) {
    if (present && m_inFlight.count(e) == 0 && present(e)) continue;
    auto [it, inserted] = m_inFlight.try_emplace(e);
    if (!inserted) continue;
    it->second.slot = Slot::Ahead;
    m_ahead.push_back(e);
    ++m_queued;
  }
  queued(before);
}

bool KqBlkRecallQueue::popFrom(std::deque<int64_t>& queue, Slot slot, int64_t& extent) {
  while (!queue.empty()) {
    const int64_t e = queue.front();
    queue.pop_front();
    auto it = m_inFlight.find(e);
    // Items of promoted or already finished extents are left behind as stale.
    if (it == m_inFlight.end() || it->second.slot != slot) continue;
    if (slot == Slot::Demand) --m_demandQueued;
    if (!it->second.waiters.empty()) ++m_takenAwaited;
    it->second.slot = Slot::Taken;
    extent = e;
    return true;
  }
  return false;
}

bool KqBlkRecallQueue::pop(int64_t& extent) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_aborted || m_queued == 0) return false;
  if (!popFrom(m_demand, Slot::Demand, extent) && !popFrom(m_ahead, Slot::Ahead, extent)) {
    return false;
  }
  if (--m_queued == 0) {
    char drain[16];
    while (::read(m_readFd, drain, sizeof drain) > 0) {
    }
  }
  return true;
}

void KqBlkRecallQueue::done(int64_t extent) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_inFlight.find(extent);
  if (it == m_inFlight.end()) return;
  if (it->second.slot == Slot::Demand) --m_demandQueued;
  if (it->second.slot == Slot::Taken && !it->second.waiters.empty()) --m_takenAwaited;
  if (it->second.slot != Slot::Taken && --m_queued == 0) {
    char drain[16];
    while (::read(m_readFd, drain, sizeof drain) > 0) {
    }
  }
  for (Waiter* w : it->second.waiters) {
    // Notified under the lock: the waiter cannot return and free itself first.
    if (--w->remaining == 0) w->wake.notify_one();
  }
  m_inFlight.erase(it);
}

void KqBlkRecallQueue::abort() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_aborted) return;
  m_aborted = true;
  for (auto& item : m_inFlight) {
    for (Waiter* w : item.second.waiters) w->wake.notify_one();
  }
  m_inFlight.clear();
  m_demand.clear();
  m_ahead.clear();
  m_queued = 0;
  m_demandQueued = 0;
  m_takenAwaited = 0;
  // Pollers of the read end now see POLLHUP: the service thread stops.
  if (m_writeFd >= 0) ::close(m_writeFd);
  m_writeFd = -1;
}

bool KqBlkRecallQueue::aborted() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_aborted;
}

bool KqBlkRecallQueue::awaited(int64_t extent) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_inFlight.find(extent);
  return it != m_inFlight.end() && !it->second.waiters.empty();
}

bool KqBlkRecallQueue::finishTakenNow() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_queued == 0 || (m_takenAwaited > 0 && m_demandQueued == 0);
}

size_t KqBlkRecallQueue::queuedCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_queued;
}

size_t KqBlkRecallQueue::inFlightCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_inFlight.size();
}

KqBlkReadAhead::KqBlkReadAhead(int64_t extentCount, int64_t firstWindow, int64_t maxWindow)
    : m_extentCount(extentCount),
      m_firstWindow(std::max<int64_t>(1, firstWindow)),
      m_maxWindow(std::max(m_firstWindow, maxWindow)) {}

void KqBlkReadAhead::onRead(int64_t first, int64_t count, int64_t& from, int64_t& to) {
  from = to = 0;
  const int64_t end = std::min(first + std::max<int64_t>(count, 1), m_extentCount);
  // Several reads of one stream are in flight at once and arrive out of
  // order, so "near the end of the run" is a band, not one extent.
  const int64_t band = std::max(m_window, count);
  const bool sequential = m_next >= 0 && first >= m_next - band - count && first <= m_next + band;
  if (!sequential) {
    m_window = 0;
    m_next = end;
    m_frontier = end;
    return;
  }
  m_window = m_window == 0 ? m_firstWindow : std::min(m_window * 2, m_maxWindow);
  m_next = std::max(m_next, end);
  // Refill only when less than half the window is left ahead: one batch
  // wakes the service thread once, not once per small read.
  if (m_frontier - m_next >= m_window / 2) return;
  from = std::max(m_frontier, m_next);
  to = std::min(m_next + m_window, m_extentCount);
  if (to <= from) {
    from = to = 0;
    return;
  }
  m_frontier = to;
}
