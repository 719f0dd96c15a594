// The driver's data path on real devices (root): reads recalled from a
// source through a played service thread, read-ahead bounds, writes into the
// private store, abort, and a cache that keeps nothing.
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <set>
#include <thread>

#include "kqblk_driver.h"
#include "kqblk_engine.h"
#include "kqblk_store.h"
#include "support/disk_image.h"
#include "support/driver_fixture.h"
#include "support/driver_recall_server.h"
#include "support/test_util.h"

namespace {

const int64_t kMiB = 1024 * 1024;
const int64_t kDiskBytes = 16 * kMiB;
const int64_t kExtent = 4096;
const int kTimeout = 60;

class DriverIoTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    if (IsSkipped()) return;
    m_source = std::make_unique<DiskImage>(m_dir / "source.img", kDiskBytes / kMiB);
    m_source->fillRandom(0, kDiskBytes, 42);
    m_stores = std::make_unique<StorePair>(kDiskBytes);
    m_name = testDeviceName(::testing::UnitTest::GetInstance()->current_test_info()->name());
    m_guard = std::make_unique<DeviceGuard>(m_name);
    CUxError err = KqBlkDriverUnix().createAutoAbortDevice(m_name, m_stores->privateStore(),
                                                           m_stores->recallStore(), m_node);
    ASSERT_FALSE(err.IsError()) << err.AsString();
  }

  void serve(RecallServer::Mode mode = RecallServer::Mode::Serve, std::set<int64_t> hangOn = {}) {
    m_server = std::make_unique<RecallServer>(m_name, m_stores->recallStore().get(),
                                              m_source->path(), mode, std::move(hangOn));
  }

  std::vector<char> source(off_t offset, size_t length) const {
    return readFile(m_source->path(), offset, length);
  }

  IoResult read(off_t offset, size_t length) {
    return withinOrAbort(m_name, kTimeout, [&] { return readDirect(m_node, offset, length); });
  }

  IoResult write(off_t offset, const std::vector<char>& data) {
    return withinOrAbort(m_name, kTimeout, [&] { return writeDirect(m_node, offset, data); });
  }

  // Waits until the engine has no recall in flight (read-ahead included).
  void settle() {
    auto dev = KqBlkEngine::instance().find(m_name);
    ASSERT_TRUE(dev);
    for (int i = 0; i < kTimeout * 100 && dev->queue.inFlightCount() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(0u, dev->queue.inFlightCount());
  }

  TempDir m_dir;
  std::unique_ptr<DiskImage> m_source;
  std::unique_ptr<StorePair> m_stores;
  std::string m_name;
  std::string m_node;
  std::unique_ptr<DeviceGuard> m_guard;
  std::unique_ptr<RecallServer> m_server;  // declared last: stops first
};

TEST_F(DriverIoTest, ReadsMatchTheSourceAtRandomOffsets) {
  serve();
  EXPECT_EQ("/dev/kqblk/" + m_name, m_node);
  std::mt19937_64 random(7);
  for (int i = 0; i < 48; ++i) {
    const size_t length = 512 * (1 + random() % 512);
    const off_t offset = static_cast<off_t>(512 * (random() % ((kDiskBytes - length) / 512)));
    const IoResult got = read(offset, length);
    ASSERT_EQ(static_cast<ssize_t>(length), got.bytes) << "errno " << got.error;
    ASSERT_TRUE(got.data == source(offset, length)) << "direct read at " << offset;
  }
  // Through the page cache, at any byte offset (a short read compares unequal).
  for (int i = 0; i < 48; ++i) {
    const size_t length = 1 + random() % 10000;
    const off_t offset = static_cast<off_t>(random() % (kDiskBytes - length));
    ASSERT_TRUE(withinOrAbort(m_name, kTimeout, [&] { return readFile(m_node, offset, length); }) ==
                source(offset, length))
        << "buffered read at " << offset;
  }
  // The last bytes, and nothing past the end.
  EXPECT_TRUE(read(kDiskBytes - 8192, 8192).data == source(kDiskBytes - 8192, 8192));
  EXPECT_EQ(0, read(kDiskBytes, 4096).bytes);
  EXPECT_EQ("", m_server->failure());
}

TEST_F(DriverIoTest, MissingExtentsAreRecalledOnceAndPresentOnesNever) {
  // Extents 0-63 already recalled, 64-127 written to the private store
  // (different bytes from the source: the private store wins).
  const std::vector<char> written(kExtent, '\xab');
  for (int64_t e = 0; e < 128; ++e) {
    ASSERT_FALSE(m_stores->recallStore()->writeExtent(e, source(e * kExtent, kExtent).data()).IsError());
    if (e >= 64) {
      ASSERT_FALSE(m_stores->privateStore()->writeExtent(e, written.data()).IsError());
    }
  }
  serve();
  const IoResult present = read(0, 128 * kExtent);
  ASSERT_EQ(128 * kExtent, present.bytes);
  EXPECT_TRUE(std::equal(present.data.begin(), present.data.begin() + 64 * kExtent,
                         source(0, 64 * kExtent).begin()));
  EXPECT_TRUE(std::all_of(present.data.begin() + 64 * kExtent, present.data.end(),
                          [](char c) { return c == '\xab'; }));
  settle();
  EXPECT_EQ(0u, m_server->requestCount());

  // Eight readers of the same cold 2 MiB at once, in 128 KiB pieces.
  const off_t base = 4 * kMiB;
  std::vector<std::future<bool>> readers;
  for (int r = 0; r < 8; ++r) {
    readers.push_back(std::async(std::launch::async, [&, r] {
      bool same = true;
      for (int i = 0; i < 16; ++i) {
        const off_t at = base + ((i + r * 2) % 16) * 128 * 1024;
        same = readDirect(m_node, at, 128 * 1024).data == source(at, 128 * 1024) && same;
      }
      return same;
    }));
  }
  for (auto& reader : readers) {
    EXPECT_TRUE(withinOrAbort(m_name, kTimeout, [&] { return reader.get(); }));
  }
  settle();
  const std::map<int64_t, int> requested = m_server->requests();
  for (int64_t e = base / kExtent; e < (base + 2 * kMiB) / kExtent; ++e) {
    ASSERT_EQ(1u, requested.count(e)) << "extent " << e << " never requested";
  }
  for (const auto& item : requested) {
    EXPECT_EQ(1, item.second) << "extent " << item.first << " requested twice";
    EXPECT_GE(item.first, 128) << "present extent " << item.first << " requested";
  }

  // Read again: nothing in the range is fetched again (read-ahead may still
  // reach past its end).
  EXPECT_TRUE(read(base, 2 * kMiB).data == source(base, 2 * kMiB));
  settle();
  for (const auto& item : m_server->requests()) {
    EXPECT_EQ(1, item.second) << "extent " << item.first << " requested again";
  }
}

TEST_F(DriverIoTest, ReadAheadFollowsSequentialRunsOnly) {
  serve();
  // Scattered single extents fetch about what they read.
  std::mt19937_64 random(11);
  std::set<int64_t> picked;
  while (picked.size() < 200) picked.insert(static_cast<int64_t>(random() % 2048));
  std::vector<int64_t> order(picked.begin(), picked.end());
  std::shuffle(order.begin(), order.end(), random);
  for (int64_t e : order) ASSERT_EQ(kExtent, read(e * kExtent, kExtent).bytes);
  settle();
  const int64_t window = KqBlkExtentIO::kFirstReadAhead / kExtent;
  EXPECT_LE(m_server->requestCount(), order.size() + 2 * window);

  // A sequential run in 64 KiB reads makes the engine fetch ahead, within
  // the window's bound.
  const int64_t first = 3072;
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(64 * 1024, read((first + i * 16) * kExtent, 64 * 1024).bytes);
  }
  settle();
  const int64_t end = first + 16 * 16;
  int64_t furthest = 0;
  for (const auto& item : m_server->requests()) furthest = std::max(furthest, item.first);
  EXPECT_GT(furthest, end) << "nothing was read ahead";
  EXPECT_LE(furthest, end + KqBlkExtentIO::kMaxReadAhead / kExtent) << "read ahead too far";
}

TEST_F(DriverIoTest, WritesLandInThePrivateStoreAndKeepTheRestOfTheirExtent) {
  serve();
  const std::vector<char> sourceBefore = source(0, kDiskBytes);

  // Whole extents need no old data.
  const std::vector<char> whole(2 * kExtent, '\x11');
  ASSERT_EQ(2 * kExtent, write(kMiB, whole).bytes);
  EXPECT_TRUE(read(kMiB, 2 * kExtent).data == whole);
  EXPECT_EQ(0u, m_server->requests().count(kMiB / kExtent));
  EXPECT_TRUE(m_stores->privateStore()->hasExtent(kMiB / kExtent));

  // One sector inside a missing extent: the rest comes from the source.
  const off_t extent300 = 300 * kExtent;
  ASSERT_EQ(512, write(extent300 + 1024, std::vector<char>(512, '\x22')).bytes);
  std::vector<char> expected = source(extent300, kExtent);
  std::fill(expected.begin() + 1024, expected.begin() + 1536, '\x22');
  EXPECT_TRUE(read(extent300, kExtent).data == expected);
  EXPECT_EQ(1, m_server->requests()[300]);
  EXPECT_TRUE(m_stores->privateStore()->hasExtent(300));

  // Odd bytes through the page cache.
  const off_t odd = 5 * kMiB + 12345;
  const int fd = ::open(m_node.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string text(100, 'z');
  EXPECT_EQ(100, withinOrAbort(m_name, kTimeout, [&] {
              const ssize_t n = ::pwrite(fd, text.data(), text.size(), odd);
              return ::fsync(fd) == 0 ? n : -1;
            }));
  ::close(fd);
  const off_t page = odd / kExtent * kExtent;
  expected = source(page, 2 * kExtent);
  std::copy(text.begin(), text.end(), expected.begin() + (odd - page));
  EXPECT_TRUE(read(page, 2 * kExtent).data == expected);

  // Writes never reach the source.
  EXPECT_TRUE(source(0, kDiskBytes) == sourceBefore);
}

TEST_F(DriverIoTest, ReadinessTimesOutAndAbortFailsPendingAndLaterIo) {
  serve(RecallServer::Mode::Hold);
  auto pending = std::async(std::launch::async, [&] { return readDirect(m_node, 2 * kMiB, kExtent); });
  ASSERT_TRUE(m_server->waitForRequests(1, kTimeout));
  // Readiness, whose table read waits for recalls too, gives up in time.
  KqBlkDriverUnix driver;
  CUxError err = withinOrAbort(m_name, kTimeout, [&] { return driver.waitForDeviceReady(m_name, 2); });
  EXPECT_EQ(ETIMEDOUT, FXErrorUtil::GetErrNo(err)) << err.AsString();
  err = driver.abortDevice(m_name);
  ASSERT_FALSE(err.IsError()) << err.AsString();
  const IoResult failed = withinOrAbort(m_name, kTimeout, [&] { return pending.get(); });
  EXPECT_EQ(-1, failed.bytes);
  EXPECT_EQ(EIO, failed.error);

  // Later I/O fails at once, present data or not.
  EXPECT_EQ(EIO, read(0, kExtent).error);
  EXPECT_EQ(EIO, write(0, std::vector<char>(kExtent, 1)).error);

  // The service side sees the device gone.
  ASSERT_FALSE(driver.monitorDevice(m_name).IsError());
  int fd = -1;
  ASSERT_FALSE(driver.getFD(fd).IsError());
  pollfd p = {fd, POLLIN | POLLERR, 0};
  ASSERT_EQ(1, ::poll(&p, 1, 0));
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
  int64_t extent = 0;
  err = driver.getRecallRequest(m_name, extent);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(EAGAIN, FXErrorUtil::GetErrNo(err));
}

TEST_F(DriverIoTest, TableReadWaitingForRecallsHoldsUpNoOtherDevice) {
  serve(RecallServer::Mode::Hold);
  auto ready = std::async(std::launch::async,
                          [&] { return KqBlkDriverUnix().waitForDeviceReady(m_name, kTimeout); });
  ASSERT_TRUE(m_server->waitForRequests(1, kTimeout));
  auto destroy = std::async(std::launch::async, [&] { return KqBlkDriverUnix().destroyDevice(m_name); });
  StorePair otherStores(4 * kMiB);
  const std::string other = testDeviceName("other");
  DeviceGuard otherGuard(other);
  std::string node;
  const CUxError made = withinOrAbort(m_name, 20, [&] {
    return KqBlkDriverUnix().createAutoAbortDevice(other, otherStores.privateStore(),
                                                   otherStores.recallStore(), node);
  });
  EXPECT_FALSE(made.IsError()) << made.AsString();
  KqBlkDriverUnix().abortDevice(m_name);
  ready.get();
  destroy.get();
}

TEST_F(DriverIoTest, RecallThatStoresNothingFailsTheReadInsteadOfHanging) {
  serve(RecallServer::Mode::Drop);
  const IoResult failed = read(3 * kMiB, 2 * kExtent);
  EXPECT_EQ(-1, failed.bytes);
  EXPECT_EQ(EIO, failed.error);
  EXPECT_GE(m_server->requestCount(), 1u);
  // The device itself stays usable: whole-extent writes need no recall.
  const std::vector<char> data(kExtent, '\x33');
  ASSERT_EQ(kExtent, write(3 * kMiB, data).bytes);
  EXPECT_TRUE(read(3 * kMiB, kExtent).data == data);
}

TEST_F(DriverIoTest, FetchedExtentNeverWaitsBehindAnotherExtentsHangingSourceRead) {
  const int64_t fetched = 100;
  const int64_t hanging = 3000;
  auto first = std::async(std::launch::async, [&] { return readDirect(m_node, fetched * kExtent, kExtent); });
  auto dev = KqBlkEngine::instance().find(m_name);
  ASSERT_TRUE(dev);
  for (int i = 0; i < 1000 && dev->queue.queuedCount() < 1; ++i) usleep(1000);
  auto second = std::async(std::launch::async, [&] { return readDirect(m_node, hanging * kExtent, kExtent); });
  for (int i = 0; i < 1000 && dev->queue.queuedCount() < 2; ++i) usleep(1000);
  ASSERT_EQ(2u, dev->queue.queuedCount());
  // The first extent is fetched and staged; the next source read never ends.
  serve(RecallServer::Mode::Serve, {hanging});
  const IoResult got = withinOrAbort(m_name, 10, [&] { return first.get(); });
  EXPECT_TRUE(got.data == source(fetched * kExtent, kExtent));
  KqBlkDriverUnix().abortDevice(m_name);
  EXPECT_EQ(EIO, second.get().error);
}

TEST_F(DriverIoTest, IdleDeviceHasNothingPendingAndDescriptorsCloseOnExec) {
  KqBlkDriverUnix driver;
  ASSERT_FALSE(driver.monitorDevice(m_name).IsError());
  int fd = -1;
  ASSERT_FALSE(driver.getFD(fd).IsError());
  pollfd p = {fd, POLLIN | POLLERR, 0};
  EXPECT_EQ(0, ::poll(&p, 1, 0));
  int64_t extent = 0;
  CUxError err = driver.getRecallRequest(m_name, extent);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(EAGAIN, FXErrorUtil::GetErrNo(err));

  // No child may inherit a FUSE, loop or notification descriptor.
  int checked = 0;
  for (int candidate = 3; candidate < 1024; ++candidate) {
    const int flags = ::fcntl(candidate, F_GETFD);
    if (flags < 0) continue;
    char link[256] = {0};
    const std::string self = "/proc/self/fd/" + std::to_string(candidate);
    if (::readlink(self.c_str(), link, sizeof link - 1) < 0) continue;
    const std::string target = link;
    // Pipes: only our own (the environment may hand down others).
    if (target == "/dev/fuse" || candidate == fd || target.rfind("/dev/loop", 0) == 0 ||
        target.rfind("/dev/kqblk", 0) == 0 || target.rfind("/run/kqblk", 0) == 0) {
      EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << candidate << " (" << target << ")";
      ++checked;
    }
  }
  EXPECT_GE(checked, 2) << "the FUSE and notification descriptors were not found";
}

TEST_F(DriverIoTest, ReadsOfRecalledExtentsRacingEvictionNeverSeeHoles) {
  // Present extents are handed to the kernel straight from the recall
  // store's data file. An eviction punches holes there, which read as zeros:
  // a read racing it must still return the source's bytes (recalled again
  // if need be), never the hole.
  serve();
  const int64_t span = 4 * kMiB;
  ASSERT_TRUE(read(0, span).data == source(0, span));
  settle();
  const std::vector<char> expected = source(0, span);
  KqBlkRecallStore* recall = m_stores->recallStore().get();
  std::atomic<bool> stop{false};
  std::atomic<int> served{0};
  std::thread evictor([&] {
    std::mt19937_64 random(11);
    while (!stop) {
      const int64_t count = 1 + random() % 64;
      const int64_t first = random() % (span / kExtent - count);
      recall->dropExtents(first, count);
      // A busy cache's pace: thousands of runs a second. Without any pause
      // every extent would go again before a read could copy it, which is a
      // cache without room, not a race.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::vector<std::future<std::string>> readers;
  for (int r = 0; r < 3; ++r) {
    readers.push_back(std::async(std::launch::async, [&, r]() -> std::string {
      std::mt19937_64 random(100 + r);
      for (int i = 0; i < 300; ++i) {
        const size_t length = kExtent * (1 + random() % 64);
        const off_t offset = static_cast<off_t>(kExtent * (random() % ((span - length) / kExtent)));
        const IoResult got = readDirect(m_node, offset, length);
        // The cache has room: losing a race with eviction must cost a
        // recall, never a failed read.
        if (got.bytes != static_cast<ssize_t>(length)) {
          return "read at " + std::to_string(offset) + " failed, errno " + std::to_string(got.error);
        }
        ++served;
        if (!std::equal(got.data.begin(), got.data.end(), expected.begin() + offset)) {
          return "wrong bytes read at " + std::to_string(offset);
        }
      }
      return std::string();
    }));
  }
  for (auto& reader : readers) {
    EXPECT_EQ("", withinOrAbort(m_name, kTimeout, [&] { return reader.get(); }));
  }
  stop = true;
  evictor.join();
  EXPECT_GT(served.load(), 100) << "too few reads were served to show anything";
  EXPECT_EQ("", m_server->failure());
}

}  // namespace
