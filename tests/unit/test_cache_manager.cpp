// The cache manager over real recall stores: least-recently-used eviction
// with reads through the driver's read paths counting as use, reopened
// stores, refusal, purges by store file, deletion and removal, and
// concurrent use.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "kqblk_cache_manager.h"
#include "kqblk_engine_io.h"
#include "kqblk_store.h"
#include "support/test_util.h"

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

std::vector<char> pattern(int64_t extent) { return randomBytes(kExtent, uint32_t(extent)); }

// What the service thread does for one recalled extent; `flush` writes a
// staged one at once.
bool recall(CacheManager& cache, KqBlkRecallStore& s, int64_t extent, bool flush = true) {
  if (!cache.UpdateItem(nameOf(s, extent), kExtent, 0)) return false;
  std::string temp;
  std::shared_ptr<std::ostream> stream;
  if (s.openTempFile(temp, stream).IsError()) return false;
  const auto data = pattern(extent);
  stream->write(data.data(), kExtent);
  stream.reset();
  return !s.moveInExtentFile(temp, extent).IsError() && (!flush || !s.flushStaged().IsError());
}

std::set<int64_t> presentExtents(const KqBlkRecallStore& s) {
  std::set<int64_t> present;
  for (int64_t e = 0; e < s.getExtentCount(); ++e) {
    if (s.hasExtent(e)) present.insert(e);
  }
  return present;
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
      const char op = step[0];
      long long e = 0, last = -1;
      std::sscanf(step.c_str() + 1, "%lld-%lld", &e, &last);
      last = std::max(last, e);
      if (op == 'a' || op == 'u') {
        ASSERT_TRUE(op == 'a' ? recall(cache, *s, e) : cache.UpdateItem(nameOf(*s, e), kExtent, 0));
        continue;
      }
      // A read of an absent extent would wait for a recall nobody serves.
      ASSERT_TRUE(s->hasExtent(e) && s->hasExtent(last)) << step;
      const off_t at = e * kExtent + (op == 'p' ? 200 : 0);
      const size_t length = op == 'p' ? 100 : static_cast<size_t>(last - e + 1) * kExtent;
      std::vector<char> out(length);
      size_t done = 0;
      if (op == 'h') {
        ASSERT_EQ(io.readHeld(length, at, [](const std::vector<KqBlkReadPiece>&, size_t) {}), 0);
      } else {
        ASSERT_EQ(io.read(out.data(), length, at, done), 0);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), pattern(e).begin() + at % kExtent));
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
  for (int64_t e : {0, 1, 2}) ASSERT_TRUE(recall(cache, *s, e, false));  // 2 evicts staged 0
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
    int64_t capacity, othersFirst;  // in extents; another store's, recalled before
    std::set<int64_t> kept;         // of the reopened store's 0, 1, 2 and 7
  };
  const Case cases[] = {{8, 0, {0, 1, 2, 7}}, {4, 2, {0, 1}}, {4, 4, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.capacity * 10 + c.othersFirst);
    TempDir dir;
    auto other = makeStore(dir / "other", 16);
    auto s = makeStore(dir / "rb", 16);
    for (int64_t e : {0, 1, 2, 7}) ASSERT_FALSE(s->writeExtent(e, pattern(e).data()).IsError());
    s.reset();
    CUxError err;
    s.reset(KqBlkRecallStore::open(dir / "rb", err));
    ASSERT_TRUE(s) << err.AsString();
    CacheManager cache(c.capacity * kExtent);
    for (int64_t e = 0; e < c.othersFirst; ++e) ASSERT_TRUE(recall(cache, *other, e));

    EXPECT_EQ(cache.AdmitStore(*s), c.kept.size());
    EXPECT_EQ(cache.AdmitStore(*s), 0u);
    EXPECT_EQ(presentExtents(*s), c.kept);
    EXPECT_EQ(cache.usedBytes(), (c.othersFirst + c.kept.size()) * kExtent);
    // Later recalls evict them before anything recalled in this process.
    for (int64_t e = 8; e < 8 + c.capacity - c.othersFirst; ++e) {
      ASSERT_TRUE(recall(cache, *other, e));
    }
    EXPECT_EQ(s->getPresentCount(), 0);
    EXPECT_EQ(other->getPresentCount(), c.capacity);
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
  // Destroying a disk names the store's files as the caller spelt the path.
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

  EXPECT_TRUE(cache.DeleteFromCache(base + "rbstore/header"));
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

// Recalls, reads counted as use and evictions on several threads while
// other stores come and go.
TEST(CacheManager, ConcurrentUseStaysConsistent) {
  TempDir dir;
  const int kThreads = 3, kPerThread = 400, kTotal = kThreads * kPerThread;
  auto steady = makeStore(dir / "steady", kTotal);
  for (size_t extents : {kTotal + 16, 64}) {  // room for all, then evictions
    CacheManager cache(extents * kExtent);
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
      for (int round = 0; round < 30; ++round) {
        const std::string path = dir / ("gone" + std::to_string(round));
        auto s = makeStore(path, 64);
        for (int64_t e = 0; e < 16; ++e) failed = !recall(cache, *s, e) || failed;
        if (round % 2) s->clear();
        s.reset();
        failed = KqBlkBackingStore::remove(path).IsError() || failed;
      }
    });
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::vector<char> buf(kExtent);
        for (int64_t e = t * kPerThread; e < (t + 1) * kPerThread; ++e) {
          failed = !recall(cache, *steady, e) || cache.usedBytes() > cache.capacity() || failed;
          // A present extent never shows other bytes.
          const bool read = steady->hasExtent(e) && !steady->readExtent(e, buf.data()).IsError();
          failed = (read && buf != pattern(e)) || failed;
          steady->noteRead(std::max<int64_t>(0, e - 8), 8);
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(cache.usedBytes(), cache.itemCount() * kExtent);
    EXPECT_EQ(cache.itemCount() == size_t(kTotal), extents > size_t(kTotal));
    if (extents > size_t(kTotal)) {
      EXPECT_EQ(steady->getPresentCount(), kTotal);
    }
    // Only the steady store's extents are left.
    EXPECT_TRUE(cache.DeleteFromCache(dir / "steady/data"));
    EXPECT_EQ(cache.itemCount(), 0u);
    steady->dropExtents(0, kTotal);
  }
}
