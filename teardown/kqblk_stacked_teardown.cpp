// md arrays and crypt mappings built on a driver device taken down, top
// first, before the device itself goes. What is built on a device of the
// proxy's own, even beside ours, is left alone.
#include <sys/sysmacros.h>

#include "kq_kernel.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_disk_utils.h"
#include "kqblk_driver.h"
#include "kqblk_lvm_config.h"
#include "kqblk_stacked.h"

namespace {

const char kFunc[] = "KqBlkDiskUtils::takeDownStackedDevices";

// Whether every device below `dev` is, in the end, a driver device.
bool builtOnDriverOnly(dev_t dev, int depth) {
  const std::vector<dev_t> slaves = KqSlavesOf(dev);
  if (slaves.empty() || depth > 16) return false;
  for (dev_t slave : slaves) {
    if (!KqBlkDriverUnix::ownsBlockDevice(major(slave), minor(slave)) && !builtOnDriverOnly(slave, depth + 1)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool KqBlkDiskUtils::takeDownStackedDevices(const std::string& device) {
  const std::string node =
      device.find('/') == std::string::npos ? std::string(KqBlkDriverUnix::nodeDirectory()) + "/" + device : device;
  const dev_t dev = kqblk_deviceNumber(node);
  if (dev == 0 || !KqBlkDriverUnix::ownsBlockDevice(major(dev), minor(dev))) return true;
  bool clean = true;
  for (const KqStackedDevice& stacked : KqHoldersTopFirst(dev)) {
    if (!builtOnDriverOnly(stacked.dev, 0)) {
      EvDebug::Error(kFunc, "%s is built on devices not of the driver: left alone", stacked.node().c_str());
      clean = false;
      continue;
    }
    const std::string command = stacked.isMd() ? "mdadm --stop " + KqShellQuote(stacked.node())
                                               : "dmsetup remove " + KqShellQuote(stacked.dmName);
    std::string out, err;
    if (KqProcess::system(command, &out, &err, kqblk_systemCmdTimeout(), true) != 0) {
      EvDebug::Error(kFunc, "%s failed: %s %s", command.c_str(), err.c_str(), out.c_str());
      clean = false;
    }
  }
  return clean;
}
