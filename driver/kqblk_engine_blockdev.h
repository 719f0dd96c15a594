// The kernel side of a driver device: its loop device, the partitions
// registered on it, device nodes, and what sysfs and the mount table say
// about them. Everything is found by device number, never by kernel name
// alone, so that a loop device the driver did not make is never touched.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "kq_error.h"

namespace KqBlkBlockDev {

struct Loop {
  int index = -1;  // loopN
  dev_t dev = 0;
  // The file the loop device held when found or attached. A detached loop
  // device is freed at its last close and may then serve another program:
  // nothing is done to it once it holds anything else.
  std::string backing;
  std::string kernelName() const { return "loop" + std::to_string(index); }
};

struct Partition {
  int number = 0;
  dev_t dev = 0;
};

// Attaches a free loop device to the open file `backingFd` (no partition
// scan), with `node` made as its device node (mode 0600).
CUxError attachLoop(int backingFd, const std::string& node, const std::string& label, Loop& loop);
// Detaches the loop device and waits up to `waitMs` until the kernel has let
// go of its file; EBUSY when someone still has it open. Success without a
// step when it no longer holds its file. deletePartition likewise.
CUxError detachLoop(const Loop& loop, const std::string& node, int waitMs);
// The loop device's backing file as the kernel names it; "" when unbound.
std::string backingFile(const Loop& loop);
// Whether the loop device still holds the file it held when found or attached.
bool stillHolds(const Loop& loop);
// The loop device whose backing file is `path`.
bool findLoopByBackingFile(const std::string& path, Loop& loop);

std::vector<Partition> partitions(const Loop& loop);
// Offsets and lengths in bytes.
CUxError addPartition(const Loop& loop, const std::string& node, int number, long long start,
                      long long length);
CUxError deletePartition(const Loop& loop, const std::string& node, int number);
// Waits until the kernel shows the partition's device number.
bool waitPartition(const Loop& loop, int number, std::chrono::steady_clock::time_point deadline,
                   dev_t& dev);

// Opens the block device `dev` through `preferred` when that is its node,
// else through a temporary node in the control directory. -errno on failure.
int openDevice(dev_t dev, int flags, const std::string& preferred);
// mknod of a block node, mode 0600; EEXIST when the path exists.
CUxError makeNode(const std::string& path, dev_t dev);
// Removes `path` when it is a block node of `dev`, or of a device that no
// longer exists. True when it is gone.
bool removeNode(const std::string& path, dev_t dev);

// Why one of the devices cannot go away: mounted (mount table), held by
// another block device (device-mapper) or opened exclusively. Empty: free.
std::string busyReason(const std::vector<dev_t>& devices, const std::string& node);
// The device number of the file system mounted exactly on `dir`.
bool mountedOn(const std::string& dir, dev_t& fsDev);

// True for the loop devices (and their partitions) whose backing file is a
// driver device's file; `name` is then that device's name.
bool ownedByDriver(unsigned major, unsigned minor, std::string* name = nullptr);
// The names of the driver devices that (major, minor) is, or is built on
// through other block devices (device-mapper), each once.
std::vector<std::string> driverDevicesUnder(unsigned major, unsigned minor);

std::string readSysfs(const std::string& path);
bool parseDevNumber(const std::string& text, dev_t& dev);

}  // namespace KqBlkBlockDev
