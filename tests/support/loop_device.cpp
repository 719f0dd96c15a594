#include "support/loop_device.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/run_tool.h"
#include "support/test_util.h"

namespace {

std::string readLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

LoopDevice::LoopDevice(const std::string& image, const LoopOptions& options) {
  char* real = realpath(image.c_str(), nullptr);
  if (!real) throw std::runtime_error("no image at " + image);
  m_image = real;
  free(real);

  std::string command = "losetup --show";
  command += options.device.empty() ? " --find" : " " + shellQuote(options.device);
  if (options.offset) command += " --offset " + std::to_string(options.offset);
  if (options.sizeLimit) command += " --sizelimit " + std::to_string(options.sizeLimit);
  if (options.readOnly) command += " --read-only";
  std::string out = runTool(command + " " + shellQuote(m_image));
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  if (out.rfind("/dev/loop", 0) != 0) {
    throw std::runtime_error("losetup printed no loop device: " + out);
  }
  m_path = out;
}

LoopDevice::~LoopDevice() {
  try {
    detach();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "LoopDevice: cannot release %s: %s\n", m_path.c_str(), e.what());
  }
}

std::string LoopDevice::name() const { return m_path.substr(m_path.rfind('/') + 1); }

std::string LoopDevice::partitionPath(int number) const {
  return m_path + "p" + std::to_string(number);
}

std::vector<int> LoopDevice::partitions() const {
  std::vector<int> numbers;
  const std::string sysDir = "/sys/block/" + name();
  DIR* dir = opendir(sysDir.c_str());
  if (!dir) return numbers;
  const std::string prefix = name() + "p";
  while (dirent* entry = readdir(dir)) {
    const std::string child = entry->d_name;
    if (child.rfind(prefix, 0) != 0) continue;
    const std::string number = readLine(sysDir + "/" + child + "/partition");
    if (!number.empty()) numbers.push_back(std::atoi(number.c_str()));
  }
  closedir(dir);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

std::vector<int> LoopDevice::addPartitions() {
  runTool("partx -a " + shellQuote(m_path));
  const std::vector<int> numbers = partitions();
  for (int number : numbers) {
    const std::string node = partitionPath(number);
    // devtmpfs makes the node shortly after the kernel registers the
    // partition; without it, make the node from sysfs ourselves.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!exists(node) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (exists(node)) continue;
    const std::string dev =
        readLine("/sys/block/" + name() + "/" + name() + "p" + std::to_string(number) + "/dev");
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(dev.c_str(), "%u:%u", &major, &minor) != 2 ||
        mknod(node.c_str(), S_IFBLK | 0600, makedev(major, minor)) != 0) {
      throw std::runtime_error("no node for partition " + node);
    }
    m_madeNodes.push_back(node);
  }
  return numbers;
}

bool LoopDevice::stillOurs() const {
  if (m_path.empty()) return false;
  // The kernel marks an image unlinked while attached with " (deleted)".
  const std::string backing = readLine("/sys/block/" + name() + "/loop/backing_file");
  return backing == m_image || backing == m_image + " (deleted)";
}

void LoopDevice::detach() {
  if (m_path.empty()) return;
  if (stillOurs()) {
    if (!partitions().empty()) runTool("partx -d " + shellQuote(m_path));
    runTool("losetup -d " + shellQuote(m_path));
  }
  for (const std::string& node : m_madeNodes) unlink(node.c_str());
  m_madeNodes.clear();
  m_path.clear();
}
