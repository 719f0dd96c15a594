// The cache manager over real recall stores: LRU eviction, refusal, purges
// by store file, by store deletion and by removal, and concurrent use.
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "kqblk_cache_manager.h"
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
  return !s.moveInExtentFile(temp, extent).IsError();
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

TEST(CacheManager, EvictsTheLeastRecentlyUsed) {
  TempDir dir;
  auto s = makeStore(dir / "rb", 16);
  CacheManager cache(3 * kExtent);
  for (int64_t e : {0, 1, 2}) ASSERT_TRUE(recall(cache, *s, e));
  ASSERT_TRUE(cache.UpdateItem(nameOf(*s, 0), kExtent, 0));  // refresh: 1 is now oldest
  ASSERT_TRUE(recall(cache, *s, 3));
  EXPECT_FALSE(s->hasExtent(1));
  for (int64_t e : {0, 2, 3}) EXPECT_TRUE(s->hasExtent(e)) << e;
  ASSERT_TRUE(recall(cache, *s, 4));
  EXPECT_FALSE(s->hasExtent(2));
  EXPECT_EQ(cache.usedBytes(), 3u * kExtent);
  EXPECT_EQ(cache.itemCount(), 3u);
  EXPECT_EQ(s->getPresentCount(), 3);
  // An evicted extent comes back like any other.
  ASSERT_TRUE(recall(cache, *s, 1));
  std::vector<char> buf(kExtent);
  ASSERT_FALSE(s->readExtent(1, buf.data()).IsError());
  EXPECT_EQ(buf, pattern(1));
}

TEST(CacheManager, StagedExtentsCountAndAnEvictedOneStaysGone) {
  TempDir dir;
  auto s = makeStore(dir / "rb", 16);
  s->setStagedRun(8);
  CacheManager cache(2 * kExtent);
  for (int64_t e : {0, 1, 2}) ASSERT_TRUE(recall(cache, *s, e));  // 2 evicts staged 0
  ASSERT_FALSE(s->flushStaged().IsError());
  EXPECT_FALSE(s->hasExtent(0));
  EXPECT_TRUE(s->hasExtent(1));
  EXPECT_TRUE(s->hasExtent(2));
  EXPECT_EQ(s->getPresentCount(), 2);
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
  for (int64_t e : {0, 1, 2, 3}) EXPECT_FALSE(s->hasExtent(e)) << e;
  EXPECT_TRUE(s->hasExtent(4));
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
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(over);
    EXPECT_EQ(cache.usedBytes(), cache.itemCount() * kExtent);
    if (capacity >= uint64_t(kThreads) * kPerThread * kExtent) {
      EXPECT_EQ(cache.itemCount(), size_t(kThreads) * kPerThread);
      EXPECT_EQ(stores[0]->getPresentCount() + stores[1]->getPresentCount(), kThreads * kPerThread);
    } else {
      EXPECT_EQ(cache.itemCount(), 64u);
    }
    stores[0]->clear();
    stores[1]->clear();
    for (auto& s : stores) {
      for (int64_t e = 0; e < s->getExtentCount(); ++e) s->dropExtent(e);
    }
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
