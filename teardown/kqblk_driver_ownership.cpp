#include "kqblk_driver_ownership.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <utility>
#include <vector>

#include "kq_error.h"
#include "kq_log.h"
#include "kq_mounts.h"
#include "kqblk_driver.h"

namespace {

const char kFile[] = "kqblk_disk_utils";

// Reads the decimal number at `at` (at most nine digits) and moves past it.
bool readNumber(const std::string& text, size_t& at, unsigned& value) {
  const size_t start = at;
  value = 0;
  while (at < text.size() && at - start < 9 && std::isdigit(static_cast<unsigned char>(text[at]))) {
    value = value * 10 + static_cast<unsigned>(text[at++] - '0');
  }
  return at > start;
}

bool readText(const std::string& text, size_t& at, const char* expected) {
  const std::string want(expected);
  if (text.compare(at, want.size(), want) != 0) return false;
  at += want.size();
  return true;
}

// Every well-formed "(major, minor)" pair of "dmsetup deps" output.
std::vector<std::pair<unsigned, unsigned>> devicePairs(const std::string& depsOutput) {
  std::vector<std::pair<unsigned, unsigned>> pairs;
  for (size_t open = depsOutput.find('('); open != std::string::npos;
       open = depsOutput.find('(', open + 1)) {
    size_t at = open + 1;
    unsigned major = 0;
    unsigned minor = 0;
    if (readNumber(depsOutput, at, major) && readText(depsOutput, at, ", ") &&
        readNumber(depsOutput, at, minor) && readText(depsOutput, at, ")")) {
      pairs.push_back({major, minor});
    }
  }
  return pairs;
}

std::mutex gAdoptedMutex;
std::string gAdopted;  // guarded by gAdoptedMutex

bool underLiveDriverDevice(unsigned major, unsigned minor) {
  for (const std::string& name : KqBlkDriverUnix::devicesUnder(major, minor)) {
    if (kqblk_isLiveDevice(name)) return true;
  }
  return false;
}

}  // namespace

void kqblk_requireDriverLoaded(const char* function) {
  const char* dir = KqBlkDriverUnix::controlDirectory();
  struct stat st;
  if (::stat(dir, &st) == 0) return;
  const int code = errno;
  EvDebug::Error(function, "Failed to stat %s:%d", dir, code);
  throw KqException(function, std::string("Failed to stat ") + dir, kFile, __LINE__, code);
}

bool kqblk_dependsOnDriverDevice(const std::string& depsOutput) {
  for (const auto& pair : devicePairs(depsOutput)) {
    if (KqBlkDriverUnix::ownsBlockDevice(pair.first, pair.second) ||
        !KqBlkDriverUnix::devicesUnder(pair.first, pair.second).empty()) {
      return true;
    }
  }
  return false;
}

bool kqblk_dependsOnLiveDriverDevice(const std::string& depsOutput) {
  for (const auto& pair : devicePairs(depsOutput)) {
    if (underLiveDriverDevice(pair.first, pair.second)) return true;
  }
  return false;
}

bool kqblk_isOurMount(const KqMountEntry& entry, int fd) {
  const std::vector<dev_t> devices = KqMountBlockDevices(entry, fd);
  for (dev_t device : devices) {
    if (KqBlkDriverUnix::devicesUnder(major(device), minor(device)).empty()) return false;
  }
  return !devices.empty();
}

bool kqblk_isLiveMount(const KqMountEntry& entry, int fd) {
  for (dev_t device : KqMountBlockDevices(entry, fd)) {
    if (underLiveDriverDevice(major(device), minor(device))) return true;
  }
  return false;
}

bool kqblk_isLiveDevice(const std::string& name) {
  const pid_t server = KqBlkDriverUnix::servingProcess(name);
  if (server == 0) return false;
  std::lock_guard<std::mutex> lock(gAdoptedMutex);
  return !(server == ::getpid() && name == gAdopted);
}

kqblk_AdoptedDevice::kqblk_AdoptedDevice(const std::string& name) {
  std::lock_guard<std::mutex> lock(gAdoptedMutex);
  gAdopted = name;
}

kqblk_AdoptedDevice::~kqblk_AdoptedDevice() {
  std::lock_guard<std::mutex> lock(gAdoptedMutex);
  gAdopted.clear();
}
