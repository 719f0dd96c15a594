// How `kqblkctl mount` scales with the disks of a request. One guest of
// eight 1 GiB disks (sparse, 96 MiB of files each): disk 0 holds the ext4
// root, whose fstab mounts the ext4 file system of each other disk at
// /dataN by UUID. Needs root.
//
// Three cases, each a fresh request on fresh stores:
//   A  one request of disk 0 alone;
//   B  one request of all eight disks;
//   C  two requests in two processes started together, disks 0-3 and 4-7
//      (the second has no root: its first file system stands in for one).
// Per case: seconds from starting kqblkctl until it printed the tree (and
// how much of that went to starting and exposing, how much to discovering,
// mounting and laying out), its resident memory once the tree is there and
// after the reads, the aggregate MB/s of reading every exposed disk whole,
// all at once, one thread a disk (O_DIRECT, 1 MiB reads, none of it read
// before), and seconds from SIGTERM until every kqblkctl has exited.
//
// The goals: eight disks reach their tree within twice the time of one,
// and read at no less than 0.8 of one disk's MB/s in aggregate. They are
// shown, never enforced: the exit status says only whether the run worked.
//
// The reader plugin reads the images with direct I/O, so cold reads come
// from the host's disk, holes excepted; the images are synced first.
//
//   bench_scale [-v]    -v: also each kqblkctl's progress lines, timed
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kq_json.h"
#include "kq_process.h"
#include "support/child_process.h"
#include "support/phony_guest.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"
#include "support/test_util.h"

namespace {

const int kDisks = 8;
const uint64_t kDiskMiB = 1024;
const int kFilesPerDisk = 24;
const size_t kFileBytes = 4u << 20;  // 96 MiB of files a disk
const size_t kReadBytes = 1u << 20;
// A kqblkctl that has not stopped by then is killed and swept up after.
const int kStopTimeoutSeconds = 600;

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Set by SIGINT, SIGTERM or SIGHUP: blocking reads return early (the
// handler has no SA_RESTART), the run stops and takes down what it made.
std::atomic<int> gInterrupted{0};

void onSignal(int number) { gInterrupted = number; }

void checkInterrupted() {
  if (gInterrupted) throw std::runtime_error("interrupted by signal " + std::to_string(gInterrupted.load()));
}

std::string kqblkctlPath() {
  const char* fromEnv = std::getenv("KQBLKCTL");
  return fromEnv && *fromEnv ? fromEnv : KQBLK_CTL;
}

PhonyFiles bulkFiles(const std::string& dir, uint32_t seed) {
  PhonyFiles files;
  for (int i = 0; i < kFilesPerDisk; ++i) {
    files.push_back({dir + "/blob-" + std::to_string(i), [&] {
      const std::vector<char> bytes = randomBytes(kFileBytes, seed + i);
      return std::string(bytes.begin(), bytes.end());
    }()});
  }
  return files;
}

std::unique_ptr<PhonyGuest> makeGuest(const TempDir& dir) {
  PhonyGuestSpec spec;
  PhonyFiles root = bulkFiles("usr/share/bench", 1);
  root.insert(root.begin(), {{"dev/", ""}, {"etc/hostname", "scale\n"}});
  spec.disks.push_back({"disk0.img", kDiskMiB, "label: dos\n",
                        {{"type=83", {{"ext4", "root", ""}, root, "/", "UUID"}}}});
  for (int n = 1; n < kDisks; ++n) {
    const std::string name = "data" + std::to_string(n);
    spec.disks.push_back({"disk" + std::to_string(n) + ".img", kDiskMiB, "label: dos\n",
                          {{"type=83", {{"ext4", name, ""}, bulkFiles(name, 1000u * n), "/" + name, "UUID"}}}});
  }
  return std::make_unique<PhonyGuest>(dir.path(), spec);
}

// The images' data on the host's disk, and nothing left to write back
// that could slow a case down.
void settle(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) throw std::runtime_error("cannot sync " + path);
    ::close(fd);
  }
  ::sync();
}

uint64_t residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  throw std::runtime_error("no VmRSS for process " + std::to_string(pid));
}

// One `kqblkctl mount --json` serving in the background. Its standard
// error is read by a thread that notes when each line came, to tell the
// stages apart; it is shown when the request fails.
class Served {
 public:
  Served(const std::string& id, const std::string& root, const std::string& store,
         const std::vector<std::string>& images)
      : m_id(id) {
    std::vector<std::string> argv = {kqblkctlPath(), "mount", "--json", "--id", id, "--root", root,
                                     "--store", store};
    argv.insert(argv.end(), images.begin(), images.end());
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    m_errFd = err[0];
    // The child gets the pipe as its standard error; ours is put back at once.
    const int saved = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (saved < 0) {
      ::close(err[0]);
      ::close(err[1]);
      throw std::runtime_error("cannot keep standard error");
    }
    ::dup2(err[1], 2);
    ::close(err[1]);
    m_start = Clock::now();
    try {
      m_child = std::make_unique<Child>(argv);
    } catch (...) {
      ::dup2(saved, 2);
      ::close(saved);
      throw;
    }
    ::dup2(saved, 2);
    ::close(saved);
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, m_child->pid(), 0));
    if (m_pidFd < 0) {
      // Not timed then, but still given the chance to take down what it made.
      m_child->signal(SIGTERM);
      m_child->wait();
      ::close(m_errFd);
      throw std::runtime_error("pidfd_open failed");
    }
    m_stderrReader = std::thread([this] { readStderr(); });
  }

  ~Served() {
    if (m_child && !m_exited) {
      if (!m_stopSent) m_child->signal(SIGTERM);
      if (!m_stopTimedOut && waitForExit(kStopTimeoutSeconds)) {
        m_child->wait();
      } else {
        std::fprintf(stderr, "bench_scale: kqblkctl %s did not stop; killing it and sweeping up\n", m_id.c_str());
        m_child->kill();
        std::string out, err;
        KqProcess::system(shellQuote(kqblkctlPath()) + " cleanup", &out, &err, kStopTimeoutSeconds, false);
      }
      m_exited = true;
    }
    m_readerDone = true;
    if (m_stderrReader.joinable()) m_stderrReader.join();
    if (m_pidFd >= 0) ::close(m_pidFd);
    if (m_errFd >= 0) ::close(m_errFd);
  }
  Served(const Served&) = delete;
  Served& operator=(const Served&) = delete;

  // Reads the JSON document up to the tree.
  void waitForTree() {
    std::string doc;
    for (std::string part; doc.empty() || doc.back() != '\n'; doc += part) {
      part = m_child->readLine();
      if (part.empty()) fail("printed no tree");
    }
    m_treeAt = Clock::now();
    std::string why;
    if (!kqParseJson(doc, 1u << 20, m_printed, why)) fail("printed no JSON document: " + why);
    if (m_printed.stringAt("tree").empty()) fail("named no tree");
  }

  // Its devices in `list` (kqblkctl list --json); checks that there is one
  // for each image and that something from each is mounted.
  void findDevices(const KqJson& list, size_t images) {
    const std::string pid = std::to_string(m_child->pid());
    for (const KqJson& d : list.items) {
      const KqJson* server = d.find("server");
      if (server && server->text == pid) m_devices.push_back(d.stringAt("device"));
    }
    if (m_devices.size() != images) fail("serves " + std::to_string(m_devices.size()) + " devices");
    const KqJson* mounts = m_printed.find("mounts");
    for (const std::string& device : m_devices) {
      bool mounted = false;
      for (size_t i = 0; mounts && i < mounts->items.size() && !mounted; ++i) {
        const std::string from = mounts->items[i].stringAt("device");
        mounted = mounts->items[i].stringAt("error").empty() &&
                  (from == device || from.rfind(device + "p", 0) == 0);
      }
      if (!mounted) fail("mounted nothing from " + device);
    }
  }

  void stop() {
    m_stopAt = Clock::now();
    m_child->signal(SIGTERM);
    m_stopSent = true;
  }

  // Waits for the exit that stop() asked for; the seconds it took.
  double waitStopped() {
    m_stopTimedOut = !waitForExit(kStopTimeoutSeconds);
    if (m_stopTimedOut) fail("did not stop within " + std::to_string(kStopTimeoutSeconds) + " s");
    const Clock::time_point gone = Clock::now();
    const int status = m_child->wait();
    m_exited = true;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("ended with status " + std::to_string(status));
    return secondsBetween(m_stopAt, gone);
  }

  double secondsToTree() const { return secondsBetween(m_start, m_treeAt); }
  // From the start until discovery began: the process, the driver, the
  // devices; negative when kqblkctl did not say when discovery began.
  double secondsToDiscovery() const {
    const Clock::time_point at = lineAt("kqblkctl: discovering");
    return at == Clock::time_point() ? -1 : secondsBetween(m_start, at);
  }
  uint64_t residentKiB() const { return ::residentKiB(m_child->pid()); }

  // What it said, with the seconds since its start, beside when the tree
  // came and when it was told to stop.
  void printLines() const {
    std::vector<Line> all = {{m_treeAt, "(tree printed)"}, {m_stopAt, "(SIGTERM sent)"}};
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      all.insert(all.end(), m_lines.begin(), m_lines.end());
    }
    std::stable_sort(all.begin(), all.end(), [](const Line& a, const Line& b) { return a.at < b.at; });
    std::fprintf(stderr, "kqblkctl mount %s:\n", m_id.c_str());
    for (const Line& l : all) std::fprintf(stderr, "  %8.3f %s\n", secondsBetween(m_start, l.at), l.text.c_str());
  }
  const std::vector<std::string>& devices() const { return m_devices; }

 private:
  struct Line {
    Clock::time_point at;
    std::string text;
  };

  void readStderr() {
    std::string pending;
    char buf[4096];
    for (;;) {
      pollfd p{m_errFd, POLLIN, 0};
      // A tool the child left running may keep the pipe open: give up once told.
      if (::poll(&p, 1, 200) <= 0) {
        if (m_readerDone) return;
        continue;
      }
      const ssize_t n = ::read(m_errFd, buf, sizeof buf);
      if (n <= 0) return;
      const Clock::time_point at = Clock::now();
      pending.append(buf, static_cast<size_t>(n));
      std::lock_guard<std::mutex> lock(m_mutex);
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        m_lines.push_back({at, pending.substr(0, end)});
      }
    }
  }

  Clock::time_point lineAt(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Line& l : m_lines) {
      if (l.text.rfind(prefix, 0) == 0) return l.at;
    }
    return Clock::time_point();
  }

  bool waitForExit(int seconds) {
    const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
    for (Clock::time_point now; (now = Clock::now()) < until;) {
      pollfd p{m_pidFd, POLLIN, 0};
      const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count());
      if (::poll(&p, 1, std::max(ms, 1)) > 0) return true;
    }
    return false;
  }

  [[noreturn]] void fail(const std::string& what) const {
    std::string said;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (const Line& l : m_lines) said += "\n  " + l.text;
    }
    throw std::runtime_error("kqblkctl mount " + m_id + " " + what + "; it said:" + said);
  }

  std::string m_id;
  std::unique_ptr<Child> m_child;
  int m_pidFd = -1;
  int m_errFd = -1;
  bool m_stopSent = false;
  bool m_stopTimedOut = false;
  bool m_exited = false;
  std::atomic<bool> m_readerDone{false};
  std::thread m_stderrReader;
  mutable std::mutex m_mutex;
  std::vector<Line> m_lines;
  Clock::time_point m_start, m_treeAt, m_stopAt;
  KqJson m_printed;  // the document with the tree
  std::vector<std::string> m_devices;
};

// The driver's devices as `kqblkctl list --json` gives them.
KqJson listDevices() {
  std::string out, err;
  const int rc = KqProcess::system(shellQuote(kqblkctlPath()) + " list --json", &out, &err, 120, false);
  KqJson json;
  std::string why = "exited " + std::to_string(rc);
  if (rc != 0 || !kqParseJson(out, 16u << 20, json, why) || json.type != KqJson::kArray) {
    throw std::runtime_error("kqblkctl list --json: " + why + ": " + err + out);
  }
  return json;
}

// Reads every device whole at once, one thread a device; aggregate MB/s.
double coldReadMBps(const std::vector<std::string>& devices) {
  std::vector<uint64_t> bytes(devices.size(), 0);
  std::vector<std::string> errors(devices.size());
  std::vector<std::thread> readers;
  const Clock::time_point start = Clock::now();
  for (size_t i = 0; i < devices.size(); ++i) {
    readers.emplace_back([&, i] {
      const int fd = ::open(devices[i].c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
      void* buf = nullptr;
      if (fd < 0 || ::posix_memalign(&buf, 4096, kReadBytes) != 0) {
        errors[i] = devices[i] + ": cannot open for direct reads";
        if (fd >= 0) ::close(fd);
        return;
      }
      for (;;) {
        const ssize_t n = ::pread(fd, buf, kReadBytes, static_cast<off_t>(bytes[i]));
        if (n < 0 && errno == EINTR && !gInterrupted) continue;
        if (n < 0) errors[i] = devices[i] + ": " + std::strerror(errno);
        if (n <= 0) break;
        bytes[i] += static_cast<uint64_t>(n);
      }
      std::free(buf);
      ::close(fd);
    });
  }
  for (std::thread& t : readers) t.join();
  const double seconds = secondsBetween(start, Clock::now());
  uint64_t total = 0;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (!errors[i].empty()) throw std::runtime_error(errors[i]);
    if (bytes[i] != kDiskMiB << 20) throw std::runtime_error(devices[i] + ": short read");
    total += bytes[i];
  }
  return total / 1e6 / seconds;
}

struct CaseResult {
  double toTree = 0;       // the last request's
  double toDiscovery = 0;  // of that request
  std::vector<uint64_t> rssAtTreeKiB, rssAfterReadsKiB;
  double mbps = 0;
  double toStop = 0;  // until the last exited
};

CaseResult runCase(const TempDir& dir, const std::string& tag,
                   const std::vector<std::vector<std::string>>& requests, bool verbose) {
  CaseResult r;
  std::vector<std::unique_ptr<Served>> served;
  for (size_t i = 0; i < requests.size(); ++i) {
    const std::string id = "scale" + tag + std::to_string(i);
    served.push_back(std::make_unique<Served>(id, dir / ("root-" + id), dir / ("store-" + id), requests[i]));
  }
  // Side by side: each request's tree is waited for on its own thread.
  std::vector<std::exception_ptr> failed(served.size());
  std::vector<std::thread> waiters;
  for (size_t i = 0; i < served.size(); ++i) {
    waiters.emplace_back([&, i] {
      try {
        served[i]->waitForTree();
      } catch (...) {
        failed[i] = std::current_exception();
      }
    });
  }
  for (std::thread& t : waiters) t.join();
  for (const std::exception_ptr& e : failed) {
    if (e) std::rethrow_exception(e);
  }
  checkInterrupted();
  const KqJson listed = listDevices();
  std::vector<std::string> devices;
  for (size_t i = 0; i < served.size(); ++i) {
    const auto& s = served[i];
    s->findDevices(listed, requests[i].size());
    if (s->secondsToTree() >= r.toTree) {
      r.toTree = s->secondsToTree();
      r.toDiscovery = s->secondsToDiscovery();
    }
    r.rssAtTreeKiB.push_back(s->residentKiB());
    devices.insert(devices.end(), s->devices().begin(), s->devices().end());
  }
  r.mbps = coldReadMBps(devices);
  checkInterrupted();
  for (const auto& s : served) r.rssAfterReadsKiB.push_back(s->residentKiB());
  for (const auto& s : served) s->stop();
  for (const auto& s : served) r.toStop = std::max(r.toStop, s->waitStopped());
  if (verbose) {
    for (const auto& s : served) s->printLines();
  }
  return r;
}

std::string mebibytes(const std::vector<uint64_t>& kib) {
  std::string text;
  for (uint64_t k : kib) {
    char one[32];
    std::snprintf(one, sizeof one, "%s%.0f", text.empty() ? "" : "+", k / 1024.0);
    text += one;
  }
  return text + " MiB";
}

std::string seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", s);
  return s < 0 ? "-" : text;
}

void printRow(const char* name, const char* disks, const CaseResult& r) {
  std::printf("%-44s %5s %9.2f %8s %9s %13s %13s %9.0f %9.2f\n", name, disks, r.toTree,
              seconds(r.toDiscovery).c_str(), seconds(r.toDiscovery < 0 ? -1 : r.toTree - r.toDiscovery).c_str(),
              mebibytes(r.rssAtTreeKiB).c_str(), mebibytes(r.rssAfterReadsKiB).c_str(), r.mbps, r.toStop);
}

void printGoal(const char* what, double ratio, bool met, const char* goal) {
  std::printf("%-44s %6.2f  (goal %s)  %s\n", what, ratio, goal, met ? "PASS" : "MISS");
}

}  // namespace

int run(bool verbose) {
  if (geteuid() != 0) {
    std::fprintf(stderr, "bench_scale needs root\n");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  for (int number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(number, &sa, nullptr);
  // The build tree's driver script and reader plugin, unless told otherwise.
  setenv("KQBLK_DRIVER_SCRIPT", KQBLK_UNIX_DRV, 0);
  const char* libraryPath = std::getenv("LD_LIBRARY_PATH");
  setenv("LD_LIBRARY_PATH",
         (std::string(KQBLK_READERS_DIR) + (libraryPath && *libraryPath ? std::string(":") + libraryPath : "")).c_str(), 1);
  runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk");  // loaded once, outside every case's time

  TempDir dir;
  if (dir.path().empty()) throw std::runtime_error("cannot make a temporary directory");
  // kqblkctl's log stays with the run, not in the machine's /var/log.
  ScopedConfig config("[Log]\nsKqBlkLogFile = " + (dir / "kqblkctl.log") + "\n");
  std::fprintf(stderr, "bench_scale: building %d disks of %llu MiB\n", kDisks,
               static_cast<unsigned long long>(kDiskMiB));
  const std::unique_ptr<PhonyGuest> guest = makeGuest(dir);
  const std::vector<std::string> images = guest->paths();
  checkInterrupted();
  settle(images);

  const std::vector<std::string> firstHalf(images.begin(), images.begin() + kDisks / 2);
  const std::vector<std::string> secondHalf(images.begin() + kDisks / 2, images.end());
  std::fprintf(stderr, "bench_scale: case A, one disk\n");
  const CaseResult one = runCase(dir, "a", {{images.front()}}, verbose);
  settle(images);
  std::fprintf(stderr, "bench_scale: case B, one request of %d disks\n", kDisks);
  const CaseResult eight = runCase(dir, "b", {images}, verbose);
  settle(images);
  std::fprintf(stderr, "bench_scale: case C, two requests of %d disks\n", kDisks / 2);
  const CaseResult two = runCase(dir, "c", {firstHalf, secondHalf}, verbose);

  std::printf("%-44s %5s %9s %8s %9s %13s %13s %9s %9s\n", "case", "disks", "s to tree", "s start",
              "s mount", "RSS at tree", "RSS at end", "cold MB/s", "s to stop");
  printRow("A  one request, one disk", "1", one);
  printRow("B  one request, 8 disks", "8", eight);
  printRow("C  two requests side by side, 4 disks each", "4+4", two);
  std::printf("(s start: to discovery, s mount: discovery, mounts and layout; for C the later request's)\n");
  const double treeRatio = eight.toTree / one.toTree;
  const double readRatio = eight.mbps / one.mbps;
  printGoal("8 disks / 1 disk, time to tree", treeRatio, treeRatio <= 2.0, "<= 2.0");
  printGoal("8 disks / 1 disk, aggregate cold MB/s", readRatio, readRatio >= 0.8, ">= 0.8");
  return 0;
}

int main(int argc, char** argv) {
  const bool verbose = argc == 2 && std::strcmp(argv[1], "-v") == 0;
  if (argc > 2 || (argc == 2 && !verbose)) {
    std::fprintf(stderr, "usage: bench_scale [-v]\n");
    return 2;
  }
  // Caught here so that every kqblkctl, image and directory made so far is
  // taken down by its guard on the way out.
  try {
    return run(verbose);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_scale: %s\n", e.what());
    return 1;
  }
}
