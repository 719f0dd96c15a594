// Extent stores behind a driver device: the private store (what was written
// to the device) and the recall store (what was fetched from the source).
//
// A store directory holds "header", "data" (sparse, extent e at
// e * extentSize) and "bitmap" (one bit per present extent, written after the
// extent's data). One store object per directory on the machine (flock).
// Thread-safe: the driver engine reads while the service thread writes and
// the cache manager evicts.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <shared_mutex>
#include <string>
#include <vector>

#include "kq_error.h"
#include "kqblk_run_writer.h"

class KqBlkBackingStore {
 public:
  virtual ~KqBlkBackingStore();
  // Deletes a store directory and everything the store kept in it, and
  // forgets its extents in every cache manager. A missing path is success;
  // a link is refused, and so is a directory without a valid store header
  // that holds anything but a store's own files; a directory inside a store
  // is never entered (it stays, and the removal fails).
  static CUxError remove(const std::string& path);
};

// Keeps a run of extents present while it lives: the stripes of the run are
// held shared, so eviction (which takes them exclusive) waits. Lets a reader
// hand the data file's pages to the kernel without copying them first.
class KqBlkExtentHold {
 public:
  static const size_t kMaxLocks = 64;  // the store's stripe count
  KqBlkExtentHold() = default;
  ~KqBlkExtentHold() { release(); }
  KqBlkExtentHold(const KqBlkExtentHold&) = delete;
  KqBlkExtentHold& operator=(const KqBlkExtentHold&) = delete;
  void release();

 private:
  friend class KqBlkRecallStore;
  std::shared_mutex* m_locks[kMaxLocks] = {};
  size_t m_count = 0;
};

class KqBlkRecallStore : public KqBlkBackingStore {
 public:
  // A new store of `size` bytes in the existing empty directory `path`.
  static KqBlkRecallStore* create(const std::string& path, const std::string& name, int64_t size,
                                  int32_t extentSize, CUxError& error);
  // The store left in `path`.
  static KqBlkRecallStore* open(const std::string& path, CUxError& error);
  ~KqBlkRecallStore() override;

  int32_t getExtentSize() const;
  int64_t getSize() const;
  const std::string& getPath() const;
  const std::string& getName() const;

  // A readable descriptor positioned at the extent's first byte; an error
  // unless the extent is present. The caller closes it. It is a copy of the
  // extent (a close-on-exec memfd holding exactly its bytes); flags unused.
  CUxError openExtentFile(int64_t extent, int flags, int& fd);
  // The extent's name within the store, as the cache manager knows it:
  // "<canonical store directory>/data#<extent>".
  CUxError getExtentFileName(int64_t extent, std::string& name);
  // A new temporary file: bytes written to the stream are kept in memory
  // until moveInExtentFile makes them an extent (it needs exactly one
  // extent's bytes; on failure the file stays), or removeTempFile drops them.
  CUxError openTempFile(std::string& tempName, std::shared_ptr<std::ostream>& stream);
  CUxError moveInExtentFile(const std::string& tempName, int64_t extent);
  // Batches moved-in extents: with a run of `extents` above zero,
  // moveInExtentFile keeps consecutive extents in memory, and a thread of
  // the store writes them with one call once the run is full or an extent
  // does not follow it; flushStaged(), an eviction among them and closing
  // the store write them too. Until written they are not present. Zero (the
  // default) writes each extent as it comes.
  void setStagedRun(int64_t extents);
  // Writes every staged extent, marks them present and returns the first
  // write error since the last call (those extents stay absent).
  CUxError flushStaged();
  // The extents moved in and not yet written.
  KqBlkPendingRuns stagedRuns() const;
  CUxError removeTempFile(const std::string& tempName);
  // Extents present: chunk i, byte j, bit k (least significant first) stands
  // for extent i * bitsPerChunk + 8j + k; an empty chunk has none. A chunk
  // that is not empty has bitsPerChunk / 8 bytes (32768 bits per chunk).
  CUxError getExtentBitmap(std::vector<std::vector<uint8_t>>& chunks, int32_t& bitsPerChunk);
  // Drops the store's state before deletion: pending temporary files, and
  // its extents in every cache manager. The extents stay in the store.
  CUxError clear();

  // Whole-extent access for the driver engine.
  bool hasExtent(int64_t extent) const;
  // Reads a present extent (getExtentSize() bytes) into buffer.
  CUxError readExtent(int64_t extent, void* buffer) const;
  // Reads `count` present extents from `first` with one read; ENOENT when
  // any of them is absent.
  CUxError readExtents(int64_t first, int64_t count, void* buffer) const;
  // Holds the stripes of `count` extents from `first` in `hold` (which must
  // hold nothing yet): none of them can be dropped until it is released, so
  // those that hasExtent then reports present stay present. One hold per
  // store at a time: a second one could deadlock against an eviction.
  void holdExtents(int64_t first, int64_t count, KqBlkExtentHold& hold) const;
  // Counts a read of `count` extents from `first` as use in the cache
  // managers, so that the least recently read go first. Cheap when the
  // range was counted lately. Not while this thread holds extents here.
  void noteRead(int64_t first, int64_t count);
  // The data file (extent e at e * getExtentSize()), for reads of extents
  // under a hold only. Owned by the store.
  int dataDescriptor() const;
  // Stores a whole extent and marks it present (data before the mark).
  CUxError writeExtent(int64_t extent, const void* buffer);
  // Forgets an extent and frees its space (the cache manager's eviction).
  CUxError dropExtent(int64_t extent);
  // The same for `count` extents from `first`, with one bitmap write and
  // one hole.
  CUxError dropExtents(int64_t first, int64_t count);

  // Number of extents the store spans, and how many of them are present.
  int64_t getExtentCount() const;
  int64_t getPresentCount() const;
  // Flushes the data file, then the presence bitmap, to stable storage.
  // (Without it, extents and bits survive a crash of the process but not
  // necessarily a crash of the machine.)
  CUxError sync();

  struct Impl;
  Impl& impl() { return *m_impl; }

 private:
  explicit KqBlkRecallStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};
