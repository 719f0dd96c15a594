// Collects numbered items of one size into runs of consecutive numbers and
// writes each run with one call on a thread of its own, so that whoever adds
// the items does not wait for the writes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "kq_error.h"

// The runs not yet written: the one being collected and the one being
// written (count 0 where there is none).
struct KqBlkPendingRuns {
  int64_t first[2] = {0, 0};
  int64_t count[2] = {0, 0};
  bool holds(int64_t item) const {
    for (int i = 0; i < 2; ++i) {
      if (count[i] > 0 && item >= first[i] && item < first[i] + count[i]) return true;
    }
    return false;
  }
  bool empty() const { return count[0] == 0 && count[1] == 0; }
};

class KqBlkRunWriter {
 public:
  // Writes `count` items from `first`, the items' bytes one after another.
  using WriteRun = std::function<CUxError(int64_t first, int64_t count, const char* data)>;

  // Throws std::bad_alloc when the two run buffers cannot be had.
  KqBlkRunWriter(size_t itemSize, int64_t runLength, WriteRun write);
  // Writes what is still collected, then ends the thread.
  ~KqBlkRunWriter();
  KqBlkRunWriter(const KqBlkRunWriter&) = delete;
  KqBlkRunWriter& operator=(const KqBlkRunWriter&) = delete;

  // Adds item `index`. A run it does not continue goes to the writer first,
  // a run it fills goes after; handing over waits while the run before is
  // still being written.
  void add(int64_t index, const char* data);
  // Hands over the collected run and waits until everything is written.
  // Returns the first write error since the last call (whose items stay
  // unwritten).
  CUxError flush();
  // Forgets the collected run and waits for the one being written.
  void discard();
  KqBlkPendingRuns pending() const;

 private:
  struct Run {
    int64_t first = 0;
    int64_t count = 0;
    std::unique_ptr<char, decltype(&std::free)> data{nullptr, &std::free};
  };
  void handOver(std::unique_lock<std::mutex>& lock);
  void writeLoop();

  const size_t m_itemSize;
  const int64_t m_runLength;
  const WriteRun m_write;
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  Run m_collecting;
  Run m_writing;
  bool m_busy = false;  // m_writing is handed over and not written yet
  bool m_stopping = false;
  CUxError m_error;
  std::thread m_thread;
};
