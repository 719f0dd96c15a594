// The cache manager over real recall stores: least-recently-used eviction
// with reads through the driver's read paths counting as use, reopened
// stores, refusal, purges by store file, deletion and removal, and
// concurrent use.
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "kqblk_cache_manager.h"
#include "kqblk_engine_io.h"
#include "kqblk_store.h"
#include "support/temp_dir.h"

namespace {

const int32_t kExtent = 4096;

std::unique_ptr<KqBlkRecallStore> makeStore(const std::string& path, int64_t extents) {
  mkdir(path.c_str(), 0755);
  CUxError err;
  std::unique_ptr<KqBlkRecallStore> s(
      KqBlkRecallStore::create(path, "disk", extents * kExtent, kExtent, err));
  EXPECT_FALSE(err.IsError()) << err.AsString();
  return s;
}

std::string nameOf(KqBlkRecallStore& s, int64_t extent) {
  std::string name;
  EXPECT_FALSE(s.getExtentFileName(extent, name).IsError());
  return name;
}

std::vector<char> pattern(int64_t extent) {
  std::vector<char> b(kExtent);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(extent * 13 + i);
  return b;
}

// What the service thread does for one recalled extent.
bool recall(CacheManager& cache, KqBlkRecallStore& s, int64_t extent) {
  if (!cache.UpdateItem(nameOf(s, extent), kExtent, 0)) return false;
  std::string temp;
  std::shared_ptr<std::ostream> stream;
  if (s.openTempFile(temp, stream).IsError()) return false;
  const auto data = pattern(extent);
  stream->write(data.data(), kExtent);
  stream.reset();
  return !s.moveInExtentFile(temp, extent).IsError() && !s.flushStaged().IsError();
}

std::set<int64_t> presentExtents(const KqBlkRecallStore& s) {
  std::set<int64_t> present;
  for (int64_t e = 0; e < s.getExtentCount(); ++e) {
    if (s.hasExtent(e)) present.insert(e);
  }
  return present;
}

CacheManager* gWalkCache = nullptr;
int deleteEntry(const char* path, const struct stat*, int type) {
  if (type == FTW_F) gWalkCache->DeleteFromCache(path);
  return 0;
}

}  // namespace

TEST(CacheManager, CapacityFromConfiguration) {
  {
    ScopedConfig config("[Session]\nnKqBlkCacheCapacity = 81920\n");
    EXPECT_EQ(CacheManager().capacity(), 81920u);
    EXPECT_EQ(CacheManager(4096).capacity(), 4096u);
  }
  ScopedConfig config("[Session]\n");
  EXPECT_EQ(CacheManager().capacity(), CacheManager::kDefaultCapacity);
}

// A cache of four extents. Steps: "a3" recalls extent 3, "u3" refreshes
// it with UpdateItem, "r3" reads it whole through the engine's copying read,
// "h2-3" reads extents 2 to 3 through its zero-copy read, "p3" reads a few
// bytes inside extent 3.
TEST(CacheManager, ReadsThroughTheDriverCountAsUse) {
  struct Case {
    const char* steps;
    std::set<int64_t> present;
  };
  const Case cases[] = {
      {"a0 a1 a2 a3 a4 a5", {2, 3, 4, 5}},
      {"a0 a1 a2 a3 u0 a4", {0, 2, 3, 4}},
      {"a0 a1 a2 a3 r0 a4 a5", {0, 3, 4, 5}},
      {"a0 a1 a2 a3 h0-1 a4 a5", {0, 1, 4, 5}},
      {"a0 a1 a2 a3 p1 a4", {1, 2, 3, 4}},
      // The second read of 0 comes after the cache moved on: it counts.
      {"a0 a1 a2 a3 r0 a4 r3 r2 r0 a5", {0, 2, 3, 5}},
      // An evicted extent comes back, with its own bytes.
      {"a0 a1 a2 a3 a4 a0 r0", {0, 2, 3, 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps);
    TempDir dir;
    auto priv = makeStore(dir / "pb", 16);
    auto s = makeStore(dir / "rb", 16);
    CacheManager cache(4 * kExtent);
    KqBlkRecallQueue queue;
    KqBlkExtentIO io(priv.get(), s.get(), queue);
    std::istringstream steps(c.steps);
    for (std::string step; steps >> step;) {
      long long e = 0;
      long long last = 0;
      const int n = std::sscanf(step.c_str() + 1, "%lld-%lld", &e, &last);
      if (n < 2) last = e;
      for (long long x = e; x <= last; ++x) ASSERT_TRUE(step[0] == 'a' || s->hasExtent(x)) << x;
      std::vector<char> out(static_cast<size_t>(last - e + 1) * kExtent);
      size_t done = 0;
      const off_t at = static_cast<off_t>(e) * kExtent;
      switch (step[0]) {
        case 'a':
          ASSERT_TRUE(recall(cache, *s, e));
          break;
        case 'u':
          ASSERT_TRUE(cache.UpdateItem(nameOf(*s, e), kExtent, 0));
          break;
        case 'r':
          ASSERT_EQ(io.read(out.data(), kExtent, at, done), 0);
          EXPECT_EQ(out, pattern(e));
          break;
        case 'p':
          ASSERT_EQ(io.read(out.data(), 100, at + 200, done), 0);
          EXPECT_EQ(out[0], pattern(e)[200]);
          break;
        case 'h':
          ASSERT_EQ(io.readHeld(out.size(), at, [](const std::vector<KqBlkReadPiece>&, size_t) {}), 0);
          break;
      }
    }
    EXPECT_EQ(presentExtents(*s), c.present);
    EXPECT_EQ(cache.usedBytes(), c.present.size() * kExtent);
  }
}

TEST(CacheManager, StagedExtentsCountAndAnEvictedOneStaysGone) {
  TempDir dir;
  auto s = makeStore(dir / "rb", 16);
  s->setStagedRun(8);
  CacheManager cache(2 * kExtent);
  for (int64_t e : {0, 1, 2}) {  // 2 evicts staged 0
    ASSERT_TRUE(cache.UpdateItem(nameOf(*s, e), kExtent, 0));
    std::string temp;
    std::shared_ptr<std::ostream> stream;
    ASSERT_FALSE(s->openTempFile(temp, stream).IsError());
    stream->write(pattern(e).data(), kExtent);
    ASSERT_FALSE(s->moveInExtentFile(temp, e).IsError());
  }
  ASSERT_FALSE(s->flushStaged().IsError());
  EXPECT_EQ(presentExtents(*s), (std::set<int64_t>{1, 2}));
  EXPECT_EQ(cache.itemCount(), 2u);
}

TEST(CacheManager, LargeCachesEvictRunsAhead) {
  TempDir dir;
  auto s = makeStore(dir / "rb", 2048);
  CacheManager cache(1024 * kExtent);
  for (int64_t e = 0; e < 1024; ++e) ASSERT_TRUE(recall(cache, *s, e));
  ASSERT_TRUE(recall(cache, *s, 1024));  // evicts 0, then 1023 / 256 = 3 more ahead
  EXPECT_EQ(cache.itemCount(), 1021u);
  EXPECT_EQ(s->getPresentCount(), 1021);
  EXPECT_EQ(*presentExtents(*s).begin(), 4);
}

// A store reopened with extents recalled before: they count toward the
// capacity as the least recently used; those without room are dropped.
TEST(CacheManager, AReopenedStoreCountsTowardCapacity) {
  struct Case {
    uint64_t capacity;  // in extents
    int64_t othersFirst;  // extents of another store recalled before the reopening
    size_t admitted;
    std::set<int64_t> kept;
  };
  const std::set<int64_t> left = {0, 1, 2, 7};
  const Case cases[] = {{8, 0, 4, {0, 1, 2, 7}}, {4, 2, 2, {0, 1}}, {4, 4, 0, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity * 10 + c.othersFirst);
    TempDir dir;
    auto other = makeStore(dir / "other", 16);
    auto s = makeStore(dir / "rb", 16);
    for (int64_t e : left) ASSERT_FALSE(s->writeExtent(e, pattern(e).data()).IsError());
    s.reset();
    CUxError err;
    s.reset(KqBlkRecallStore::open(dir / "rb", err));
    ASSERT_TRUE(s) << err.AsString();
    CacheManager cache(c.capacity * kExtent);
    for (int64_t e = 0; e < c.othersFirst; ++e) ASSERT_TRUE(recall(cache, *other, e));

    EXPECT_EQ(cache.AdmitStore(*s), c.admitted);
    EXPECT_EQ(cache.AdmitStore(*s), 0u);
    EXPECT_EQ(presentExtents(*s), c.kept);
    EXPECT_EQ(cache.usedBytes(), (c.othersFirst + c.kept.size()) * kExtent);
    // Later recalls evict them before anything recalled in this process.
    const int64_t room = static_cast<int64_t>(c.capacity) - c.othersFirst;
    for (int64_t e = 8; e < 8 + room; ++e) ASSERT_TRUE(recall(cache, *other, e));
    EXPECT_EQ(presentExtents(*s), std::set<int64_t>());
    EXPECT_EQ(other->getPresentCount(), static_cast<int64_t>(c.capacity));
  }
}

TEST(CacheManager, RefusesWhenNoRoomCanBeMade) {
  TempDir dir;
  auto s = makeStore(dir / "rb", 16);
  CacheManager cache(2 * kExtent);
  EXPECT_FALSE(cache.UpdateItem(nameOf(*s, 0), 3 * kExtent, 0));
  EXPECT_FALSE(cache.UpdateItem("", kExtent, 0));
  ASSERT_TRUE(recall(cache, *s, 0));
  // Names that are no extents are accounted but never evicted.
  ASSERT_TRUE(cache.UpdateItem("/some/file", kExtent, 0));
  EXPECT_FALSE(cache.UpdateItem("/other/file", 2 * kExtent, 0));
  EXPECT_TRUE(s->hasExtent(0));  // a refusal evicts nothing
  ASSERT_TRUE(recall(cache, *s, 1));
  EXPECT_FALSE(s->hasExtent(0));
  ASSERT_TRUE(cache.UpdateItem("/some/file", 2 * kExtent, 0));  // grows by evicting 1
  EXPECT_FALSE(s->hasExtent(1));
  EXPECT_FALSE(cache.UpdateItem(nameOf(*s, 2), kExtent, 0));
  EXPECT_TRUE(cache.DeleteFromCache("/some/file"));
  EXPECT_EQ(cache.usedBytes(), 0u);
  EXPECT_TRUE(recall(cache, *s, 2));
}

TEST(CacheManager, StoreFileForgetsTheWholeStore) {
  TempDir dir;
  // The walk sees the path as the caller spelt it, not the canonical one.
  const std::string base = dir.path() + "//disk/./";
  mkdir((dir / "disk").c_str(), 0755);
  auto rb = makeStore(base + "rbstore", 16);
  auto other = makeStore(dir / "other", 16);
  CacheManager cache(64 * kExtent);
  for (int64_t e = 0; e < 5; ++e) ASSERT_TRUE(recall(cache, *rb, e));
  ASSERT_TRUE(recall(cache, *other, 0));
  EXPECT_TRUE(cache.DeleteFromCache(nameOf(*rb, 4)));
  EXPECT_FALSE(cache.DeleteFromCache(nameOf(*rb, 4)));
  EXPECT_FALSE(cache.DeleteFromCache(dir / "nostore/file"));

  gWalkCache = &cache;
  ASSERT_EQ(ftw((base + "rbstore").c_str(), deleteEntry, 20), 0);
  EXPECT_EQ(cache.usedBytes(), static_cast<uint64_t>(kExtent));  // other's extent only
  EXPECT_FALSE(cache.DeleteFromCache(base + "rbstore/data"));
  EXPECT_TRUE(cache.DeleteFromCache(dir / "other/bitmap"));
  EXPECT_EQ(cache.itemCount(), 0u);
  EXPECT_TRUE(rb->hasExtent(0));  // forgetting is not evicting
}

TEST(CacheManager, DeletedOrRemovedStoresFreeTheirEntries) {
  TempDir dir;
  CacheManager cache(4 * kExtent);
  auto a = makeStore(dir / "a", 16);
  auto b = makeStore(dir / "b", 16);
  for (int64_t e = 0; e < 2; ++e) ASSERT_TRUE(recall(cache, *a, e));
  for (int64_t e = 0; e < 2; ++e) ASSERT_TRUE(recall(cache, *b, e));
  a.reset();
  EXPECT_EQ(cache.usedBytes(), 2u * kExtent);
  b->clear();
  EXPECT_EQ(cache.usedBytes(), 0u);
  ASSERT_TRUE(recall(cache, *b, 5));
  ASSERT_FALSE(KqBlkBackingStore::remove(dir / "b").IsError());  // while still open
  EXPECT_EQ(cache.usedBytes(), 0u);
  b.reset();

  // Entries of a store closed behind the cache's back are simply forgotten.
  auto c = makeStore(dir / "c", 16);
  const std::string stale = nameOf(*c, 0);
  c.reset();
  ASSERT_TRUE(cache.UpdateItem(stale, 4 * kExtent, 0));
  auto d = makeStore(dir / "d", 16);
  ASSERT_TRUE(recall(cache, *d, 0));
  EXPECT_EQ(cache.usedBytes(), static_cast<uint64_t>(kExtent));
}

// Recalls, reads counted as use and evictions on several threads.
TEST(CacheManager, ConcurrentRecallsStayConsistent) {
  TempDir dir;
  const int kThreads = 4, kPerThread = 400;
  std::vector<std::unique_ptr<KqBlkRecallStore>> stores;
  stores.push_back(makeStore(dir / "shared", kThreads * kPerThread));
  stores.push_back(makeStore(dir / "own", kThreads * kPerThread));

  for (uint64_t capacity : {uint64_t(kThreads) * kPerThread * kExtent, uint64_t(64) * kExtent}) {
    CacheManager cache(capacity);
    std::atomic<bool> over{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          KqBlkRecallStore& s = *stores[i % 2];
          const int64_t e = t * kPerThread + i;
          if (!recall(cache, s, e)) over = true;
          if (cache.usedBytes() > cache.capacity()) over = true;
          std::vector<char> buf(kExtent);
          if (s.hasExtent(e) && !s.readExtent(e, buf.data()).IsError() && buf != pattern(e)) {
            over = true;  // a present extent never shows other bytes
          }
          s.noteRead(std::max<int64_t>(0, e - 8), 8);
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(over);
    EXPECT_EQ(cache.usedBytes(), cache.itemCount() * kExtent);
    EXPECT_EQ(cache.itemCount(), std::min<size_t>(capacity / kExtent, kThreads * kPerThread));
    if (capacity / kExtent >= kThreads * kPerThread) {
      EXPECT_EQ(stores[0]->getPresentCount() + stores[1]->getPresentCount(), kThreads * kPerThread);
    }
    stores[0]->clear();
    stores[1]->clear();
    for (auto& s : stores) s->dropExtents(0, s->getExtentCount());
  }
}

TEST(CacheManager, StoresComeAndGoWhileOthersEvict) {
  TempDir dir;
  auto steady = makeStore(dir / "steady", 4096);
  CacheManager cache(32 * kExtent);
  std::atomic<bool> done{false}, failed{false};
  std::thread churn([&] {
    for (int round = 0; round < 30; ++round) {
      const std::string path = dir / ("gone" + std::to_string(round));
      auto s = makeStore(path, 64);
      for (int64_t e = 0; e < 16; ++e) {
        if (!recall(cache, *s, e)) failed = true;
      }
      if (round % 2) s->clear();
      s.reset();
      if (KqBlkBackingStore::remove(path).IsError()) failed = true;
    }
    done = true;
  });
  for (int64_t e = 0; !done; e = (e + 1) % 4096) {
    if (!recall(cache, *steady, e)) failed = true;
  }
  churn.join();
  EXPECT_FALSE(failed);
  // Only the steady store's extents are left, each one present.
  EXPECT_EQ(cache.usedBytes(), cache.itemCount() * kExtent);
  EXPECT_LE(cache.usedBytes(), cache.capacity());
  EXPECT_TRUE(cache.DeleteFromCache(dir / "steady/data"));
  EXPECT_EQ(cache.itemCount(), 0u);
}
