#include "kqblk_engine_paths.h"

#include "kqblk_engine_fuse.h"

namespace KqBlkPaths {

const char* const kControlDir = "/run/kqblk";
const char* const kDeviceRunDir = "/run/kqblk/dev";
const char* const kNodeDir = "/dev/kqblk";
const char* const kFuseControlDir = "/sys/fs/fuse/connections";
const char* const kOwnerDir = "/run/kqblk/owner";

bool validName(const std::string& name, std::string& why) {
  if (name.empty()) {
    why = "the device name is empty";
    return false;
  }
  if (name.size() > kMaxNameLength) {
    why = "the device name is longer than " + std::to_string(kMaxNameLength) + " bytes";
    return false;
  }
  if (name == "." || name == "..") {
    why = "the device name may not be \".\" or \"..\"";
    return false;
  }
  for (unsigned char c : name) {
    if (c == '/') {
      why = "the device name may not contain \"/\"";
      return false;
    }
    if (c < 0x20 || c == 0x7f) {
      why = "the device name may not contain control characters";
      return false;
    }
  }
  return true;
}

std::string mountDir(const std::string& name) { return std::string(kDeviceRunDir) + "/" + name; }

std::string backingFile(const std::string& name) {
  return mountDir(name) + "/" + KqBlkFuseServer::kFileName;
}

std::string node(const std::string& name) { return std::string(kNodeDir) + "/" + name; }

std::string partitionNode(const std::string& name, int number) {
  return node(name) + "p" + std::to_string(number);
}

std::string ownerFile(const std::string& name) { return std::string(kOwnerDir) + "/" + name; }

bool nameOfBackingFile(const std::string& path, std::string& name) {
  const std::string prefix = std::string(kDeviceRunDir) + "/";
  const std::string suffix = std::string("/") + KqBlkFuseServer::kFileName;
  if (path.size() <= prefix.size() + suffix.size()) return false;
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  if (path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  const std::string candidate =
      path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
  std::string why;
  if (!validName(candidate, why)) return false;
  name = candidate;
  return true;
}

}  // namespace KqBlkPaths
