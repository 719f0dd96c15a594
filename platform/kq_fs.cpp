#include "kq_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

struct KQFindState {
  DIR* dir = nullptr;
  ~KQFindState() {
    if (dir) closedir(dir);
  }
};

namespace CUxDirectory {

CUxError Create(const std::string& path, bool recursive) {
  if (path.empty()) return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "empty directory path");
  if (recursive) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
      const std::string parent = path.substr(0, pos);
      if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
        return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "mkdir %s failed", parent.c_str());
      }
    }
  }
  if (mkdir(path.c_str(), 0755) != 0) {
    const int err = errno;
    struct stat st;
    if (err == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return CUxError();
    return FXErrorUtil::ErrorErrNo(FX_HERE, err, "mkdir %s failed", path.c_str());
  }
  return CUxError();
}

namespace {

// Removes what the directory open at `fd` (on device `dev`) holds; the
// first errno that stopped an entry, or 0. A directory on another device is
// a mount point and stays, as does everything below it. Only directories
// are compared: on overlayfs a file reports the device of the layer below.
int removeContents(int fd, dev_t dev, int depth) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    close(fd);
    return err;
  }
  int first = 0;
  while (struct dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    int err = 0;
    if (S_ISDIR(st.st_mode)) {
      const int below = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (st.st_dev != dev || depth > 256) {
        err = st.st_dev != dev ? ENOTEMPTY : ELOOP;
        if (below >= 0) close(below);
      } else if (below < 0) {
        err = errno;
      } else if ((err = removeContents(below, dev, depth + 1)) == 0 &&
                 unlinkat(dirfd(dir), name.c_str(), AT_REMOVEDIR) != 0) {
        err = errno;
      }
    } else if (unlinkat(dirfd(dir), name.c_str(), 0) != 0) {
      err = errno;
    }
    if (err != 0 && err != ENOENT && first == 0) first = err;
  }
  closedir(dir);
  return first;
}

}  // namespace

CUxError Remove(const std::string& path, bool recursive, bool contentsOnly) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return CUxError();
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "stat %s failed", path.c_str());
  }
  if (!S_ISDIR(st.st_mode)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, ENOTDIR, "%s is not a directory", path.c_str());
  }
  if (!recursive) {
    if (contentsOnly) return CUxError();
    if (rmdir(path.c_str()) != 0) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "rmdir %s failed", path.c_str());
    }
    return CUxError();
  }
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int err = fd < 0 ? errno : removeContents(fd, st.st_dev, 0);
  if (err == 0 && !contentsOnly && rmdir(path.c_str()) != 0) err = errno;
  if (err != 0) return FXErrorUtil::ErrorErrNo(FX_HERE, err, "cannot remove %s", path.c_str());
  return CUxError();
}

}  // namespace CUxDirectory

static bool nextEntry(KQFindState& state, KQFindData* data) {
  errno = 0;
  while (struct dirent* e = readdir(state.dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    data->name = name;
    data->isDirectory = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st;
      data->isDirectory =
          fstatat(dirfd(state.dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    return true;
  }
  return false;
}

KQFindHandle KQFindFirstFile(const std::string& directory, KQFindData* data) {
  auto state = std::make_shared<KQFindState>();
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  state->dir = fdopendir(fd);
  if (!state->dir) {
    close(fd);
    return nullptr;
  }
  if (!nextEntry(*state, data)) return nullptr;
  return state;
}

bool KQFindNextFile(const KQFindHandle& handle, KQFindData* data) {
  return handle && nextEntry(*handle, data);
}

namespace {

bool trustedOwner(const struct stat& st) { return st.st_uid == 0 || st.st_uid == geteuid(); }

// Why `st`, the directory `name`, may not lie on a trusted path; empty when it may.
std::string untrusted(const std::string& name, const struct stat& st, bool last) {
  if (!S_ISDIR(st.st_mode)) return name + " is not a directory";
  if (!trustedOwner(st)) {
    return name + " is owned by uid " + std::to_string(st.st_uid) + ", not root";
  }
  const bool othersWrite = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  if (othersWrite && (last || st.st_uid != 0 || !(st.st_mode & S_ISVTX))) {
    return name + " is writable by group or others";
  }
  return std::string();
}

// Why the entry `part` of `dirFd` cannot be opened as a directory.
std::string unopenable(int dirFd, const std::string& part, const std::string& name, int err) {
  struct stat st;
  if (::fstatat(dirFd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) return name + " is a symbolic link";
    if (!S_ISDIR(st.st_mode)) return name + " is not a directory";
  }
  return "cannot open " + name + ": " + std::strerror(err);
}

}  // namespace

int KqOpenTrustedDir(const std::string& path, bool make, mode_t mode, std::string& why,
                     bool* made) {
  if (made) *made = false;
  std::string full = path;
  if (full.empty()) {
    why = "an empty directory path";
    return -1;
  }
  if (full[0] != '/') {
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) {
      why = std::string("cannot read the working directory: ") + std::strerror(errno);
      return -1;
    }
    full = std::string(cwd) + "/" + full;
  }
  std::vector<std::string> parts;
  for (size_t at = 0; at <= full.size();) {
    const size_t end = std::min(full.find('/', at), full.size());
    const std::string part = full.substr(at, end - at);
    if (part == "..") {
      why = full + " names a parent directory (..)";
      return -1;
    }
    if (!part.empty() && part != ".") parts.push_back(part);
    at = end + 1;
  }
  int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string name = "/";
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    why = std::string("cannot open /: ") + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return -1;
  }
  why = untrusted(name, st, parts.empty());
  for (size_t i = 0; why.empty() && i < parts.size(); ++i) {
    const char* part = parts[i].c_str();
    name = (name == "/" ? "" : name) + "/" + parts[i];
    const bool last = i + 1 == parts.size();
    int next = ::openat(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    bool madeHere = false;
    if (next < 0 && errno == ENOENT && make) {
      if (::mkdirat(fd, part, mode) == 0) {
        madeHere = true;
      } else if (errno != EEXIST) {
        why = "cannot make " + name + ": " + std::strerror(errno);
        break;
      }
      next = ::openat(fd, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      why = unopenable(fd, part, name, errno);
      break;
    }
    ::close(fd);
    fd = next;
    if (madeHere) ::fchmod(fd, mode);
    if (::fstat(fd, &st) != 0) {
      why = "cannot examine " + name + ": " + std::strerror(errno);
      break;
    }
    why = untrusted(name, st, last);
    if (last && made) *made = madeHere;
  }
  if (!why.empty()) {
    ::close(fd);
    if (made) *made = false;
    return -1;
  }
  return fd;
}

bool KqIsTrustedMarker(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && trustedOwner(st);
}
