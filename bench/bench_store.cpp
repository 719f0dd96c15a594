// Per-extent cost of the recall store with 4 KiB extents: what the service
// thread does for one recalled extent (temporary stream, move-in, cache
// accounting), what a reader pays to get a present extent back
// (openExtentFile + read, or readExtent), and, for comparison on the same
// machine and file system, the file-per-extent layout (mkstemp, write,
// rename, later open and read). Times are per extent.
//
// Files go under $KQBLK_BENCH_DIR (default /tmp).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kq_fs.h"
#include "kqblk_cache_manager.h"
#include "kqblk_store.h"

namespace {

const int32_t kExtent = 4096;
const int64_t kExtents = int64_t(1) << 20;  // a sparse 4 GiB store

class Scratch {
 public:
  Scratch() {
    const char* base = std::getenv("KQBLK_BENCH_DIR");
    std::string t = std::string(base && *base ? base : "/tmp") + "/kqblk-bench-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) m_path = buf.data();
  }
  ~Scratch() {
    if (!m_path.empty()) CUxDirectory::Remove(m_path, true, false);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

std::unique_ptr<KqBlkRecallStore> makeStore(benchmark::State& state, const Scratch& dir) {
  const std::string path = dir.path() + "/store";
  mkdir(path.c_str(), 0755);
  CUxError err;
  std::unique_ptr<KqBlkRecallStore> s(
      KqBlkRecallStore::create(path, "bench", kExtents * kExtent, kExtent, err));
  if (!s) state.SkipWithError(err.AsString().c_str());
  return s;
}

void moveIn(KqBlkRecallStore& s, int64_t extent, const std::vector<char>& data) {
  std::string temp;
  std::shared_ptr<std::ostream> stream;
  s.openTempFile(temp, stream);
  stream->write(data.data(), kExtent);
  stream->flush();
  stream.reset();
  if (s.moveInExtentFile(temp, extent).IsError()) std::abort();
}

void finish(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * kExtent);
}

// openTempFile, write 4 KiB, moveInExtentFile: fresh extents.
void BM_MoveIn(benchmark::State& state) {
  Scratch dir;
  auto s = makeStore(state, dir);
  if (!s) return;
  std::vector<char> data(kExtent, 'x');
  int64_t e = 0;
  for (auto _ : state) moveIn(*s, e++ % kExtents, data);
  finish(state);
}

// The service thread's whole per-extent path, with a cache of 64 MiB that is
// full, so every admission also evicts (punches) one extent.
void BM_RecallPathWithEviction(benchmark::State& state) {
  Scratch dir;
  auto s = makeStore(state, dir);
  if (!s) return;
  CacheManager cache(64 << 20);
  std::vector<char> data(kExtent, 'y');
  int64_t e = 0;
  for (auto _ : state) {
    const int64_t extent = e++ % kExtents;
    std::string name;
    s->getExtentFileName(extent, name);
    if (!cache.UpdateItem(name, kExtent, 0)) std::abort();
    moveIn(*s, extent, data);
  }
  finish(state);
}

// openExtentFile (a memfd), read it to the end, close: what a caller of
// openExtentFile pays per present extent.
void BM_OpenExtentFileAndRead(benchmark::State& state) {
  Scratch dir;
  auto s = makeStore(state, dir);
  if (!s) return;
  const int64_t present = 65536;
  std::vector<char> data(kExtent, 'z'), buf(kExtent);
  for (int64_t e = 0; e < present; ++e) moveIn(*s, e, data);
  int64_t e = 0;
  for (auto _ : state) {
    int fd = -1;
    if (s->openExtentFile(e++ % present, 0, fd).IsError()) std::abort();
    size_t got = 0;
    ssize_t n;
    while (got < buf.size() && (n = read(fd, buf.data() + got, buf.size() - got)) > 0) got += n;
    close(fd);
    benchmark::DoNotOptimize(got);
  }
  finish(state);
}

// openExtentFile of an absent extent: the service thread's check before
// every recall.
void BM_OpenExtentFileAbsent(benchmark::State& state) {
  Scratch dir;
  auto s = makeStore(state, dir);
  if (!s) return;
  int64_t e = 0;
  for (auto _ : state) {
    int fd = -1;
    if (!s->openExtentFile(e++ % kExtents, 0, fd).IsError()) std::abort();
  }
  finish(state);
}

// readExtent: the engine's direct read of a present extent.
void BM_ReadExtent(benchmark::State& state) {
  Scratch dir;
  auto s = makeStore(state, dir);
  if (!s) return;
  const int64_t present = 65536;
  std::vector<char> data(kExtent, 'w'), buf(kExtent);
  for (int64_t e = 0; e < present; ++e) moveIn(*s, e, data);
  int64_t e = 0;
  for (auto _ : state) {
    if (s->readExtent(e++ % present, buf.data()).IsError()) std::abort();
    benchmark::DoNotOptimize(buf.data());
  }
  finish(state);
}

// The layout this store replaces: one file per extent, made with mkstemp,
// write and rename, then opened and read back.
void BM_FilePerExtentBaseline(benchmark::State& state) {
  Scratch dir;
  std::vector<char> data(kExtent, 'v'), buf(kExtent);
  int64_t e = 0;
  for (auto _ : state) {
    std::string tmpl = dir.path() + "/tmpXXXXXX";
    const int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    if (fd < 0 || write(fd, data.data(), kExtent) != kExtent) std::abort();
    close(fd);
    const std::string name = dir.path() + "/" + std::to_string(e++);
    if (rename(tmpl.c_str(), name.c_str()) != 0) std::abort();
    const int rd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (rd < 0 || read(rd, buf.data(), kExtent) != kExtent) std::abort();
    close(rd);
  }
  finish(state);
}

}  // namespace

BENCHMARK(BM_MoveIn)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecallPathWithEviction)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenExtentFileAndRead)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenExtentFileAbsent)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadExtent)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FilePerExtentBaseline)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
