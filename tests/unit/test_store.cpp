// Extent stores: layout on disk, persistence, hostile content, temporary
// files, the presence bitmap, staged runs and removal.

#include <stdexcept>

#include "kqblk_store.h"
#include "kqblk_store_impl.h"
#include "support/test_util.h"

namespace {

const int32_t kExtent = 4096;

std::vector<uint8_t> pattern(int64_t extent) {
  return randomBytes<uint8_t>(kExtent, static_cast<uint32_t>(extent));
}

std::unique_ptr<KqBlkRecallStore> openStore(const std::string& path, CUxError& err) {
  return std::unique_ptr<KqBlkRecallStore>(KqBlkRecallStore::open(path, err));
}

int errnoOf(const CUxError& err) { return FXErrorUtil::GetErrNo(err); }

// Writes each extent's own pattern.
void put(KqBlkRecallStore& s, const std::vector<int64_t>& extents) {
  for (int64_t e : extents) ASSERT_FALSE(s.writeExtent(e, pattern(e).data()).IsError()) << e;
}

blkcnt_t blocksOf(const std::string& file) {
  struct stat st;
  return ::stat(file.c_str(), &st) == 0 ? st.st_blocks : -1;
}

// Overwrites `bytes` at `offset` of a file.
void patch(const std::string& file, off_t offset, const std::vector<uint8_t>& bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), offset), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

// The consumer loop of the write-back: the extents the bitmap names.
std::vector<int64_t> extentsOf(const std::vector<std::vector<uint8_t>>& chunks, int32_t bitsPerChunk) {
  std::vector<int64_t> out;
  int64_t extent = 0;
  for (const auto& chunk : chunks) {
    if (chunk.empty()) {
      extent += bitsPerChunk;
      continue;
    }
    for (int32_t bit = 0; bit < bitsPerChunk; ++bit, ++extent) {
      if (chunk.at(static_cast<size_t>(bit / 8)) & (1u << (bit % 8))) out.push_back(extent);
    }
  }
  return out;
}

uint64_t fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ULL;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ULL;
  return h;
}

// Moves an extent in the way the service thread does: a temporary file.
void moveIn(KqBlkRecallStore& s, int64_t extent) {
  std::string temp;
  std::shared_ptr<std::ostream> stream;
  ASSERT_FALSE(s.openTempFile(temp, stream).IsError());
  stream->write(reinterpret_cast<const char*>(pattern(extent).data()), kExtent);
  stream.reset();
  ASSERT_FALSE(s.moveInExtentFile(temp, extent).IsError());
}

// The extents staged and not yet written, in order.
std::vector<int64_t> staged(const KqBlkRecallStore& s) {
  std::vector<int64_t> out;
  const KqBlkPendingRuns runs = s.stagedRuns();
  for (int i = 1; i >= 0; --i) {
    for (int64_t e = runs.first[i]; e < runs.first[i] + runs.count[i]; ++e) out.push_back(e);
  }
  return out;
}

void expectHolds(KqBlkRecallStore& s, int64_t extent) {
  std::vector<uint8_t> buf(kExtent);
  ASSERT_FALSE(s.readExtent(extent, buf.data()).IsError()) << extent;
  EXPECT_EQ(buf, pattern(extent)) << extent;
}

class Store : public ::testing::Test {
 protected:
  // A new store of `bytes` in dir/name; throws (failing the test) when it
  // cannot be made, so callers need not check.
  std::unique_ptr<KqBlkRecallStore> make(int64_t bytes, const std::string& name = "rb") {
    mkdir((dir / name).c_str(), 0755);
    CUxError err;
    std::unique_ptr<KqBlkRecallStore> s(
        KqBlkRecallStore::create(dir / name, "disk-1", bytes, kExtent, err));
    if (!s) throw std::runtime_error("cannot make a store: " + err.AsString());
    return s;
  }
  // The store left in dir/rb, which must open.
  std::unique_ptr<KqBlkRecallStore> reopen() {
    CUxError err;
    auto s = openStore(path, err);
    if (!s) throw std::runtime_error("cannot open the store: " + err.AsString());
    return s;
  }
  TempDir dir;
  const std::string path = dir / "rb";
};

}  // namespace

TEST_F(Store, CreateNeedsAnEmptyDirectoryAndSaneGeometry) {
  CUxError err;
  EXPECT_EQ(KqBlkRecallStore::create(dir / "missing", "n", 8192, kExtent, err), nullptr);
  EXPECT_EQ(errnoOf(err), ENOENT);
  mkdir((dir / "full").c_str(), 0755);
  std::ofstream(dir / "full/x") << "x";
  EXPECT_EQ(KqBlkRecallStore::create(dir / "full", "n", 8192, kExtent, err), nullptr);
  EXPECT_EQ(errnoOf(err), ENOTEMPTY);
  mkdir(path.c_str(), 0755);
  const std::pair<int64_t, int32_t> badGeometries[] = {
      {8192, 0}, {8192, 100}, {8192, 4095}, {8192, -4096}, {-1, kExtent}, {int64_t(1) << 62, kExtent}};
  for (const auto& [bytes, extent] : badGeometries) {
    EXPECT_EQ(KqBlkRecallStore::create(path, "n", bytes, extent, err), nullptr) << bytes << "/" << extent;
    EXPECT_EQ(errnoOf(err), EINVAL) << bytes << "/" << extent;
  }
  // Failed creations leave the directory empty and usable.
  EXPECT_EQ(make(8192)->getExtentCount(), 2);
}

TEST_F(Store, OneOpenerAtATimeAndDataAndBitsSurviveReopen) {
  {
    auto s = make(10 * kExtent + 100);  // last extent partly outside the disk
    CUxError err;
    EXPECT_FALSE(openStore(path, err));
    EXPECT_EQ(errnoOf(err), EBUSY);
    EXPECT_EQ(s->getExtentCount(), 11);
    put(*s, {3, 10});
    EXPECT_TRUE(s->writeExtent(11, pattern(11).data()).IsError());
    EXPECT_TRUE(s->writeExtent(-1, pattern(0).data()).IsError());
  }
  auto s = reopen();
  EXPECT_EQ(s->getName(), "disk-1");
  EXPECT_EQ(s->getSize(), 10 * kExtent + 100);
  EXPECT_EQ(s->getExtentSize(), kExtent);
  EXPECT_EQ(s->getPresentCount(), 2);
  expectHolds(*s, 3);
  expectHolds(*s, 10);
  std::vector<uint8_t> buf(kExtent);
  EXPECT_FALSE(s->hasExtent(4));
  EXPECT_EQ(errnoOf(s->readExtent(4, buf.data())), ENOENT);

  // Dropping clears the bit for good and frees the space.
  const blkcnt_t before = blocksOf(path + "/data");
  EXPECT_FALSE(s->dropExtent(3).IsError());
  EXPECT_LT(blocksOf(path + "/data"), before);
  // A run across byte boundaries: one bitmap write, one hole.
  put(*s, {5, 6, 7, 8, 9});
  EXPECT_TRUE(s->dropExtents(9, 3).IsError());  // past the end
  EXPECT_TRUE(s->hasExtent(9));
  EXPECT_FALSE(s->dropExtents(6, 3).IsError());
  EXPECT_EQ(s->getPresentCount(), 3);
  s.reset();
  s = reopen();
  EXPECT_EQ(s->getPresentCount(), 3);
  for (int64_t e : {5, 9, 10}) EXPECT_TRUE(s->hasExtent(e)) << e;
  for (int64_t e : {3, 6, 7, 8}) EXPECT_FALSE(s->hasExtent(e)) << e;
  expectHolds(*s, 9);
}

TEST_F(Store, RunsReadInOneGoOnlyWhenEveryExtentIsPresent) {
  auto s = make(8 * kExtent);
  put(*s, {2, 3, 4, 6});
  std::vector<uint8_t> run(3 * kExtent);
  ASSERT_FALSE(s->readExtents(2, 3, run.data()).IsError());
  for (int64_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(std::equal(run.begin() + i * kExtent, run.begin() + (i + 1) * kExtent,
                           pattern(2 + i).begin()));
  }
  EXPECT_EQ(errnoOf(s->readExtents(4, 3, run.data())), ENOENT);  // 5 is absent
  ASSERT_FALSE(s->dropExtent(3).IsError());
  EXPECT_EQ(errnoOf(s->readExtents(2, 2, run.data())), ENOENT);
  EXPECT_TRUE(s->readExtents(7, 2, run.data()).IsError());  // past the end
}

// Only a bit marks an extent present, and only bits of extents the store
// spans count.
TEST_F(Store, DataWithoutItsBitAndBitsPastTheEndAreNotPresent) {
  make(3 * kExtent).reset();
  // A crash between the data write and the bit write leaves this state.
  patch(path + "/data", 2 * kExtent, pattern(2));
  patch(path + "/bitmap", 0, {0xf8});  // bits 3 to 7: no such extents
  auto s = reopen();
  EXPECT_FALSE(s->hasExtent(2));
  int fd = -1;
  EXPECT_TRUE(s->openExtentFile(2, 0, fd).IsError());
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(s->getPresentCount(), 0);
  std::vector<std::vector<uint8_t>> chunks;
  int32_t bits = 0;
  ASSERT_FALSE(s->getExtentBitmap(chunks, bits).IsError());
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_TRUE(chunks[0].empty());
}

TEST_F(Store, OpenRejectsWhatIsNotAValidStore) {
  CUxError err;
  mkdir((dir / "empty").c_str(), 0755);
  for (const char* notStore : {"empty", "missing"}) {
    EXPECT_FALSE(openStore(dir / notStore, err)) << notStore;
    EXPECT_EQ(errnoOf(err), ENOENT) << notStore;
  }

  make(64 * kExtent).reset();
  const std::string header = path + "/header";
  const std::string text = fileText(header);
  const std::vector<uint8_t> good(text.begin(), text.end());
  ASSERT_EQ(good.size(), 512u);
  auto writeHeader = [&](std::vector<uint8_t> h, bool resign) {
    if (resign) {
      const uint64_t sum = fnv1a(h.data(), 504);
      for (int i = 0; i < 8; ++i) h[504 + i] = static_cast<uint8_t>(sum >> (8 * i));
    }
    std::ofstream(header, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
  };
  auto refusedAsInvalid = [&] { return !openStore(path, err) && errnoOf(err) == EINVAL; };
  // Each damage alone: {byte, new value} pairs, and whether the checksum
  // is made to match again.
  const struct {
    std::vector<std::pair<int, uint8_t>> bytes;
    bool resign;
    const char* what;
  } damages[] = {{{{30, uint8_t(good[30] ^ 1)}}, false, "size changed, checksum not"},
                 {{{16, 0}, {17, 0}}, true, "extent size 0"},
                 {{{31, 0x7f}}, true, "absurd size"},
                 {{{20, 0xff}, {21, 0xff}}, true, "name length past the header"}};
  for (const auto& d : damages) {
    std::vector<uint8_t> h = good;
    for (const auto& [at, value] : d.bytes) h[static_cast<size_t>(at)] = value;
    writeHeader(h, d.resign);
    EXPECT_TRUE(refusedAsInvalid()) << d.what << ": " << err.AsString();
  }
  writeHeader(std::vector<uint8_t>(good.begin(), good.begin() + 100), false);
  EXPECT_TRUE(refusedAsInvalid()) << "truncated header: " << err.AsString();
  writeHeader(good, false);
  ASSERT_TRUE(openStore(path, err)) << err.AsString();

  ASSERT_EQ(truncate((path + "/bitmap").c_str(), 9), 0);
  EXPECT_TRUE(refusedAsInvalid()) << "bitmap too long: " << err.AsString();
  ASSERT_EQ(truncate((path + "/bitmap").c_str(), 8), 0);
  ASSERT_EQ(truncate((path + "/data").c_str(), 10), 0);
  EXPECT_TRUE(refusedAsInvalid()) << "data too short: " << err.AsString();
  // A link to a file of the right length: only the link itself is wrong.
  ASSERT_EQ(rename((path + "/data").c_str(), (dir / "elsewhere").c_str()), 0);
  ASSERT_EQ(truncate((dir / "elsewhere").c_str(), 64 * kExtent), 0);
  ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (path + "/data").c_str()), 0);
  EXPECT_FALSE(openStore(path, err));
  EXPECT_EQ(errnoOf(err), ELOOP) << err.AsString();
}

TEST_F(Store, BitmapLayout) {
  std::vector<std::vector<uint8_t>> chunks;
  int32_t bits = 0;
  // Three chunks of 32768 extents, the last one partial.
  auto s = make((2 * 32768 + 100) * int64_t(kExtent));
  ASSERT_FALSE(s->getExtentBitmap(chunks, bits).IsError());
  EXPECT_EQ(bits, 32768);
  ASSERT_EQ(chunks.size(), 3u);
  for (const auto& c : chunks) EXPECT_TRUE(c.empty());

  const std::vector<int64_t> present = {0, 7, 8, 32767, 65536, 65536 + 99};
  put(*s, present);
  ASSERT_FALSE(s->getExtentBitmap(chunks, bits).IsError());
  ASSERT_EQ(chunks.size(), 3u);
  ASSERT_EQ(chunks[0].size(), 4096u);
  EXPECT_EQ(chunks[0][0], 0x81);  // extents 0 and 7: least significant bit first
  EXPECT_TRUE(chunks[1].empty());
  ASSERT_EQ(chunks[2].size(), 4096u);  // padded to a whole chunk
  EXPECT_EQ(extentsOf(chunks, bits), present);

  ASSERT_FALSE(s->dropExtent(32767).IsError());
  ASSERT_FALSE(s->getExtentBitmap(chunks, bits).IsError());
  EXPECT_EQ(extentsOf(chunks, bits), (std::vector<int64_t>{0, 7, 8, 65536, 65536 + 99}));
}

TEST_F(Store, OpenExtentFileGivesExactlyTheExtent) {
  auto s = make(8 * kExtent);
  int fd = 123;
  EXPECT_EQ(errnoOf(s->openExtentFile(5, 0, fd)), ENOENT);
  EXPECT_EQ(fd, -1);
  EXPECT_TRUE(s->openExtentFile(8, 0, fd).IsError());
  put(*s, {5});
  ASSERT_FALSE(s->openExtentFile(5, 0, fd).IsError());
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  std::vector<uint8_t> got(kExtent + 1);  // one byte more: the copy holds no more than the extent
  EXPECT_EQ(read(fd, got.data(), got.size()), kExtent);
  got.pop_back();
  EXPECT_EQ(got, pattern(5));
  close(fd);
}

TEST_F(Store, TemporaryFilesMoveInOrGo) {
  auto s = make(8 * kExtent);
  std::string name, other;
  std::shared_ptr<std::ostream> stream, stream2;
  ASSERT_FALSE(s->openTempFile(name, stream).IsError());
  ASSERT_FALSE(s->openTempFile(other, stream2).IsError());
  EXPECT_NE(name, other);
  const auto data = pattern(2);
  stream->write(reinterpret_cast<const char*>(data.data()), 1000);
  stream->flush();
  EXPECT_EQ(errnoOf(s->moveInExtentFile(name, 2)), EINVAL);  // short
  stream->write(reinterpret_cast<const char*>(data.data()) + 1000, kExtent - 1000);
  EXPECT_TRUE(s->moveInExtentFile(name, 8).IsError());  // outside the store
  stream.reset();
  ASSERT_FALSE(s->moveInExtentFile(name, 2).IsError());
  EXPECT_EQ(errnoOf(s->moveInExtentFile(name, 3)), ENOENT);  // consumed
  expectHolds(*s, 2);

  // Too long is refused; removed is gone.
  stream2->write(reinterpret_cast<const char*>(data.data()), kExtent);
  stream2->put('x');
  EXPECT_EQ(errnoOf(s->moveInExtentFile(other, 4)), EINVAL);
  EXPECT_FALSE(s->removeTempFile(other).IsError());
  EXPECT_EQ(errnoOf(s->removeTempFile(other)), ENOENT);
  EXPECT_EQ(errnoOf(s->moveInExtentFile(other, 4)), ENOENT);
  EXPECT_FALSE(s->hasExtent(4));
}

TEST_F(Store, ExtentNamesMapBackToTheStore) {
  auto s = make(8 * kExtent, "/rb/");  // not canonical: dir//rb/
  std::string name;
  ASSERT_FALSE(s->getExtentFileName(6, name).IsError());
  std::string key;
  int64_t extent = -1;
  ASSERT_TRUE(kqblk_store::parseExtentName(name, key, extent));
  EXPECT_EQ(key, kqblk_store::canonicalDirectory(path));
  EXPECT_EQ(extent, 6);
  EXPECT_TRUE(s->getExtentFileName(8, name).IsError());
  for (const char* bad : {"rb/data", "rb/data#", "rb/data#1x"}) {
    EXPECT_FALSE(kqblk_store::parseExtentName(dir / bad, key, extent)) << bad;
  }
}

TEST_F(Store, RemoveDeletesOnlyStores) {
  TempDir outside;
  std::ofstream(outside / "keep") << "precious";
  auto s = make(8 * kExtent);
  s->clear();
  s.reset();
  ASSERT_FALSE(KqBlkBackingStore::remove(path).IsError());
  EXPECT_FALSE(exists(path));
  EXPECT_FALSE(KqBlkBackingStore::remove(path).IsError());  // gone: fine

  // Not a store: left alone.
  mkdir((dir / "other").c_str(), 0755);
  std::ofstream(dir / "other/file") << "x";
  EXPECT_EQ(errnoOf(KqBlkBackingStore::remove(dir / "other")), EINVAL);
  EXPECT_TRUE(exists(dir / "other/file"));
  // A link to a directory is not followed.
  ASSERT_EQ(symlink(outside.path().c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(errnoOf(KqBlkBackingStore::remove(dir / "link")), ENOTDIR);
  // A store holding a directory: the store's files go, the directory is
  // not entered.
  make(8 * kExtent, "rb2").reset();
  ASSERT_EQ(symlink(outside.path().c_str(), (dir / "rb2/link").c_str()), 0);
  mkdir((dir / "rb2/sub").c_str(), 0755);
  std::ofstream(dir / "rb2/sub/keep") << "x";
  EXPECT_EQ(errnoOf(KqBlkBackingStore::remove(dir / "rb2")), ENOTEMPTY);
  EXPECT_FALSE(exists(dir / "rb2/data"));
  EXPECT_FALSE(exists(dir / "rb2/link"));
  EXPECT_TRUE(exists(dir / "rb2/sub/keep"));
  EXPECT_TRUE(exists(outside / "keep"));
}

TEST_F(Store, StagedRunsAreWrittenTogetherAndOnlyThenPresent) {
  auto s = make(32 * kExtent);
  s->setStagedRun(4);
  moveIn(*s, 0);
  moveIn(*s, 1);
  EXPECT_EQ(staged(*s), (std::vector<int64_t>{0, 1}));
  EXPECT_FALSE(s->hasExtent(0));
  EXPECT_EQ(s->getPresentCount(), 0);
  moveIn(*s, 5);  // does not follow: the run before it goes to be written
  for (int64_t e : {6, 7, 8}) moveIn(*s, e);  // fills the run: it goes too
  ASSERT_FALSE(s->flushStaged().IsError());
  EXPECT_TRUE(staged(*s).empty());
  for (int64_t e : {0, 1, 5, 6, 7, 8}) expectHolds(*s, e);
  EXPECT_EQ(s->getPresentCount(), 6);
  // What lies between runs stays a hole.
  std::vector<uint8_t> buf(2 * kExtent);
  EXPECT_TRUE(s->readExtents(1, 2, buf.data()).IsError());

  // clear() forgets a staged run; closing the store writes it.
  moveIn(*s, 13);
  ASSERT_FALSE(s->clear().IsError());
  ASSERT_FALSE(s->flushStaged().IsError());
  EXPECT_FALSE(s->hasExtent(13));
  moveIn(*s, 14);
  s.reset();
  auto reopened = reopen();
  expectHolds(*reopened, 14);
  EXPECT_EQ(reopened->getPresentCount(), 7);
}

TEST_F(Store, StagedRunsWrittenWhileMoreComeInAllArrive) {
  const int64_t kExtents = 4096;
  auto s = make(kExtents * kExtent);
  s->setStagedRun(16);
  // Runs broken at random places, some extents twice: each is written once
  // its run is handed over, with its own bytes.
  std::vector<int64_t> order;
  for (int64_t e = 0; e < kExtents; ++e) {
    order.push_back(e);
    if (e % 97 == 13) order.push_back(e - 7);
  }
  for (int64_t e : order) moveIn(*s, e);
  ASSERT_FALSE(s->flushStaged().IsError());
  EXPECT_EQ(s->getPresentCount(), kExtents);
  for (int64_t e = 0; e < kExtents; e += 61) expectHolds(*s, e);
}
