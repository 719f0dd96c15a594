#include "kqblk_made_dirs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kq_inroot.h"
#include "kq_log.h"

namespace {
const char kFunc[] = "kqblk_removeMadeDirs";
}  // namespace

void kqblk_removeMadeDirs(const std::string& treeTop, const std::vector<std::string>& made) {
  if (made.empty()) return;
  std::string why;
  // The tree's top pinned once, reached without any link.
  const int top = KqOpenWithoutLinks(treeTop, why);
  if (top < 0) {
    EvDebug::Error(kFunc, "cannot open %s: %s", treeTop.c_str(), why.c_str());
    return;
  }
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    const size_t slash = it->find_last_of('/');
    const std::string parent = slash == std::string::npos ? std::string() : it->substr(0, slash);
    const std::string leaf = slash == std::string::npos ? *it : it->substr(slash + 1);
    if (leaf.empty() || leaf == "." || leaf == "..") continue;
    const int dir = KqOpenInRoot(top, parent, false, why);
    if (dir < 0 || (::unlinkat(dir, leaf.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)) {
      EvDebug::Debug(kFunc, "%s%s stays: %s", treeTop.c_str(), it->c_str(),
                     dir < 0 ? why.c_str() : std::strerror(errno));
    }
    if (dir >= 0) ::close(dir);
  }
  ::close(top);
}
