// What the running kernel offers, and how its block devices stack.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Whether the kernel has device-mapper (built in or loaded): without it no
// device-mapper device can exist on this machine.
bool KqKernelHasDeviceMapper();

// A block device built on others: an md array or a device-mapper device.
struct KqStackedDevice {
  dev_t dev = 0;
  std::string kernelName;  // "md127", "md_kq1a2b3c4d_0", "dm-3"
  std::string dmName;      // device-mapper's name; empty for an md array
  std::string dmUuid;      // device-mapper's UUID ("CRYPT-LUKS2-...", "LVM-..."); empty for md
  bool isMd() const { return dmName.empty() && kernelName.rfind("md", 0) == 0; }
  // The node by which the library names it: /dev/<md kernel name> or /dev/mapper/<dm name>.
  std::string node() const;
};

// The device of number `dev` when it is an md array or a device-mapper
// device; false for anything else or a device that is gone.
bool KqStackedDeviceOf(dev_t dev, KqStackedDevice& out);
// The devices that `dev` (or one of its partitions) holds up directly, as
// sysfs lists them.
std::vector<KqStackedDevice> KqDirectHolders(dev_t dev);
// Every device built on `dev`, directly or through others, each once and
// each after every device built on it: the order to take them down in.
// Bounded (a stack deeper or wider than 256 is cut off).
std::vector<KqStackedDevice> KqHoldersTopFirst(dev_t dev);
// The devices `dev` is built on directly (empty for a plain disk).
std::vector<dev_t> KqSlavesOf(dev_t dev);
// Writes `value` to the sysfs attribute `attribute` ("md/sync_action") of
// the block device `dev`; false when it cannot.
bool KqWriteBlockAttribute(dev_t dev, const std::string& attribute, const std::string& value);
