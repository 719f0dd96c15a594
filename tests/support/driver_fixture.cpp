#include "support/driver_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "kq_process.h"
#include "kqblk_engine_blockdev.h"
#include "kqblk_engine_fuse.h"
#include "kqblk_engine_paths.h"
#include "kqblk_store.h"

namespace {

// One O_DIRECT read or write through a page-aligned buffer.
IoResult directIo(const std::string& device, off_t offset, size_t length, const char* in) {
  IoResult result;
  std::unique_ptr<char, decltype(&std::free)> buffer(
      static_cast<char*>(std::aligned_alloc(4096, (length / 4096 + 1) * 4096)), &std::free);
  if (in) std::memcpy(buffer.get(), in, length);
  const int fd = ::open(device.c_str(), (in ? O_WRONLY : O_RDONLY) | O_DIRECT | O_CLOEXEC);
  if (fd < 0) {
    result.error = errno;
    return result;
  }
  result.bytes = in ? ::pwrite(fd, buffer.get(), length, offset) : ::pread(fd, buffer.get(), length, offset);
  result.error = result.bytes < 0 ? errno : 0;
  ::close(fd);
  if (!in && result.bytes > 0) result.data.assign(buffer.get(), buffer.get() + result.bytes);
  return result;
}

}  // namespace

void DriverTest::SetUp() {
  if (geteuid() != 0) GTEST_SKIP() << "driver tests need root";
  std::string out;
  std::string err;
  const int rc = KqProcess::system(std::string(KQBLK_UNIX_DRV) + " -a kqblk", &out, &err, 60, false);
  if (rc != 0) GTEST_SKIP() << "the kqblk driver cannot be loaded here: " << err;
}

StorePair::StorePair(int64_t size, int32_t extentSize) {
  for (const auto& [name, store] : {std::pair{"pbstore", &m_private}, std::pair{"rbstore", &m_recall}}) {
    const std::string path = m_dir / name;
    CUxError err;
    if (::mkdir(path.c_str(), 0755) == 0) {
      store->reset(KqBlkRecallStore::create(path, "test-disk", size, extentSize, err));
    }
    if (err.IsError() || !*store) throw std::runtime_error("cannot create store " + path + ": " + err.AsString());
  }
}

StorePair::~StorePair() = default;

DeviceGuard::~DeviceGuard() {
  KqBlkDriverUnix driver;
  driver.abortDevice(m_name);
  for (int attempt = 0; attempt < 10; ++attempt) {
    CUxError err = driver.destroyDevice(m_name);
    if (!err.IsError() || FXErrorUtil::GetErrNo(err) == ENOENT) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (attempt == 9) {
      ADD_FAILURE() << "cannot destroy device " << m_name << ": " << err.AsString();
    }
  }
}

void abortFuseConnection(const std::string& device) {
  dev_t fsDev = 0;
  if (KqBlkBlockDev::mountedOn(KqBlkPaths::mountDir(device), fsDev)) {
    kqblk_abortFuseConnection(fsDev);
  }
}

std::string testDeviceName(const std::string& stem) {
  return "kqtest-" + stem + "-" + std::to_string(::getpid());
}

IoResult readDirect(const std::string& device, off_t offset, size_t length) {
  return directIo(device, offset, length, nullptr);
}

IoResult writeDirect(const std::string& device, off_t offset, const std::vector<char>& data) {
  return directIo(device, offset, data.size(), data.data());
}

std::vector<char> readFile(const std::string& path, off_t offset, size_t length) {
  std::vector<char> data(length);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  const ssize_t n = ::pread(fd, data.data(), length, offset);
  ::close(fd);
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return data;
}

std::vector<std::string> leftovers(const std::string& name) {
  std::vector<std::string> found;
  struct stat st;
  if (::lstat(KqBlkPaths::node(name).c_str(), &st) == 0) found.push_back(KqBlkPaths::node(name));
  for (int n = 1; n <= 8; ++n) {
    const std::string part = KqBlkPaths::partitionNode(name, n);
    if (::lstat(part.c_str(), &st) == 0) found.push_back(part);
  }
  const std::string dir = KqBlkPaths::mountDir(name);
  if (::lstat(dir.c_str(), &st) == 0) found.push_back(dir);
  std::ifstream mounts("/proc/mounts");
  std::string line;
  while (std::getline(mounts, line)) {
    if (line.find(" " + dir + " ") != std::string::npos) found.push_back("mount: " + line);
  }
  std::string out;
  std::string err;
  KqProcess::system("losetup -l -n -O NAME,BACK-FILE", &out, &err, 30, false);
  std::istringstream lines(out);
  while (std::getline(lines, line)) {
    if (line.find(dir) != std::string::npos) found.push_back("losetup: " + line);
  }
  return found;
}

std::set<std::string> boundLoops() {
  std::set<std::string> bound;
  DIR* dir = ::opendir("/sys/block");
  if (dir == nullptr) return bound;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, 4, "loop") != 0) continue;
    const std::string backing = KqBlkBlockDev::readSysfs("/sys/block/" + name + "/loop/backing_file");
    if (!backing.empty()) bound.insert(name + " " + backing);
  }
  ::closedir(dir);
  return bound;
}
