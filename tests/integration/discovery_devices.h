// Device fixtures of the discovery tests: a driver-style node under
// /dev/kqblk for a test's loop device, a mount, and forgetting btrfs
// registrations of a test's devices. Each removes only what it made.
// Also a file's whole text.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "kq_process.h"
#include "support/run_tool.h"
#include "support/test_util.h"

// /dev/kqblk/kqtest-PID-TAG (or /dev/kqblk/NAME when a name is given) on
// the block device `device`, as the driver makes its nodes. /dev/kqblk is
// made when missing and removed again only then, and only when empty.
class KqblkTestNode {
 public:
  KqblkTestNode(const std::string& tag, const std::string& device,
                const std::string& name = std::string()) {
    if (mkdir(kDir, 0755) == 0) {
      m_madeDir = true;
    } else if (errno != EEXIST) {
      throw std::runtime_error(std::string("cannot make /dev/kqblk: ") + std::strerror(errno));
    }
    struct stat st;
    if (stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) {
      throw std::runtime_error("not a block device: " + device);
    }
    m_name = name.empty() ? "kqtest-" + std::to_string(getpid()) + "-" + tag : name;
    m_path = std::string(kDir) + "/" + m_name;
    if (mknod(m_path.c_str(), S_IFBLK | 0600, st.st_rdev) != 0) {
      const std::string why = std::strerror(errno);
      m_path.clear();
      throw std::runtime_error("cannot make node for " + device + ": " + why);
    }
  }
  ~KqblkTestNode() {
    if (!m_path.empty()) unlink(m_path.c_str());
    if (m_madeDir) rmdir(kDir);  // fails, harmlessly, when someone else's node is in it
  }
  KqblkTestNode(const KqblkTestNode&) = delete;
  KqblkTestNode& operator=(const KqblkTestNode&) = delete;

  const std::string& path() const { return m_path; }
  const std::string& name() const { return m_name; }

 private:
  static constexpr const char* kDir = "/dev/kqblk";
  bool m_madeDir = false;
  std::string m_name;
  std::string m_path;
};

// On destruction, drops the kernel's btrfs registrations of the test's
// devices, so no stale entry names a loop device after it is detached.
class BtrfsForget {
 public:
  explicit BtrfsForget(std::vector<std::string> devices) : m_devices(std::move(devices)) {}
  ~BtrfsForget() {
    for (const std::string& device : m_devices) {
      std::string out;
      std::string err;
      KqProcess::system("btrfs device scan --forget " + shellQuote(device), &out, &err, 60, false);
    }
  }
  BtrfsForget(const BtrfsForget&) = delete;
  BtrfsForget& operator=(const BtrfsForget&) = delete;

 private:
  std::vector<std::string> m_devices;
};

// A tag of one block-id value of a device, "" when absent.
inline std::string blkidValue(const std::string& device, const std::string& tag) {
  std::string out;
  std::string err;
  KqProcess::system("blkid -p -o value -s " + tag + " " + shellQuote(device), &out, &err, 60,
                    false);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}
