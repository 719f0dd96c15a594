// The recall requests of one driver device: extents that a reader waits for
// (demand) or that read-ahead wants early, the descriptor that tells the
// service thread about them, and the wake-up of readers when an extent is
// done. An extent is never queued twice while it is in flight.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kq_error.h"

class KqBlkRecallQueue {
 public:
  KqBlkRecallQueue() = default;
  ~KqBlkRecallQueue();
  KqBlkRecallQueue(const KqBlkRecallQueue&) = delete;
  KqBlkRecallQueue& operator=(const KqBlkRecallQueue&) = delete;

  // Makes the notification pipe. Its read end holds one byte exactly while a
  // request is queued (level, not count: a pipe never fills up), and reports
  // POLLHUP once the queue is aborted (the write end is closed then).
  CUxError init();
  int notifyFd() const { return m_readFd; }

  // Queues those of `extents` that are not in flight yet, ahead of any
  // read-ahead, and waits until every one of them is reported done. False
  // when the queue is aborted before that.
  // `present`, when given, is asked under the queue's lock about extents
  // not in flight: one that turned present since the caller looked (its
  // recall finished meanwhile) is neither queued nor waited for.
  // `stalled`, when given, runs without the queue's lock each time the wait
  // has gone on for another kStallStep: the caller's chance to finish work
  // that holds fetched extents back.
  using Present = std::function<bool(int64_t)>;
  static constexpr std::chrono::milliseconds kStallStep{20};
  bool recallAndWait(const std::vector<int64_t>& extents, const Present& present = nullptr,
                     const std::function<void()>& stalled = nullptr);
  // Queues the extents that are not in flight, behind the demand requests;
  // nobody waits for them.
  void prefetch(const std::vector<int64_t>& extents, const Present& present = nullptr);
  // The next queued extent (demand first); false when none is queued.
  bool pop(int64_t& extent);
  // Wakes the readers of the extent; unknown extents are ignored.
  void done(int64_t extent);
  // Fails every waiting and later recallAndWait, forgets the queue.
  void abort();
  bool aborted() const;

  // Whether the extents taken by pop and not yet done should be finished
  // now rather than batched with later ones: true when nothing is queued,
  // or when a reader waits for a taken extent and no extent a reader waits
  // for is queued any more.
  bool finishTakenNow() const;

  // Whether a reader waits for the extent; false for read-ahead that no one
  // has asked for yet, and for extents not in flight.
  bool awaited(int64_t extent) const;

  // Extents queued and not yet taken by pop, and extents in flight.
  size_t queuedCount() const;
  size_t inFlightCount() const;

 private:
  struct Waiter {
    size_t remaining = 0;
    std::condition_variable wake;
  };
  enum class Slot { Taken, Ahead, Demand };
  struct Entry {
    Slot slot = Slot::Taken;
    std::vector<Waiter*> waiters;
  };

  void queued(size_t before);  // call with m_mutex held
  bool popFrom(std::deque<int64_t>& queue, Slot slot, int64_t& extent);

  mutable std::mutex m_mutex;
  std::unordered_map<int64_t, Entry> m_inFlight;
  std::deque<int64_t> m_demand;
  std::deque<int64_t> m_ahead;
  size_t m_queued = 0;
  size_t m_demandQueued = 0;  // entries in the Demand slot
  size_t m_takenAwaited = 0;  // entries in the Taken slot that have waiters
  bool m_aborted = false;
  int m_readFd = -1;
  int m_writeFd = -1;
};

// Decides what to read ahead from the reads of a device: a read that starts
// near where the previous ones ended continues a sequential run, whose window
// doubles up to a bound and is refilled in batches once half of it has been
// read; any other read ends the run and fetches nothing extra. Not
// thread-safe: the caller serialises calls.
class KqBlkReadAhead {
 public:
  KqBlkReadAhead(int64_t extentCount, int64_t firstWindow, int64_t maxWindow);

  // The extents [from, to) to fetch early after a read of [first, first+count);
  // from == to when there are none. Ranges handed out never overlap within a run.
  void onRead(int64_t first, int64_t count, int64_t& from, int64_t& to);
  int64_t window() const { return m_window; }

 private:
  int64_t m_extentCount;
  int64_t m_firstWindow;
  int64_t m_maxWindow;
  int64_t m_next = -1;      // the extent after the furthest read of the run
  int64_t m_window = 0;     // 0: no run
  int64_t m_frontier = 0;   // the extent after the last one handed out
};
