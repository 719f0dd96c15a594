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
  queue.done(99);  // an extent nobody asked for changes nothing
  EXPECT_EQ(3u, queue.queuedCount());
  EXPECT_EQ(3u, queue.inFlightCount());
  EXPECT_TRUE(pollEvents(queue.notifyFd()) & POLLIN);
  int64_t e = 0;
  ASSERT_TRUE(queue.pop(e));
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
  queue.abort();  // twice is harmless
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
  int64_t from = 0, to = 0;
  ahead.onRead(0, 16, from, to);
  EXPECT_EQ(from, to) << "a first read fetches nothing extra";
  ahead.onRead(16, 16, from, to);
  EXPECT_EQ(32, from);
  EXPECT_EQ(64, to);
  int64_t frontier = to;
  for (int64_t at = 32; at < 1024; at += 16) {
    ahead.onRead(at, 16, from, to);
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
  int64_t from = 0, to = 0;
  ahead.onRead(0, 32, from, to);
  ahead.onRead(64, 32, from, to);  // its neighbour [32, 64) is still on its way
  EXPECT_EQ(96, from);
  EXPECT_EQ(128, to);
  // The late neighbour continues the run: the window grows, and nothing
  // fetched already is asked for again.
  ahead.onRead(32, 32, from, to);
  EXPECT_EQ(from, to);
  EXPECT_EQ(64, ahead.window());
}

TEST(ReadAheadTest, RandomReadsFetchNothingExtraAndTheEndIsRespected) {
  KqBlkReadAhead ahead(1000, 32, 128);
  int64_t from = 0, to = 0;
  for (int64_t at : {500, 10, 900, 300, 700, 50}) {
    ahead.onRead(at, 1, from, to);
    EXPECT_EQ(from, to) << "read at " << at;
  }
  ahead.onRead(980, 4, from, to);
  ahead.onRead(984, 4, from, to);
  EXPECT_EQ(988, from);
  EXPECT_EQ(1000, to);
  ahead.onRead(988, 12, from, to);
  EXPECT_EQ(from, to) << "nothing lies past the end";
}

TEST(DeviceNameTest, OnlyPlainPathComponentsAreAccepted) {
  std::string why;
  for (const char* good : {"disk-1", "6a1b2c3d-0000-4000-8000-00000000abcd", "with space", "ü"}) {
    EXPECT_TRUE(KqBlkPaths::validName(good, why)) << good << ": " << why;
  }
  for (const std::string& bad : {std::string(""), std::string("."), std::string(".."),
                                 std::string("a/b"), std::string("../x"), std::string("/abs"),
                                 std::string("x\n"), std::string("x\x1b"), std::string("del\x7f"),
                                 std::string(201, 'n')}) {
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
