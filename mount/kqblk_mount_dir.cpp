#include <algorithm>

#include "kqblk_mount_utils.h"

std::string kqblk_mountDir(const std::string& device, const std::string& vgPrefix, int number) {
  const size_t dev = device.find("/dev/");
  const std::string name = dev == std::string::npos ? device : device.substr(dev + 5);
  std::string result = name;

  const size_t prefix = name.find(vgPrefix);
  if (prefix != std::string::npos) {
    const size_t start = prefix + vgPrefix.size();
    const size_t slash = name.find('/', start);
    if (slash != std::string::npos) {
      result = name.substr(start, slash - start) + "-" + name.substr(slash + 1);
    }
  } else if (name.find("kqblk") != std::string::npos) {
    result = "MountDir-" + std::to_string(number);
  }
  std::replace(result.begin(), result.end(), '/', '-');
  return result;
}
