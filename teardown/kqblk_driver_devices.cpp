// The driver's whole-disk nodes, as the crash sweep walks them.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "kq_error.h"
#include "kqblk_disk_utils.h"
#include "kqblk_driver.h"

namespace {

// NAMEpN is a partition of NAME when a node NAME exists too: a disk whose
// own name holds a "p" (say "exp-1") stays a disk.
bool isPartitionOfAnother(const std::string& name, const std::set<std::string>& names) {
  for (size_t p = name.rfind('p'); p != std::string::npos && p > 0; p = name.rfind('p', p - 1)) {
    const std::string digits = name.substr(p + 1);
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
        names.count(name.substr(0, p))) {
      return true;
    }
  }
  return false;
}

}  // namespace

void KqBlkDiskUtils::getKqBlkDevs(std::list<std::string>& devices) {
  devices.clear();
  const std::string dir = KqBlkDriverUnix::nodeDirectory();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    throw KqException("KqBlkDiskUtils::getKqBlkDevs", "Failed to open directory " + dir + "/",
                      "kqblk_disk_utils", __LINE__, errno);
  }
  std::set<std::string> blockNodes;
  std::list<std::string> inOrder;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    struct stat st;
    if (name == "." || name == ".." || ::lstat((dir + "/" + name).c_str(), &st) != 0 ||
        !S_ISBLK(st.st_mode)) {
      continue;
    }
    blockNodes.insert(name);
    inOrder.push_back(name);
  }
  ::closedir(d);
  for (const std::string& name : inOrder) {
    if (isPartitionOfAnother(name, blockNodes)) continue;
    const std::string path = dir + "/" + name;
    std::printf("Adding device %s\n", path.c_str());
    devices.push_back(path);
  }
}
