// The process-wide cache manager: accounts for the recall stores' extents and
// evicts the least recently used ones when it must make room.
//
// Capacity: the constructor's argument in bytes; 0 takes nKqBlkCacheCapacity
// (bytes) of section "Session", read once at construction; when that key is
// missing or 0, kDefaultCapacity (2 GiB).
//
// Items are names. An extent name (what KqBlkRecallStore::getExtentFileName
// gives, "<store directory>/data#<extent>") is evictable: to make room the
// least recently used one is dropped from its store (hole punched, bit
// cleared; a later read recalls it again). Admitting, refreshing and reading
// an extent (KqBlkRecallStore::noteRead, from the driver's read paths) count
// as use. An extent name whose store is not open in this process is evicted
// by forgetting it. Any other name is accounted but never evicted; only
// DeleteFromCache removes it.
// A large cache evicts a little ahead (up to 256 extents, at most 1/256 of
// its items) so that runs of neighbouring extents go with one hole each.
//
// DeleteFromCache of a file inside a store directory that is not an extent
// name (the store's own files, as a directory walk finds them) forgets every
// extent of that store. Deleting a store object or removing a store directory
// does the same in every cache manager, so capacity never leaks.
//
// Thread-safe. Lock order: cache manager, then the store registry, then a
// store's own locks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class KqBlkRecallStore;

class CacheManager {
 public:
  static constexpr uint64_t kDefaultCapacity = uint64_t(2) << 30;

  // Capacity in bytes; 0 takes nKqBlkCacheCapacity of section "Session".
  explicit CacheManager(uint64_t capacityBytes = 0);
  // Forgets every item; the extents stay in their stores.
  ~CacheManager();
  CacheManager(const CacheManager&) = delete;
  CacheManager& operator=(const CacheManager&) = delete;

  // Admits or refreshes an extent; false only when no room can be made
  // (nothing is evicted then).
  bool UpdateItem(const std::string& fileName, uint64_t size, int flags);
  // Forgets a file, or every extent of a store when given a store's file.
  // True when anything was forgotten.
  bool DeleteFromCache(const std::string& fileName);

  uint64_t capacity() const;
  uint64_t usedBytes() const;
  size_t itemCount() const;

  // Accounts the present extents of a recall store just opened (recalled
  // before): they join as the least recently used, and those that do not
  // fit in the room left are dropped from the store. Extents already
  // accounted stay as they are. Returns how many were admitted. Never for a
  // private store: its extents are the only copy of what was written.
  size_t AdmitStore(KqBlkRecallStore& store);

  // Forgets every extent of the store whose canonical directory is
  // `storeKey`, in every cache manager of the process (used by the stores).
  static void ForgetStore(const std::string& storeKey);

  // The ranges of one store counted as used lately (a store holds one):
  // counting the same range again before the use clock moves takes no lock.
  // The clock moves each time a cache manager has admitted or moved to the
  // front 1/64 of its capacity, so a range skipped is at most that far from
  // its true place in the order. Lock-free.
  class RecentUse {
   public:
    bool seen(int64_t first, int64_t count, uint64_t tick) const;
    void remember(int64_t first, int64_t count, uint64_t tick);

   private:
    static const size_t kSlots = 256;
    // 0 when the range is too large to remember.
    static uint64_t tag(int64_t first, int64_t count, uint64_t tick);
    static size_t slot(int64_t first) {
      return static_cast<size_t>(first ^ (first >> 8)) % kSlots;
    }
    std::atomic<uint64_t> m_slots[kSlots] = {};
  };
  // Counts a read of `count` extents from `first` of the store at
  // `storeKey` as use, in every cache manager of the process: the extents
  // they know become the most recently used. Must not be called while
  // holding any of the store's extents (an eviction waits for those with
  // the cache manager locked).
  static void TouchExtents(const std::string& storeKey, int64_t first, int64_t count,
                           RecentUse& recent);

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};
