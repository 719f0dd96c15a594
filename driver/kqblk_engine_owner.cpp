#include "kqblk_engine_owner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "kqblk_engine_paths.h"

namespace {

// Field 22 of /proc/PID/stat, in clock ticks since boot: with the process
// id it names one process for good. Empty when there is no such process.
std::string startTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::string();
  const size_t end = line.rfind(')');  // the command name may hold anything
  if (end == std::string::npos) return std::string();
  std::istringstream fields(line.substr(end + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return std::string();
}

struct Record {
  pid_t pid = 0;
  std::string start;
  std::vector<std::string> stores;
};

bool read(const std::string& name, Record& record) {
  std::ifstream in(KqBlkPaths::ownerFile(name));
  std::string key;
  while (in >> key) {
    in.get();  // the blank after the key
    std::string value;
    std::getline(in, value);
    if (key == "pid") {
      record.pid = static_cast<pid_t>(std::strtol(value.c_str(), nullptr, 10));
    } else if (key == "start") {
      record.start = value;
    } else if (key == "store") {
      record.stores.push_back(value);
    }
  }
  return record.pid > 0 && !record.start.empty();
}

}  // namespace

namespace KqBlkOwner {

CUxError record(const std::string& name, const std::vector<std::string>& storePaths) {
  if (::mkdir(KqBlkPaths::kOwnerDir, 0700) != 0 && errno != EEXIST) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot make directory %s",
                                   KqBlkPaths::kOwnerDir);
  }
  std::string text = "pid " + std::to_string(::getpid()) + "\nstart " + startTime(::getpid()) + "\n";
  for (const std::string& path : storePaths) {
    if (path.find('\n') == std::string::npos) text += "store " + path + "\n";
  }
  // Made before the device, which does not exist yet: a record left by an
  // earlier device of the name is stale.
  const std::string file = KqBlkPaths::ownerFile(name);
  ::unlink(file.c_str());
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot write %s", file.c_str());
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int saved = errno;
  ::close(fd);
  if (!written) {
    ::unlink(file.c_str());
    return FXErrorUtil::ErrorErrNo(FX_HERE, saved ? saved : EIO, "cannot write %s", file.c_str());
  }
  return CUxError();
}

void forget(const std::string& name) { ::unlink(KqBlkPaths::ownerFile(name).c_str()); }

pid_t liveServer(const std::string& name) {
  Record r;
  if (!read(name, r)) return 0;
  return startTime(r.pid) == r.start ? r.pid : 0;
}

std::vector<std::string> storePaths(const std::string& name) {
  Record r;
  read(name, r);
  return r.stores;
}

}  // namespace KqBlkOwner
