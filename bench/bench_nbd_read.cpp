// Sequential read of a 1 GiB file on an ext4 guest partition whose disk is
// a remote NBD export: nbdkit on localhost TCP, its delay filter adding
// 2 ms to every read. Needs root. Prints MB/s (target >= 100) and how many
// reads the reader plugin keeps in flight.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "big_file_guest.h"
#include "kq_fs.h"
#include "kqblk_cache_manager.h"
#include "kqblk_vminfodisk.h"
#include "support/child_process.h"
#include "support/disk_image.h"
#include "support/exposed_disk.h"
#include "support/guest_image.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

namespace {

const char kPort[] = "10839";
// As the reader plugin's NBD source issues them.
const unsigned kInFlight = 16;
const unsigned kPieceKiB = 64;

}  // namespace

int run() {
  if (geteuid() != 0) {
    std::fprintf(stderr, "bench_nbd_read needs root\n");
    return 1;
  }
  runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk");
  TempDir dir;
  DiskImage image(dir / "guest.img", 1200);
  makeBigFileGuest(dir, image);
  // nbdkit writes its pid file once it listens.
  const std::string pidFile = dir / "nbdkit.pid";
  Child server({"/usr/bin/nbdkit", "-f", "-r", "-i", "127.0.0.1", "-p", kPort, "-P", pidFile,
                "--filter=delay", "file", image.path(), "delay-read=2ms"});
  struct stat st;
  for (int i = 0; i < 1000 && ::stat(pidFile.c_str(), &st) != 0; ++i) usleep(10000);
  CacheManager cache(4ull << 30);
  KqBlkDisk::setCacheManager(&cache);
  double mbps = 0;
  {
    CUxDirectory::Create(dir / "stores", false);
    ExposedDisk e(std::string("nbd://127.0.0.1:") + kPort + "/", 0, dir / "stores");
    e.expose();
    ScopedMount m(e.devPath + "p1", dir / "kqblk", "ro");
    sync();
    runTool("echo 3 > /proc/sys/vm/drop_caches");
    mbps = readBigFileMBps(m.path() + "/big.bin");
  }
  KqBlkDisk::setCacheManager(nullptr);
  std::printf("%-46s %9.0f MB/s  (target >= 100)\n", "kqblk over NBD, TCP, 2 ms per read", mbps);
  std::printf("%-46s %9u x %u KiB\n", "reads in flight", kInFlight, kPieceKiB);
  return 0;
}

int main() {
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_nbd_read: %s\n", e.what());
    return 1;
  }
}
