// Which devices are the driver's. Teardown asks before it touches anything,
// so that nothing of the proxy's own is unmounted or removed.
#pragma once

#include <string>

// Throws KqException (code errno, logged under `function`) naming the
// driver's control directory when it is missing: the driver is not loaded.
void kqblk_requireDriverLoaded(const char* function);

// Whether "dmsetup deps" output names a driver device: any of its
// "(major, minor)" pairs is one the driver made.
bool kqblk_dependsOnDriverDevice(const std::string& depsOutput);
