// Byte-range reads and writes of a driver device, mapped onto the extents of
// its two stores: the private store (writes) wins over the recall store
// (fetched data); extents in neither are recalled through the queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "kqblk_engine_queue.h"

class KqBlkRecallStore;

// A stretch of a read that lies in a store's data file.
struct KqBlkReadPiece {
  int fd;
  int64_t position;
  size_t length;
};

class KqBlkExtentIO {
 public:
  // Read-ahead window bounds, in bytes.
  static const int64_t kFirstReadAhead = 128 * 1024;
  static const int64_t kMaxReadAhead = 512 * 1024;

  KqBlkExtentIO(KqBlkRecallStore* privateStore, KqBlkRecallStore* recallStore,
                KqBlkRecallQueue& queue);
  KqBlkExtentIO(const KqBlkExtentIO&) = delete;
  KqBlkExtentIO& operator=(const KqBlkExtentIO&) = delete;

  int64_t size() const { return m_size; }
  int32_t extentSize() const { return m_extentSize; }

  // Each returns 0 or an errno; `done` is the byte count served (a read
  // stops at the end of the device, a write beyond it fails with ENOSPC).
  int read(char* out, size_t length, int64_t offset, size_t& done);
  int write(const char* data, size_t length, int64_t offset, size_t& done);
  // Serves a read whose extents are all present without copying it: `send`
  // gets pieces of the stores' data files that cover the read in order, and
  // none of those extents can be evicted until it returns. ENOENT (send not
  // called) when any extent is absent: recallMissing() then fetches them;
  // EIO when the device is aborted; else 0 once send has returned.
  // `readAhead` false when recallMissing has already seen this read.
  using PieceSink = std::function<void(const std::vector<KqBlkReadPiece>& pieces, size_t total)>;
  int readHeld(size_t length, int64_t offset, const PieceSink& send, bool readAhead = true);
  // Reports the recall of an extent done. When an extent counts as done is
  // decided here and nowhere else: once its data is in the recall store's
  // data file (or was dropped for want of cache room), never before, so no
  // reader sees it present without its data. The store stages the extents
  // the service thread moves in and writes them in runs on a thread of its
  // own; a staged extent is reported once its run is written. Runs are
  // written when they fill or break, when nothing more is queued, when a
  // reader waits for a staged extent and no extent a reader waits for is
  // queued, and when a reader has waited a stall step (finishDeferred):
  // a fetched extent never waits behind another extent's source read.
  void recallDone(int64_t extent);
  // Recalls the extents of a read that neither store holds and waits for
  // them: 0 once they were reported done (a full cache may still have
  // dropped them), EIO when the device is aborted meanwhile.
  int recallMissing(size_t length, int64_t offset);

 private:
  // 0 with the extent in dst, ENOENT when neither store holds it, EIO.
  int readPresent(int64_t extent, char* dst) const;
  bool present(int64_t extent) const;
  void readAhead(int64_t first, int64_t count);
  int writeExtent(int64_t extent, const char* data, size_t skip, size_t length);
  // Recalls `missing` and places each with `place` (0, ENOENT when absent,
  // or an errno), again for those still absent; EIO after kRecallAttempts.
  int recallAndPlace(std::vector<int64_t>& missing, const std::function<int(int64_t)>& place);
  std::mutex& writeLock(int64_t extent) {
    return m_writeLocks[static_cast<size_t>(extent) % kWriteLocks];
  }
  // Writes what the recall store still stages and reports what is written.
  void finishDeferred();
  void reportWritten();  // m_doneMutex held

  static const size_t kWriteLocks = 64;
  static const int kRecallAttempts = 8;
  // Extents the recall store writes with one call (256 KiB of 4 KiB ones).
  static const int64_t kStagedRun = 64;

  KqBlkRecallStore* m_private;
  KqBlkRecallStore* m_recall;
  KqBlkRecallQueue& m_queue;
  int64_t m_size;
  int32_t m_extentSize;
  int64_t m_extentCount;
  std::mutex m_doneMutex;
  std::vector<int64_t> m_deferred;  // reported done, still staged
  std::mutex m_aheadMutex;
  KqBlkReadAhead m_ahead;
  // Read-modify-write of one extent must not interleave with another write
  // of the same extent (the kernel may write two sectors of it at once).
  std::mutex m_writeLocks[kWriteLocks];
};
