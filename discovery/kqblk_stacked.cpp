#include "kqblk_stacked.h"

#include <sys/stat.h>

#include "kq_error.h"
#include "kq_kernel.h"
#include "kqblk_blkid.h"

std::string kqblk_deviceTag(const std::string& device, const char* name) {
  try {
    std::string value;
    return kqblk_blkid(device).getTag(name, value) ? value : std::string();
  } catch (const CUxError&) {
    return std::string();
  }
}

dev_t kqblk_deviceNumber(const std::string& device) {
  struct stat st;
  if (::stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
  return st.st_rdev;
}

std::string kqblk_holderNode(const std::string& device, bool md) {
  const dev_t dev = kqblk_deviceNumber(device);
  if (dev == 0) return std::string();
  for (const KqStackedDevice& holder : KqDirectHolders(dev)) {
    if (holder.isMd() == md) return holder.node();
  }
  return std::string();
}
