#include "support/request_leftovers.h"

#include <fstream>
#include <sstream>

#include "support/run_tool.h"
#include "support/test_util.h"

std::string requestLeftovers(const std::string& id, const std::string& root) {
  std::string found;
  const std::string nodes = runTool("ls /dev/kqblk");
  std::istringstream names(nodes);
  for (std::string name; names >> name;) {
    if (name.rfind(id + "-", 0) == 0) found += " device " + name;
  }
  std::ifstream mounts("/proc/self/mounts");
  std::string source, target, rest;
  while (mounts >> source >> target && std::getline(mounts, rest)) {
    if (target.rfind(root, 0) == 0 || source.find("/" + id + "-") != std::string::npos ||
        target.find("/" + id + "-") != std::string::npos) {
      found += " mount " + target;
    }
  }
  if (runTool("losetup -l -n -O BACK-FILE").find("/" + id + "-") != std::string::npos) {
    found += " loop device";
  }
  if (exists(root)) found += " root " + root;
  return found;
}
