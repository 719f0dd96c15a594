// Whether a hot region survives a long sequential restore: a disk exposed
// through the real disk layer and driver, a 256 MiB cache, a 32 MiB hot
// region re-read after every 128 MiB of a 1 GiB sequential stream. With
// least-recently-used eviction the hot region is recalled once; with
// admission order it is recalled again every other pass. Then warm reads of
// the hot region (every extent present) show what counting reads as use
// costs. Needs root. O_DIRECT reads, so every read reaches the driver.
//
// A hot extent "recalled" is one absent from the recall store when its pass
// starts: every such extent is fetched from the source during the pass.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>

#include "kqblk_cache_manager.h"
#include "kqblk_store.h"
#include "support/disk_image.h"
#include "support/exposed_disk.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"
#include "support/test_util.h"

namespace {

const int64_t kMiB = 1 << 20;
const int64_t kHotBytes = 32 * kMiB;  // the disk's first 32 MiB
const int64_t kStreamBytes = 1024 * kMiB;
const int64_t kPassBytes = 128 * kMiB;
const uint64_t kCacheBytes = 256 * kMiB;
const int kWarmPasses = 8;

class Device {
 public:
  explicit Device(const std::string& node)
      : m_fd(open(node.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC)) {
    if (m_fd < 0 || posix_memalign(&m_buffer, 4096, kMiB) != 0) {
      throw std::runtime_error("cannot open " + node);
    }
  }
  ~Device() {
    std::free(m_buffer);
    close(m_fd);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Reads [offset, offset + bytes) in `block`-sized reads; seconds taken.
  double read(int64_t offset, int64_t bytes, int64_t block = kMiB) {
    const auto start = std::chrono::steady_clock::now();
    for (int64_t at = offset; at < offset + bytes; at += block) readAt(at, block);
    return secondsSince(start);
  }
  // `count` reads of `block` bytes at random aligned places in [0, bytes).
  double readRandom(int64_t bytes, int64_t block, int64_t count) {
    std::mt19937_64 random(7);
    const auto start = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < count; ++i) {
      readAt(static_cast<int64_t>(random() % static_cast<uint64_t>(bytes / block)) * block, block);
    }
    return secondsSince(start);
  }

 private:
  void readAt(int64_t at, int64_t block) {
    if (pread(m_fd, m_buffer, static_cast<size_t>(block), at) != block) {
      throw std::runtime_error("short read at " + std::to_string(at));
    }
  }
  static double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  int m_fd;
  void* m_buffer = nullptr;
};

int64_t absentHotExtents(KqBlkRecallStore& store) {
  const int64_t extents = kHotBytes / store.getExtentSize();
  int64_t absent = 0;
  for (int64_t e = 0; e < extents; ++e) absent += !store.hasExtent(e);
  return absent;
}

double mbps(int64_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

int run() {
  if (geteuid() != 0) {
    std::fprintf(stderr, "bench_cache_lru needs root\n");
    return 1;
  }
  runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk");
  TempDir dir;
  DiskImage image(dir / "source.img", static_cast<uint64_t>((kHotBytes + kStreamBytes) / kMiB));
  image.fillRandom(0, image.sizeBytes(), 3);
  CUxDirectory::Create(dir / "stores", false);
  CacheManager cache(kCacheBytes);
  KqBlkDisk::setCacheManager(&cache);
  const ScopeExit unset([] { KqBlkDisk::setCacheManager(nullptr); });
  ExposedDisk disk(image.path(), image.sizeBytes(), dir / "stores");
  disk.expose();
  KqBlkRecallStore& store = *disk.disk->getRecallStore();
  const int64_t hotExtents = kHotBytes / store.getExtentSize();
  Device device(disk.devPath);

  std::printf("%-8s %16s %12s\n", "pass", "hot recalled", "MB/s");
  int64_t recalled = absentHotExtents(store);
  double seconds = device.read(0, kHotBytes);
  std::printf("%-8s %16lld %12.0f\n", "first", static_cast<long long>(recalled),
              mbps(kHotBytes, seconds));
  for (int64_t pass = 0; pass * kPassBytes < kStreamBytes; ++pass) {
    const double stream = device.read(kHotBytes + pass * kPassBytes, kPassBytes);
    const int64_t absent = absentHotExtents(store);
    const double hot = device.read(0, kHotBytes);
    recalled += absent;
    seconds += stream + hot;
    std::printf("%-8lld %16lld %12.0f\n", static_cast<long long>(pass + 1),
                static_cast<long long>(absent), mbps(kPassBytes + kHotBytes, stream + hot));
  }
  const int64_t total = kHotBytes * (kStreamBytes / kPassBytes + 1) + kStreamBytes;
  std::printf("hot region recalled %.2f times (%lld extents of %lld); %.0f MB/s over %lld MiB\n",
              static_cast<double>(recalled) / static_cast<double>(hotExtents),
              static_cast<long long>(recalled), static_cast<long long>(hotExtents),
              mbps(total, seconds), static_cast<long long>(total / kMiB));
  std::printf("cache: %llu of %llu MiB used\n",
              static_cast<unsigned long long>(cache.usedBytes() / kMiB),
              static_cast<unsigned long long>(cache.capacity() / kMiB));

  // Every hot extent is present now: these reads are served by the stores.
  double warm = 0;
  for (int i = 0; i < kWarmPasses; ++i) warm += device.read(0, kHotBytes);
  std::printf("warm hot region, 1 MiB reads: %.0f MB/s\n", mbps(kHotBytes * kWarmPasses, warm));
  const int64_t randomReads = kHotBytes / 4096 * 2;
  std::printf("warm hot region, random 4 KiB reads: %.0f MB/s\n",
              mbps(randomReads * 4096, device.readRandom(kHotBytes, 4096, randomReads)));
  if (absentHotExtents(store) != 0) throw std::runtime_error("warm reads recalled hot extents");
  return 0;
}

}  // namespace

int main() {
  // Caught here so that the device, the stores and the image are taken
  // down by their guards on the way out.
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_cache_lru: %s\n", e.what());
    return 1;
  }
}
