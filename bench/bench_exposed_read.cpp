// Sequential read of a 1 GiB file on an ext4 guest partition: exposed by
// kqblk (cold: every extent recalled; warm: recalled, page cache dropped;
// slowed: 1 ms per source read) beside a direct loop mount of the image.
// Needs root. Prints MB/s per case and the ratios to the direct cold read.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "kq_fs.h"
#include "kqblk_cache_manager.h"
#include "kqblk_vminfodisk.h"
#include "support/disk_image.h"
#include "support/exposed_disk.h"
#include "support/guest_image.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

namespace {

const uint64_t kFileBytes = 1ull << 30;

void dropCaches() {
  sync();
  runTool("echo 3 > /proc/sys/vm/drop_caches");
}

double readMBps(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::vector<char> buf(1 << 20);
  const auto start = std::chrono::steady_clock::now();
  uint64_t total = 0;
  for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0;) total += static_cast<uint64_t>(n);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  if (total != kFileBytes) throw std::runtime_error("short read of " + path);
  return static_cast<double>(total) / 1e6 / secs;
}

}  // namespace

int run() {
  if (geteuid() != 0) {
    std::fprintf(stderr, "bench_exposed_read needs root\n");
    return 1;
  }
  runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk");
  TempDir dir;
  DiskImage image(dir / "guest.img", 1200);
  image.partition("label: dos\nstart=2048, size=2453504, type=83\n");
  {
    LoopDevice loop(image.path());
    loop.addPartitions();
    makeFileSystem(loop.partitionPath(1), {"ext4", "bench", ""});
    ScopedMount m(loop.partitionPath(1), dir / "fill", "rw");
    const std::vector<char> chunk = randomBytes(64 << 20, 5);
    const int fd = open((m.path() + "/big.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    for (uint64_t done = 0; done < kFileBytes; done += chunk.size()) {
      if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) return 1;
    }
    close(fd);
    m.unmount();
  }

  // Each case three times; the median, since the source disk's own cache
  // makes single runs swing widely.
  const int kRuns = 3;
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::vector<double> direct, cold, warm, slowed;
  {
    LoopDevice loop(image.path());
    loop.addPartitions();
    ScopedMount m(loop.partitionPath(1), dir / "direct", "ro");
    for (int i = 0; i < kRuns; ++i) {
      dropCaches();
      direct.push_back(readMBps(m.path() + "/big.bin"));
    }
  }
  CacheManager cache(4ull << 30);
  KqBlkDisk::setCacheManager(&cache);
  for (int i = 0; i < kRuns; ++i) {
    ExposedDisk e(image.path(), image.sizeBytes(), dir / ("stores" + std::to_string(i)));
    CUxDirectory::Create(dir / ("stores" + std::to_string(i)), false);
    e.expose();
    ScopedMount m(e.devPath + "p1", dir / "kqblk", "ro");
    dropCaches();
    cold.push_back(readMBps(m.path() + "/big.bin"));
    dropCaches();
    warm.push_back(readMBps(m.path() + "/big.bin"));
  }
  {
    CUxDirectory::Create(dir / "stores-slow", false);
    ExposedDisk e(image.path(), image.sizeBytes(), dir / "stores-slow", 1000);
    e.expose();
    ScopedMount m(e.devPath + "p1", dir / "kqblk-slow", "ro");
    dropCaches();
    slowed.push_back(readMBps(m.path() + "/big.bin"));
  }
  KqBlkDisk::setCacheManager(nullptr);
  const double d = median(direct);
  std::printf("%-34s %9s %8s   (median of %d runs)\n", "case", "MB/s", "ratio", kRuns);
  std::printf("%-34s %9.0f %8s\n", "direct loop mount, cold", d, "1.00");
  std::printf("%-34s %9.0f %8.2f  (target >= 0.50)\n", "kqblk, cold", median(cold), median(cold) / d);
  std::printf("%-34s %9.0f %8.2f  (target >= 0.90)\n", "kqblk, warm (recalled)", median(warm),
              median(warm) / d);
  std::printf("%-34s %9.0f %8s  (target >= 100 MB/s)\n", "kqblk, cold, 1 ms per source read",
              median(slowed), "");
  return 0;
}

int main() {
  // Caught here so that every device, mount and image made so far is
  // taken down by its guard on the way out.
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_exposed_read: %s\n", e.what());
    return 1;
  }
}
