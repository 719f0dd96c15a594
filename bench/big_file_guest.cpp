#include "big_file_guest.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "support/guest_image.h"
#include "support/loop_device.h"

void makeBigFileGuest(const TempDir& dir, DiskImage& image) {
  image.partition("label: dos\nstart=2048, size=2453504, type=83\n");
  LoopDevice loop(image.path());
  loop.addPartitions();
  makeFileSystem(loop.partitionPath(1), {"ext4", "bench", ""});
  ScopedMount m(loop.partitionPath(1), dir / "fill", "rw");
  const std::vector<char> chunk = randomBytes(64 << 20, 5);
  const int fd = open((m.path() + "/big.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  for (uint64_t done = 0; done < kBigFileBytes; done += chunk.size()) {
    if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
      close(fd);
      throw std::runtime_error("cannot fill the guest file");
    }
  }
  close(fd);
  m.unmount();
}

double readBigFileMBps(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::vector<char> buf(1 << 20);
  const auto start = std::chrono::steady_clock::now();
  uint64_t total = 0;
  for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0;) total += static_cast<uint64_t>(n);
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(fd);
  if (total != kBigFileBytes) throw std::runtime_error("short read of " + path);
  return static_cast<double>(total) / 1e6 / secs;
}
