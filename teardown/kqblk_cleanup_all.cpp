// The crash sweep: everything built on a driver device that a process left
// behind, taken down in the order that lets each layer go.

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "kq_fs.h"
#include "kq_kernel.h"
#include "kq_log.h"
#include "kqblk_disk.h"
#include "kqblk_disk_utils.h"
#include "kqblk_driver.h"
#include "kqblk_driver_ownership.h"
#include "kqblk_lvm_config.h"
#include "kqblk_mountpoint_cleanup.h"

namespace {

const char kFunc[] = "static void KqBlkDiskUtils::cleanupAll(const string&, std::string)";

// The device's name, also when its node was given.
std::string nameOf(const std::string& device) {
  const std::string nodes = std::string(KqBlkDriverUnix::nodeDirectory()) + "/";
  return device.compare(0, nodes.size(), nodes) == 0 ? device.substr(nodes.size()) : device;
}

// The nodes of the driver devices no live process serves (the adopted one aside).
std::list<std::string> goneDevices() {
  std::list<std::string> devices;
  KqBlkDiskUtils::getKqBlkDevs(devices);
  devices.remove_if([](const std::string& node) { return kqblk_isLiveDevice(nameOf(node)); });
  return devices;
}

// The sweep's own LVM configuration: in cfgPath when the caller set one,
// else in a private directory of its own (never "/", where an empty
// cfgPath would put it). Released and removed however the sweep ends.
class SweepLvmConfig {
 public:
  SweepLvmConfig() {
    m_dir = KqBlkDiskUtils::cfgPath;
    if (m_dir.empty()) {
      char made[] = "/run/kqblk-sweep-XXXXXX";
      if (::mkdtemp(made) == nullptr) {
        throw KqException(kFunc, "cannot make a directory for the LVM configuration", "kqblk_disk_utils",
                          __LINE__, errno);
      }
      m_dir = m_made = made;
    }
  }
  ~SweepLvmConfig() {
    delete KqBlkDiskUtils::ptrDefaultLVMConfig;
    KqBlkDiskUtils::ptrDefaultLVMConfig = nullptr;
    if (!m_made.empty()) CUxDirectory::Remove(m_made, true, false);
  }
  SweepLvmConfig(const SweepLvmConfig&) = delete;
  SweepLvmConfig& operator=(const SweepLvmConfig&) = delete;
  const std::string& dir() const { return m_dir; }

 private:
  std::string m_dir, m_made;
};

}  // namespace

void KqBlkDiskUtils::cleanupAll(const std::string& mountRoot, std::string device) {
  cleanupAll(mountRoot, device, false);
}

void KqBlkDiskUtils::cleanupAll(const std::string& mountRoot, std::string device,
                                bool includeLive) {
  const std::string name = nameOf(device);
  // A device this process serves is its caller's to sweep; another live
  // process's belongs to a request still running there.
  const kqblk_AdoptedDevice adopted(name);
  if (!includeLive) {
    const pid_t server = KqBlkDriverUnix::servingProcess(name);
    if (server != 0 && server != ::getpid()) {
      EvDebug::Debug(kFunc, "Device [%s] is served by the live process %d: left alone",
                     device.c_str(), static_cast<int>(server));
      return;
    }
  }
  EvDebug::DebugLvl(kFunc, 2, "Attempting kqblk abort for [%s]", device.c_str());
  KqBlkDisk::cleanupKqBlkDev("", name.c_str(), true);

  std::list<kqblk_mountpoint> mounts;
  kqblk_findMountPoints(mounts, includeLive, kFunc);
  cleanupMountPoints(mountRoot, mounts);

  const SweepLvmConfig lvmConfig;
  bool anyGroupToRelease = true;
  if (includeLive) {
    initDefaultLVMConfig(lvmConfig.dir().c_str());
  } else {
    // LVM sees only the devices the sweep may change; an empty list would
    // mean all of them.
    const std::list<std::string> gone = goneDevices();
    anyGroupToRelease = !gone.empty();
    ptrDefaultLVMConfig = new LVMConfig(lvmConfig.dir(), gone, std::list<std::string>());
    ptrDefaultLVMConfig->createConfig(false);
  }
  // A kernel without device-mapper has no such devices to remove, and its
  // dmsetup cannot even list them.
  if (KqKernelHasDeviceMapper()) cleanLVs(includeLive);
  if (anyGroupToRelease) {
    std::list<kqblk_vg> groups;
    getKqBlkVGs(groups, ptrDefaultLVMConfig);
    cleanupVGs(groups, ptrDefaultLVMConfig, false);
  }

  // Arrays (and anything cleanLVs could not remove) would keep the device busy.
  takeDownStackedDevices(name);

  EvDebug::DebugLvl(kFunc, 2, "Attempting kqblk destroy for [%s]", device.c_str());
  KqBlkDisk::cleanupKqBlkDev("", name.c_str(), false);
}
