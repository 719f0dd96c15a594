#include "kq_kernel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

const size_t kMaxStack = 256;

std::string sysDev(dev_t dev) {
  char path[64];
  std::snprintf(path, sizeof path, "/sys/dev/block/%u:%u", major(dev), minor(dev));
  return path;
}

std::string readLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool parseDev(const std::string& text, dev_t& dev) {
  unsigned maj = 0, min = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u:%u%c", &maj, &min, &tail) != 2) return false;
  dev = makedev(maj, min);
  return true;
}

// The entries of a sysfs directory, without "." and "..".
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The device numbers named by `dir`'s entries (/sys/class/block/NAME/dev).
std::vector<dev_t> devicesNamedIn(const std::string& dir) {
  std::vector<dev_t> devices;
  for (const std::string& name : entries(dir)) {
    dev_t dev = 0;
    if (parseDev(readLine("/sys/class/block/" + name + "/dev"), dev)) devices.push_back(dev);
  }
  return devices;
}

void addTopFirst(dev_t dev, std::vector<KqStackedDevice>& order, std::vector<dev_t>& seen) {
  for (const KqStackedDevice& holder : KqDirectHolders(dev)) {
    if (seen.size() >= kMaxStack || std::find(seen.begin(), seen.end(), holder.dev) != seen.end()) continue;
    seen.push_back(holder.dev);
    addTopFirst(holder.dev, order, seen);
    order.push_back(holder);
  }
}

}  // namespace

bool KqKernelHasDeviceMapper() {
  // Every misc device the kernel has, "MINOR NAME" a line.
  std::ifstream misc("/proc/misc");
  std::string minor, name;
  while (misc >> minor >> name) {
    if (name == "device-mapper") return true;
  }
  return false;
}

std::string KqStackedDevice::node() const {
  return dmName.empty() ? "/dev/" + kernelName : "/dev/mapper/" + dmName;
}

bool KqStackedDeviceOf(dev_t dev, KqStackedDevice& out) {
  const std::string sys = sysDev(dev);
  char target[512];
  const ssize_t n = ::readlink(sys.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  const std::string link(target);
  out = KqStackedDevice();
  out.dev = dev;
  out.kernelName = link.substr(link.rfind('/') + 1);
  if (::access((sys + "/dm").c_str(), F_OK) == 0) {
    out.dmName = readLine(sys + "/dm/name");
    out.dmUuid = readLine(sys + "/dm/uuid");
    return !out.dmName.empty();
  }
  return ::access((sys + "/md").c_str(), F_OK) == 0;
}

std::vector<KqStackedDevice> KqDirectHolders(dev_t dev) {
  const std::string sys = sysDev(dev);
  std::vector<dev_t> held = devicesNamedIn(sys + "/holders");
  // A whole disk's partitions are held on their own.
  for (const std::string& name : entries(sys)) {
    dev_t part = 0;
    if (::access((sys + "/" + name + "/partition").c_str(), F_OK) == 0 &&
        parseDev(readLine(sys + "/" + name + "/dev"), part)) {
      for (dev_t holder : devicesNamedIn(sys + "/" + name + "/holders")) held.push_back(holder);
    }
  }
  std::vector<KqStackedDevice> holders;
  for (dev_t holder : held) {
    KqStackedDevice device;
    if (KqStackedDeviceOf(holder, device)) holders.push_back(device);
  }
  return holders;
}

std::vector<KqStackedDevice> KqHoldersTopFirst(dev_t dev) {
  std::vector<KqStackedDevice> order;
  std::vector<dev_t> seen;
  addTopFirst(dev, order, seen);
  return order;
}

std::vector<dev_t> KqSlavesOf(dev_t dev) { return devicesNamedIn(sysDev(dev) + "/slaves"); }

bool KqWriteBlockAttribute(dev_t dev, const std::string& attribute, const std::string& value) {
  const int fd = ::open((sysDev(dev) + "/" + attribute).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
  return ::close(fd) == 0 && written;
}
