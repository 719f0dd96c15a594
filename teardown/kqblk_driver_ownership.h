// Which devices are the driver's. Teardown asks before it touches anything,
// so that nothing of the proxy's own is unmounted or removed.
#pragma once

#include <string>

#include "kq_mounts.h"

// Throws KqException (code errno, logged under `function`) naming the
// driver's control directory when it is missing: the driver is not loaded.
void kqblk_requireDriverLoaded(const char* function);

// Whether "dmsetup deps" output names a driver device: any of its
// "(major, minor)" pairs is one the driver made, or is built on one.
bool kqblk_dependsOnDriverDevice(const std::string& depsOutput);
// Whether any of those devices is, or is built on, a driver device that a
// live process serves: a request still running.
bool kqblk_dependsOnLiveDriverDevice(const std::string& depsOutput);

// Whether the mount (pinned at `fd`, or -1: see KqMountBlockDevices) holds
// a file system that lives on driver devices only, directly or through
// device-mapper: decided by the kernel's device numbers, never by the
// source text, which whoever mounted it chose.
bool kqblk_isOurMount(const KqMountEntry& entry, int fd);
// Whether one of those driver devices is served by a live process.
bool kqblk_isLiveMount(const KqMountEntry& entry, int fd);

// Whether the driver device `name` is served by a live process, other than
// by this process for the device adopted below.
bool kqblk_isLiveDevice(const std::string& name);

// While it lives, the driver device `name`, served by this very process,
// counts as left behind: the caller sweeping it owns it. One at a time.
class kqblk_AdoptedDevice {
 public:
  explicit kqblk_AdoptedDevice(const std::string& name);
  ~kqblk_AdoptedDevice();
  kqblk_AdoptedDevice(const kqblk_AdoptedDevice&) = delete;
  kqblk_AdoptedDevice& operator=(const kqblk_AdoptedDevice&) = delete;
};
