// The cache manager: an LRU list of extent items, grouped by store so that a
// whole store can be forgotten at once, and a table of unevictable items.
#include "kqblk_cache_manager.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <list>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kq_config.h"
#include "kq_log.h"
#include "kqblk_store.h"
#include "kqblk_store_impl.h"

namespace {

const char kFunc[] = "CacheManager";
const size_t kEvictBatch = 256;

// The use clock of RecentUse: moves once a cache manager has admitted or
// moved to the front 1/64 of its capacity.
std::atomic<uint64_t> gUseClock{0};

struct Bucket;

struct Entry {
  Bucket* bucket;
  int64_t extent;
  uint64_t size;
};

using Lru = std::list<Entry>;

// The items of one store. The extent's name is rebuilt from key and number,
// so an item costs a list node and a table slot, not a copy of its name.
struct Bucket {
  std::string key;
  std::unordered_map<int64_t, Lru::iterator> extents;
};

}  // namespace

struct CacheManager::Impl {
  mutable std::mutex mutex;
  uint64_t capacity = 0;
  uint64_t used = 0;       // every item
  uint64_t evictable = 0;  // the items in lru
  Lru lru;                 // front: most recently used
  std::unordered_map<std::string, std::unique_ptr<Bucket>> buckets;
  std::unordered_map<std::string, uint64_t> pinned;  // names that are not extents
  uint64_t usedSinceTick = 0;  // bytes admitted or moved to the front

  void countUse(uint64_t bytes) {
    usedSinceTick += bytes;
    if (usedSinceTick >= std::max<uint64_t>(capacity / 64, 1)) {
      usedSinceTick = 0;
      gUseClock.fetch_add(1, std::memory_order_release);
    }
  }

  // Moves the extents of [first, first + count) of a store that are items
  // to the front. Extents recalled or used together lie next to each other
  // in the list, higher ones nearer the front, so a run costs one lookup
  // and one splice per block of neighbours, not per extent.
  void touch(const std::string& key, int64_t first, int64_t count) {
    const auto b = buckets.find(key);
    if (b == buckets.end()) return;
    Bucket* bucket = b->second.get();
    uint64_t moved = 0;
    const int64_t end = first + count;
    for (int64_t e = first; e < end;) {
      const auto found = bucket->extents.find(e);
      if (found == bucket->extents.end()) {
        ++e;
        continue;
      }
      const Lru::iterator back = found->second;
      Lru::iterator front = back;
      moved += back->size;
      for (++e; e < end && front != lru.begin(); ++e) {
        const Lru::iterator up = std::prev(front);
        if (up->bucket != bucket || up->extent != e) break;
        front = up;
        moved += up->size;
      }
      if (front != lru.begin()) lru.splice(lru.begin(), lru, front, std::next(back));
    }
    countUse(moved);
  }

  Lru::iterator find(const std::string& key, int64_t extent) {
    const auto b = buckets.find(key);
    if (b == buckets.end()) return lru.end();
    const auto e = b->second->extents.find(extent);
    return e == b->second->extents.end() ? lru.end() : e->second;
  }

  void erase(Lru::iterator it) {
    used -= it->size;
    evictable -= it->size;
    Bucket* b = it->bucket;
    b->extents.erase(it->extent);
    lru.erase(it);
    if (b->extents.empty()) {
      const std::string key = b->key;  // erasing destroys b
      buckets.erase(key);
    }
  }

  // Forgets the least recently used items until `fits` holds, then up to
  // kEvictBatch more (at most 1/256 of the items), and drops their extents
  // from their stores: sequentially recalled extents leave together, one
  // hole per run instead of one per extent. `keep` is never a victim.
  template <typename Fits>
  void evict(Fits fits, Lru::iterator keep) {
    std::vector<std::pair<std::string, int64_t>> victims;
    auto take = [&] {
      const Lru::iterator victim = std::prev(lru.end());
      if (victim == keep) return false;
      victims.emplace_back(victim->bucket->key, victim->extent);
      erase(victim);
      return true;
    };
    while (!fits() && !lru.empty() && take()) {
    }
    const size_t extra = std::min(kEvictBatch, lru.size() / 256);
    for (size_t i = 0; i < extra && !lru.empty() && take(); ++i) {
    }
    std::sort(victims.begin(), victims.end());
    for (size_t i = 0; i < victims.size();) {
      size_t j = i;  // victims[i, j) belong to one store
      while (j < victims.size() && victims[j].first == victims[i].first) ++j;
      kqblk_store::withOpenStore(victims[i].first, [&](KqBlkRecallStore& store) {
        for (size_t r = i; r < j;) {
          size_t e = r + 1;  // victims[r, e) are consecutive extents
          while (e < j && victims[e].second == victims[e - 1].second + 1) ++e;
          const CUxError err = store.dropExtents(victims[r].second, static_cast<int64_t>(e - r));
          if (err.IsError()) {
            EvDebug::Error(kFunc, "Cannot drop extents [%lld]+[%zu] of store [%s]: %s",
                           static_cast<long long>(victims[r].second), e - r,
                           victims[i].first.c_str(), err.AsString().c_str());
          }
          r = e;
        }
      });
      i = j;
    }
  }

  bool purge(const std::string& key) {
    const auto b = buckets.find(key);
    if (b == buckets.end()) return false;
    std::vector<Lru::iterator> items;
    items.reserve(b->second->extents.size());
    for (const auto& e : b->second->extents) items.push_back(e.second);
    for (Lru::iterator it : items) erase(it);  // the last one erases the bucket
    return true;
  }
};

namespace {

struct Managers {
  std::mutex mutex;
  std::vector<CacheManager::Impl*> list;
};

Managers& managers() {
  static Managers* m = new Managers();  // never destroyed: stores may outlive statics
  return *m;
}

}  // namespace

CacheManager::CacheManager(uint64_t capacityBytes) : m_impl(std::make_unique<Impl>()) {
  if (capacityBytes == 0) {
    uint64_t configured = 0;
    if (KQPlatformInfo::getNumber("Session", "nKqBlkCacheCapacity", &configured) && configured) {
      capacityBytes = configured;
    } else {
      capacityBytes = kDefaultCapacity;
    }
  }
  m_impl->capacity = capacityBytes;
  Managers& m = managers();
  std::lock_guard<std::mutex> lock(m.mutex);
  m.list.push_back(m_impl.get());
}

CacheManager::~CacheManager() {
  Managers& m = managers();
  std::lock_guard<std::mutex> lock(m.mutex);
  for (auto it = m.list.begin(); it != m.list.end(); ++it) {
    if (*it == m_impl.get()) {
      m.list.erase(it);
      break;
    }
  }
}

bool CacheManager::UpdateItem(const std::string& fileName, uint64_t size, int /*flags*/) {
  if (fileName.empty()) return false;
  std::string key;
  int64_t extent = 0;
  const bool isExtent = kqblk_store::parseExtentName(fileName, key, extent);
  Impl& c = *m_impl;
  std::lock_guard<std::mutex> lock(c.mutex);
  if (size > c.capacity) return false;

  Lru::iterator self = c.lru.end();
  uint64_t old = 0;
  if (isExtent) {
    self = c.find(key, extent);
    if (self != c.lru.end()) old = self->size;
  } else {
    const auto p = c.pinned.find(fileName);
    if (p != c.pinned.end()) old = p->second;
  }
  const bool exists = self != c.lru.end();

  const uint64_t others = c.used - old;
  if (others + size > c.capacity) {
    const uint64_t othersEvictable = c.evictable - (exists ? old : 0);
    if (others - othersEvictable + size > c.capacity) return false;
    if (exists) c.lru.splice(c.lru.begin(), c.lru, self);  // the last candidate
    c.evict([&] { return c.used - old + size <= c.capacity; }, self);
  }

  c.used = c.used - old + size;
  c.countUse(size);
  if (!isExtent) {
    c.pinned[fileName] = size;
    return true;
  }
  c.evictable = c.evictable - old + size;
  if (exists) {
    self->size = size;
    c.lru.splice(c.lru.begin(), c.lru, self);
    return true;
  }
  std::unique_ptr<Bucket>& b = c.buckets[key];
  if (!b) {
    b = std::make_unique<Bucket>();
    b->key = key;
  }
  c.lru.push_front(Entry{b.get(), extent, size});
  b->extents[extent] = c.lru.begin();
  return true;
}

bool CacheManager::DeleteFromCache(const std::string& fileName) {
  Impl& c = *m_impl;
  std::string key;
  int64_t extent = 0;
  if (kqblk_store::parseExtentName(fileName, key, extent)) {
    std::lock_guard<std::mutex> lock(c.mutex);
    const Lru::iterator it = c.find(key, extent);
    if (it == c.lru.end()) return false;
    c.erase(it);
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    const auto p = c.pinned.find(fileName);
    if (p != c.pinned.end()) {
      c.used -= p->second;
      c.pinned.erase(p);
      return true;
    }
  }
  // A file of a store directory (or the directory itself): the store's key
  // is the canonical path of the directory that holds it.
  std::vector<std::string> keys;
  const size_t slash = fileName.rfind('/');
  const std::string parent =
      slash == std::string::npos ? std::string(".") : (slash == 0 ? std::string("/") : fileName.substr(0, slash));
  keys.push_back(kqblk_store::canonicalDirectory(parent));
  struct stat st;
  if (::lstat(fileName.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    keys.push_back(kqblk_store::canonicalDirectory(fileName));
  }
  std::lock_guard<std::mutex> lock(c.mutex);
  bool removed = false;
  for (const std::string& k : keys) removed = c.purge(k) || removed;
  return removed;
}

uint64_t CacheManager::capacity() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->capacity;
}

uint64_t CacheManager::usedBytes() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->used;
}

size_t CacheManager::itemCount() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->lru.size() + m_impl->pinned.size();
}

void CacheManager::ForgetStore(const std::string& storeKey) {
  if (storeKey.empty()) return;
  Managers& m = managers();
  std::lock_guard<std::mutex> lock(m.mutex);
  for (Impl* c : m.list) {
    std::lock_guard<std::mutex> inner(c->mutex);
    c->purge(storeKey);
  }
}

size_t CacheManager::AdmitStore(KqBlkRecallStore& store) {
  std::vector<std::vector<uint8_t>> chunks;
  int32_t bitsPerChunk = 0;
  if (store.getExtentBitmap(chunks, bitsPerChunk).IsError()) return 0;
  const std::string& key = kqblk_store::storeKey(store);
  const uint64_t size = static_cast<uint64_t>(store.getExtentSize());
  std::vector<int64_t> admitted;
  std::vector<int64_t> dropped;
  {
    Impl& c = *m_impl;
    std::lock_guard<std::mutex> lock(c.mutex);
    std::unique_ptr<Bucket>& b = c.buckets[key];
    if (!b) {
      b = std::make_unique<Bucket>();
      b->key = key;
    }
    for (size_t i = 0; i < chunks.size(); ++i) {
      for (size_t byte = 0; byte < chunks[i].size(); ++byte) {
        for (int bit = 0; chunks[i][byte] >> bit; ++bit) {
          if (!((chunks[i][byte] >> bit) & 1)) continue;
          const int64_t e =
              static_cast<int64_t>(i) * bitsPerChunk + static_cast<int64_t>(byte * 8) + bit;
          if (b->extents.count(e)) continue;
          if (c.used + size > c.capacity) {
            dropped.push_back(e);
            continue;
          }
          c.used += size;
          c.evictable += size;
          admitted.push_back(e);
        }
      }
    }
    // At the back, higher extents nearer the front, as recalls leave them.
    for (auto e = admitted.rbegin(); e != admitted.rend(); ++e) {
      c.lru.push_back(Entry{b.get(), *e, size});
      b->extents[*e] = std::prev(c.lru.end());
    }
    if (b->extents.empty()) c.buckets.erase(key);
  }
  for (size_t r = 0; r < dropped.size();) {
    size_t e = r + 1;  // dropped[r, e) are consecutive extents
    while (e < dropped.size() && dropped[e] == dropped[e - 1] + 1) ++e;
    const CUxError err = store.dropExtents(dropped[r], static_cast<int64_t>(e - r));
    if (err.IsError()) {
      EvDebug::Error(kFunc, "Cannot drop extents [%lld]+[%zu] of store [%s]: %s",
                     static_cast<long long>(dropped[r]), e - r, key.c_str(),
                     err.AsString().c_str());
    }
    r = e;
  }
  return admitted.size();
}

void CacheManager::TouchExtents(const std::string& storeKey, int64_t first, int64_t count,
                                RecentUse& recent) {
  if (count <= 0 || storeKey.empty()) return;
  // Read before the touch: should the clock move meanwhile, the range is
  // remembered under the older tick and counted again.
  const uint64_t tick = gUseClock.load(std::memory_order_acquire);
  if (recent.seen(first, count, tick)) return;
  {
    Managers& m = managers();
    std::lock_guard<std::mutex> lock(m.mutex);
    for (Impl* c : m.list) {
      std::lock_guard<std::mutex> inner(c->mutex);
      c->touch(storeKey, first, count);
    }
  }
  recent.remember(first, count, tick);
}

// A tag holds the range's first extent but its low 8 bits (the slot gives
// them back), its count (1 to 4095) and the clock's low 27 bits: a range
// met again exactly 2^27 ticks later in an untouched slot is taken as seen,
// which costs one use not counted.
uint64_t CacheManager::RecentUse::tag(int64_t first, int64_t count, uint64_t tick) {
  if (first < 0 || first >= (int64_t(1) << 33) || count <= 0 || count >= 4096) return 0;
  return (tick & ((uint64_t(1) << 27) - 1)) << 37 | static_cast<uint64_t>(first >> 8) << 12 |
         static_cast<uint64_t>(count);
}

bool CacheManager::RecentUse::seen(int64_t first, int64_t count, uint64_t tick) const {
  const uint64_t t = tag(first, count, tick);
  return t != 0 && m_slots[slot(first)].load(std::memory_order_acquire) == t;
}

void CacheManager::RecentUse::remember(int64_t first, int64_t count, uint64_t tick) {
  const uint64_t t = tag(first, count, tick);
  if (t != 0) m_slots[slot(first)].store(t, std::memory_order_release);
}
