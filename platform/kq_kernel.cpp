#include "kq_kernel.h"

#include <fstream>
#include <string>

bool KqKernelHasDeviceMapper() {
  // Every misc device the kernel has, "MINOR NAME" a line.
  std::ifstream misc("/proc/misc");
  std::string minor, name;
  while (misc >> minor >> name) {
    if (name == "device-mapper") return true;
  }
  return false;
}
