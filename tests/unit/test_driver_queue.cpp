// The driver engine's recall queue, read-ahead rule and device names; no
// devices, no privileges.
#include <poll.h>

#include <chrono>
#include <future>
#include <thread>

#include "kqblk_engine_paths.h"
#include "kqblk_engine_queue.h"
#include "support/test_util.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Range = std::pair<int64_t, int64_t>;

short pollEvents(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 ? p.revents : 0;
}

std::vector<int64_t> drain(KqBlkRecallQueue& queue) {
  std::vector<int64_t> taken;
  int64_t e = 0;
  while (queue.pop(e)) taken.push_back(e);
  return taken;
}

// Waits (bounded) until the queue holds `n` extents in flight.
bool inFlight(const KqBlkRecallQueue& queue, size_t n) {
  for (int i = 0; i < 2000 && queue.inFlightCount() != n; ++i) std::this_thread::sleep_for(1ms);
  return queue.inFlightCount() == n;
}

// The extents [from, to) a read of [first, first + count) fetches ahead.
Range onRead(KqBlkReadAhead& ahead, int64_t first, int64_t count) {
  Range r;
  ahead.onRead(first, count, r.first, r.second);
  return r;
}

class RecallQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(queue.init().IsError()); }
  KqBlkRecallQueue queue;
};

TEST_F(RecallQueueTest, ReadersOfOneExtentShareOneRequest) {
  auto first = std::async(std::launch::async, [&] { return queue.recallAndWait({5, 6}); });
  ASSERT_TRUE(inFlight(queue, 2));
  auto second = std::async(std::launch::async, [&] { return queue.recallAndWait({5, 8}); });
  ASSERT_TRUE(inFlight(queue, 3));
  EXPECT_EQ((std::vector<int64_t>{5, 6, 8}), drain(queue));
  // 6 is being served now: a new reader of it waits for that, no new request.
  auto third = std::async(std::launch::async, [&] { return queue.recallAndWait({6, 7}); });
  ASSERT_TRUE(inFlight(queue, 4));
  EXPECT_EQ((std::vector<int64_t>{7}), drain(queue));
  EXPECT_EQ(0, pollEvents(queue.notifyFd())) << "readable with nothing queued";
  queue.done(8);
  EXPECT_TRUE(second.wait_for(0ms) == std::future_status::timeout);

  queue.done(6);
  queue.done(5);
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());
  EXPECT_EQ(std::future_status::timeout, third.wait_for(50ms)) << "woke before 7 was done";
  queue.done(7);
  EXPECT_TRUE(third.get());
  EXPECT_EQ(0u, queue.inFlightCount());
}

TEST_F(RecallQueueTest, DescriptorIsReadableExactlyWhileRequestsAreQueued) {
  EXPECT_EQ(0, pollEvents(queue.notifyFd()));
  queue.prefetch({1, 2, 3});
  int64_t e = 0;
  ASSERT_TRUE(queue.pop(e));
  EXPECT_EQ(1, e);
  // An extent nobody asked for, done: neither the queue nor the taken one changes.
  queue.done(99);
  EXPECT_EQ(2u, queue.queuedCount());
  EXPECT_EQ(3u, queue.inFlightCount());
  EXPECT_TRUE(pollEvents(queue.notifyFd()) & POLLIN);
  ASSERT_TRUE(queue.pop(e));
  EXPECT_TRUE(pollEvents(queue.notifyFd()) & POLLIN) << "one request is still queued";
  ASSERT_TRUE(queue.pop(e));
  EXPECT_EQ(0, pollEvents(queue.notifyFd()));
  EXPECT_FALSE(queue.pop(e));
  // Done before it was taken (a service thread filling several extents).
  queue.prefetch({10});
  queue.done(10);
  EXPECT_EQ(0, pollEvents(queue.notifyFd()));
  EXPECT_EQ(0u, queue.queuedCount());
}

TEST_F(RecallQueueTest, DemandGoesBeforeReadAheadAndPromotesIt) {
  queue.prefetch({20, 21, 22});
  queue.prefetch({21, 23});  // in flight already: not queued twice
  auto reader = std::async(std::launch::async, [&] { return queue.recallAndWait({22, 30}); });
  ASSERT_TRUE(inFlight(queue, 5));
  EXPECT_EQ((std::vector<int64_t>{22, 30, 20, 21, 23}), drain(queue));
  for (int64_t e : {20, 21, 22, 23, 30}) queue.done(e);
  EXPECT_TRUE(reader.get());
}

TEST_F(RecallQueueTest, AbortFailsWaitersAndLaterRequestsAndHangsUpTheDescriptor) {
  auto reader = std::async(std::launch::async, [&] { return queue.recallAndWait({1}); });
  ASSERT_TRUE(inFlight(queue, 1));
  queue.abort();
  EXPECT_FALSE(reader.get());
  EXPECT_TRUE(queue.aborted());
  EXPECT_FALSE(queue.recallAndWait({2}));
  int64_t e = 0;
  EXPECT_FALSE(queue.pop(e));
  EXPECT_TRUE(pollEvents(queue.notifyFd()) & POLLHUP);
}

TEST_F(RecallQueueTest, TakenExtentsAreFinishedWhenIdleOrWhenAReaderIsStuckOnThem) {
  EXPECT_TRUE(queue.finishTakenNow()) << "nothing queued";
  queue.prefetch({1, 2, 3});
  int64_t e = 0;
  ASSERT_TRUE(queue.pop(e));
  EXPECT_FALSE(queue.finishTakenNow()) << "read-ahead queued and nobody waits";
  auto stuck = std::async(std::launch::async, [&] { return queue.recallAndWait({1}); });
  for (int i = 0; i < 2000 && !queue.finishTakenNow(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(queue.finishTakenNow()) << "a reader waits for taken extent 1";
  auto other = std::async(std::launch::async, [&] { return queue.recallAndWait({9}); });
  ASSERT_TRUE(inFlight(queue, 4));
  EXPECT_FALSE(queue.finishTakenNow()) << "another reader's extent is still queued";
  ASSERT_TRUE(queue.pop(e));
  EXPECT_EQ(9, e);
  EXPECT_TRUE(queue.finishTakenNow());
  queue.done(9);
  queue.done(1);
  EXPECT_TRUE(stuck.get());
  EXPECT_TRUE(other.get());
  EXPECT_FALSE(queue.finishTakenNow()) << "only read-ahead left";
  queue.done(2);  // done before it was taken
  ASSERT_TRUE(queue.pop(e));
  EXPECT_TRUE(queue.finishTakenNow());
  queue.abort();
  EXPECT_TRUE(queue.finishTakenNow());
}

TEST(ReadAheadTest, SequentialRunsGrowTheWindowUpToItsBound) {
  KqBlkReadAhead ahead(100000, 32, 128);
  EXPECT_EQ(Range(0, 0), onRead(ahead, 0, 16)) << "a first read fetches nothing extra";
  EXPECT_EQ(Range(32, 64), onRead(ahead, 16, 16));
  int64_t frontier = 64;
  for (int64_t at = 32; at < 1024; at += 16) {
    const auto [from, to] = onRead(ahead, at, 16);
    if (from == to) continue;
    EXPECT_EQ(frontier, from) << "ranges handed out overlap or leave gaps";
    EXPECT_LE(to - (at + 16), 128) << "fetched beyond the window";
    frontier = to;
  }
  EXPECT_EQ(128, ahead.window());
  EXPECT_GE(frontier, 1024 + 64) << "less than half a window ahead";
  EXPECT_LE(frontier, 1024 + 128);
}

TEST(ReadAheadTest, OutOfOrderPiecesOfARunStillCount) {
  KqBlkReadAhead ahead(100000, 32, 128);
  onRead(ahead, 0, 32);
  EXPECT_EQ(Range(96, 128), onRead(ahead, 64, 32)) << "its neighbour [32, 64) is on its way";
  // The late neighbour continues the run: the window grows, and nothing
  // fetched already is asked for again.
  EXPECT_EQ(Range(0, 0), onRead(ahead, 32, 32));
  EXPECT_EQ(64, ahead.window());
}

TEST(ReadAheadTest, RandomReadsFetchNothingExtraAndTheEndIsRespected) {
  KqBlkReadAhead ahead(1000, 32, 128);
  for (int64_t at : {500, 10, 900, 300, 700, 50}) EXPECT_EQ(Range(0, 0), onRead(ahead, at, 1)) << at;
  onRead(ahead, 980, 4);
  EXPECT_EQ(Range(988, 1000), onRead(ahead, 984, 4));
  EXPECT_EQ(Range(0, 0), onRead(ahead, 988, 12)) << "nothing lies past the end";
}

TEST(DeviceNameTest, OnlyPlainPathComponentsAreAccepted) {
  std::string why;
  for (const char* good : {"disk-1", "6a1b2c3d-0000-4000-8000-00000000abcd", "with space", "ü"}) {
    EXPECT_TRUE(KqBlkPaths::validName(good, why)) << good << ": " << why;
  }
  for (const std::string& bad :
       {""s, "."s, ".."s, "a/b"s, "../x"s, "/abs"s, "x\n"s, "x\x1b"s, "del\x7f"s, std::string(201, 'n')}) {
    EXPECT_FALSE(KqBlkPaths::validName(bad, why)) << bad;
    EXPECT_FALSE(why.empty());
  }
  std::string name;
  EXPECT_TRUE(KqBlkPaths::nameOfBackingFile("/run/kqblk/dev/disk-1/disk", name));
  EXPECT_EQ("disk-1", name);
  for (const char* other : {"/run/kqblk/dev/a/b/disk", "/run/kqblk/dev/../disk",
                            "/tmp/run/kqblk/dev/x/disk", "/run/kqblk/dev/x/disk2"}) {
    EXPECT_FALSE(KqBlkPaths::nameOfBackingFile(other, name)) << other;
  }
  EXPECT_EQ("/dev/kqblk/disk-1p5", KqBlkPaths::partitionNode("disk-1", 5));
}

}  // namespace
