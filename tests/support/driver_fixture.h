// Driver tests run as root against the real engine: they load the driver
// from the source tree, make their own stores and devices, and remove them
// again whatever happens (guards are destroyed in reverse order: recall
// server, then device, then stores).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kqblk_driver.h"
#include "support/temp_dir.h"

class KqBlkRecallStore;

// Skips the test unless it runs as root and the driver loads.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
};

// A private ("pbstore") and a recall ("rbstore") store of one disk.
class StorePair {
 public:
  explicit StorePair(int64_t size, int32_t extentSize = 4096);
  ~StorePair();
  StorePair(const StorePair&) = delete;
  StorePair& operator=(const StorePair&) = delete;

  const std::shared_ptr<KqBlkRecallStore>& privateStore() const { return m_private; }
  const std::shared_ptr<KqBlkRecallStore>& recallStore() const { return m_recall; }
  const std::string& dir() const { return m_dir.path(); }

 private:
  TempDir m_dir;
  std::shared_ptr<KqBlkRecallStore> m_private;
  std::shared_ptr<KqBlkRecallStore> m_recall;
};

// Aborts and destroys the named device at scope exit.
class DeviceGuard {
 public:
  explicit DeviceGuard(std::string name) : m_name(std::move(name)) {}
  ~DeviceGuard();
  DeviceGuard(const DeviceGuard&) = delete;
  DeviceGuard& operator=(const DeviceGuard&) = delete;

 private:
  std::string m_name;
};

// A device name of this test process.
std::string testDeviceName(const std::string& stem);

struct IoResult {
  ssize_t bytes = -1;
  int error = 0;  // errno of a failed call
  std::vector<char> data;
};
// O_DIRECT I/O on a block device (offsets and lengths multiples of 512),
// bypassing the page cache so that every access reaches the driver.
IoResult readDirect(const std::string& device, off_t offset, size_t length);
IoResult writeDirect(const std::string& device, off_t offset, const std::vector<char>& data);
// Plain reads of a file.
std::vector<char> readFile(const std::string& path, off_t offset, size_t length);

// What /dev/kqblk, the run directory, the mount table and losetup still
// show of a driver device.
std::vector<std::string> leftovers(const std::string& name);
// Every bound loop device with its backing file: a set taken before and
// after a test shows loop devices it left behind, whatever their file.
std::set<std::string> boundLoops();

// Ends the device's FUSE connection through the control file system: the
// kernel then fails every request, whatever the engine does.
void abortFuseConnection(const std::string& device);

// Runs fn on a thread of its own. When it has not returned after `seconds`
// the test fails and the device is aborted, first through the driver, then
// through the kernel: a broken driver fails the test instead of hanging it.
template <class F>
auto withinOrAbort(const std::string& device, int seconds, F fn) -> decltype(fn()) {
  auto result = std::async(std::launch::async, fn);
  if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "I/O on " << device << " did not finish within " << seconds << " s";
    KqBlkDriverUnix().abortDevice(device);
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      abortFuseConnection(device);
    }
  }
  return result.get();
}
