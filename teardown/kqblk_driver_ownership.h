// Which devices are the driver's. Teardown asks before it touches anything,
// so that nothing of the proxy's own is unmounted or removed.
#pragma once

#include <string>

// Throws KqException (code errno, logged under `function`) naming the
// driver's control directory when it is missing: the driver is not loaded.
void kqblk_requireDriverLoaded(const char* function);

// Whether "dmsetup deps" output names a driver device: any of its
// "(major, minor)" pairs is one the driver made, or is built on one.
bool kqblk_dependsOnDriverDevice(const std::string& depsOutput);
// Whether any of those devices is, or is built on, a driver device that a
// live process serves: a request still running.
bool kqblk_dependsOnLiveDriverDevice(const std::string& depsOutput);
// The same for the block device at `path` itself.
bool kqblk_onLiveDriverDevice(const std::string& path);

// Whether `path` is the directory of a mount, or the node of a mounted
// device, whose source is a driver device or built on one: the users of
// that file system are a guest's, never the proxy's.
bool kqblk_isMountOfDriverDevice(const std::string& path);
