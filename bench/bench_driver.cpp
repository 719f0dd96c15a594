// Reads through a driver device whose recalls a simple service loop serves
// from a local file (cold: every extent recalled; warm: all recalled
// before), beside the same reads from a plain loop device of that file
// (cold: page cache dropped first; warm: file in the page cache). All reads
// use O_DIRECT, so the block device's own cache never answers. Needs root.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kq_fs.h"
#include "kq_process.h"
#include "kqblk_driver.h"
#include "kqblk_store.h"

namespace {

const int64_t kMiB = 1024 * 1024;
const int64_t kDiskBytes = 256 * kMiB;
const int64_t kRandomBytes = 64 * kMiB;  // read per random-access run
const int32_t kExtent = 4096;

int shell(const std::string& command) {
  std::string out;
  std::string err;
  return KqProcess::system(command, &out, &err, 300, false);
}

void dropCaches() {
  ::sync();
  shell("echo 3 > /proc/sys/vm/drop_caches");
}

// The source: random bytes in a scratch directory, removed at exit.
struct Source {
  Source() {
    char tmpl[] = "/var/tmp/kqblk-bench-XXXXXX";
    dir = ::mkdtemp(tmpl) ? tmpl : "";
    path = dir + "/source.img";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::mt19937_64 random(1);
    std::vector<uint64_t> block(kMiB / 8);
    for (int64_t done = 0; fd >= 0 && done < kDiskBytes; done += kMiB) {
      for (uint64_t& word : block) word = random();
      if (::write(fd, block.data(), kMiB) != kMiB) break;
    }
    if (fd >= 0) ::close(fd);
  }
  ~Source() { CUxDirectory::Remove(dir, true, false); }
  std::string dir;
  std::string path;
};

Source& source() {
  static Source s;
  return s;
}

// Plays the disk's service thread: source extent -> recall store -> done.
class ServiceLoop {
 public:
  ServiceLoop(const std::string& name, KqBlkRecallStore* store)
      : m_name(name), m_store(store), m_stop(::eventfd(0, EFD_CLOEXEC)) {
    m_source = ::open(source().path.c_str(), O_RDONLY | O_CLOEXEC);
    m_thread = std::thread([this] { run(); });
  }
  ~ServiceLoop() {
    const uint64_t one = 1;
    if (::write(m_stop, &one, sizeof one) != sizeof one) std::perror("stop");
    m_thread.join();
    ::close(m_stop);
    ::close(m_source);
  }

 private:
  void run() {
    KqBlkDriverUnix driver;
    int fd = -1;
    if (driver.monitorDevice(m_name).IsError() || driver.getFD(fd).IsError()) return;
    std::vector<char> buffer(kExtent);
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents || (fds[0].revents & (POLLHUP | POLLERR))) return;
      int64_t extent = 0;
      if (driver.getRecallRequest(m_name, extent).IsError()) continue;
      if (::pread(m_source, buffer.data(), kExtent, extent * kExtent) == kExtent) {
        m_store->writeExtent(extent, buffer.data());
      }
      driver.recallDone(m_name, extent);
    }
  }

  std::string m_name;
  KqBlkRecallStore* m_store;
  int m_stop;
  int m_source = -1;
  std::thread m_thread;
};

// A driver device over fresh stores, served by a ServiceLoop.
class DriverDisk {
 public:
  DriverDisk() {
    static int serial = 0;
    m_name = "kqbench-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    char tmpl[] = "/var/tmp/kqblk-bench-stores-XXXXXX";
    m_dir = ::mkdtemp(tmpl) ? tmpl : "";
    for (const char* store : {"pbstore", "rbstore"}) {
      const std::string path = m_dir + "/" + store;
      ::mkdir(path.c_str(), 0755);
      CUxError err;
      (std::strcmp(store, "pbstore") == 0 ? m_private : m_recall)
          .reset(KqBlkRecallStore::create(path, m_name, kDiskBytes, kExtent, err));
    }
    CUxError err = m_driver.createAutoAbortDevice(m_name, m_private, m_recall, m_node);
    if (err.IsError()) {
      std::fprintf(stderr, "bench_driver: %s\n", err.AsString().c_str());
      std::exit(1);
    }
    m_loop.reset(new ServiceLoop(m_name, m_recall.get()));
  }
  ~DriverDisk() {
    m_loop.reset();
    m_driver.abortDevice(m_name);
    m_driver.destroyDevice(m_name);
    m_private.reset();
    m_recall.reset();
    CUxDirectory::Remove(m_dir, true, false);
  }
  const std::string& node() const { return m_node; }

 private:
  KqBlkDriverUnix m_driver;
  std::string m_name;
  std::string m_dir;
  std::string m_node;
  std::shared_ptr<KqBlkRecallStore> m_private;
  std::shared_ptr<KqBlkRecallStore> m_recall;
  std::unique_ptr<ServiceLoop> m_loop;
};

// A loop device of the source file, attached by losetup.
class PlainLoop {
 public:
  PlainLoop() {
    std::string err;
    KqProcess::system("losetup --find --show '" + source().path + "'", &m_node, &err, 60, false);
    while (!m_node.empty() && m_node.back() == '\n') m_node.pop_back();
  }
  ~PlainLoop() { shell("losetup -d '" + m_node + "'"); }
  const std::string& node() const { return m_node; }

 private:
  std::string m_node;
};

// O_DIRECT reads of `block` bytes: the whole disk in order, or kRandomBytes
// at random block-aligned places. Returns the bytes read.
int64_t readPattern(const std::string& node, bool sequential, int64_t block, uint64_t seed) {
  const int fd = ::open(node.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (fd < 0) return 0;
  void* buffer = nullptr;
  if (posix_memalign(&buffer, 4096, static_cast<size_t>(block)) != 0) return 0;
  std::mt19937_64 random(seed);
  int64_t total = 0;
  const int64_t count = (sequential ? kDiskBytes : kRandomBytes) / block;
  for (int64_t i = 0; i < count; ++i) {
    const int64_t at =
        sequential ? i * block : static_cast<int64_t>(random() % (kDiskBytes / block)) * block;
    const ssize_t n = ::pread(fd, buffer, static_cast<size_t>(block), at);
    if (n <= 0) break;
    total += n;
  }
  std::free(buffer);
  ::close(fd);
  return total;
}

enum Target { kPlain, kDriver };

void BM_Read(benchmark::State& state, Target target, bool sequential, int64_t block, bool warm) {
  std::unique_ptr<PlainLoop> plain;
  std::unique_ptr<DriverDisk> warmDisk;
  if (target == kPlain) plain.reset(new PlainLoop());
  if (target == kDriver && warm) {
    warmDisk.reset(new DriverDisk());
    readPattern(warmDisk->node(), true, kMiB, 0);  // recall everything once
  }
  uint64_t seed = 1;
  int64_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<DriverDisk> coldDisk;
    std::string node;
    if (target == kPlain) {
      if (warm) {
        readPattern(plain->node(), true, kMiB, 0);  // source in the page cache
      } else {
        dropCaches();
      }
      node = plain->node();
    } else if (warm) {
      node = warmDisk->node();
    } else {
      coldDisk.reset(new DriverDisk());
      node = coldDisk->node();
    }
    state.ResumeTiming();
    bytes += readPattern(node, sequential, block, seed++);
    state.PauseTiming();
    coldDisk.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(bytes);
}

bool ready() {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "bench_driver: needs root\n");
    return false;
  }
  std::string out;
  std::string err;
  if (KqProcess::system(std::string(KQBLK_UNIX_DRV) + " -a kqblk", &out, &err, 60, false) != 0) {
    std::fprintf(stderr, "bench_driver: the driver cannot be loaded: %s", err.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!ready()) return 0;
  source();
  for (bool warm : {false, true}) {
    for (bool sequential : {true, false}) {
      for (int64_t block : {int64_t{4096}, kMiB}) {
        for (Target target : {kPlain, kDriver}) {
          const std::string name = std::string(target == kPlain ? "plain_loop" : "driver") +
                                   (sequential ? "/seq/" : "/random/") +
                                   (block == kMiB ? "1MiB/" : "4KiB/") +
                                   (warm ? "warm" : "cold");
          benchmark::RegisterBenchmark(name.c_str(), BM_Read, target, sequential, block, warm)
              ->Unit(benchmark::kMillisecond)
              ->UseRealTime()
              ->Iterations(2);
        }
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
