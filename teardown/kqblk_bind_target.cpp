#include "kqblk_bind_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kq_inroot.h"
#include "kq_log.h"

namespace {

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int openBindPath(const kqblk_mountpoint& record, std::string& why) {
  if (record.guestPath.empty() || !endsWith(record.bindPath, record.guestPath)) {
    return KqOpenWithoutLinks(record.bindPath, why);
  }
  const std::string rootDir =
      record.bindPath.substr(0, record.bindPath.size() - record.guestPath.size());
  const int root = ::open(rootDir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (root < 0) {
    why = "cannot open the guest root " + rootDir + ": " + std::strerror(errno);
    return -1;
  }
  const int fd = KqOpenInRoot(root, record.guestPath, false, why);
  ::close(root);
  return fd;
}

}  // namespace

int kqblk_bindTarget(const kqblk_mountpoint& record, const char* function) {
  if (record.bindPath.empty()) return -1;
  std::string why;
  const int fd = openBindPath(record, why);
  if (fd < 0) {
    EvDebug::Debug(function, "Not unmounting bind path %s: %s", record.bindPath.c_str(),
                   why.c_str());
  }
  return fd;
}
