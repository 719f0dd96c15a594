#include "kq_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

thread_local int gRemoveErrno = 0;
thread_local const char* gRemoveTop = nullptr;

int removeEntry(const char* path, const struct stat*, int type, struct FTW* ftw) {
  if (ftw->level == 0 && gRemoveTop == nullptr) return 0;  // contentsOnly keeps the top
  const int rc = (type == FTW_DP) ? rmdir(path) : unlink(path);
  if (rc != 0 && errno != ENOENT && gRemoveErrno == 0) gRemoveErrno = errno;
  return 0;
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
  gRemoveErrno = 0;
  gRemoveTop = contentsOnly ? nullptr : path.c_str();
  const int rc = nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  if (rc != 0 && gRemoveErrno == 0) gRemoveErrno = errno;
  // nftw skips what lies on another file system; the directories above such
  // a mount then cannot go, which is reported below.
  if (!contentsOnly && lstat(path.c_str(), &st) == 0 && gRemoveErrno == 0) gRemoveErrno = ENOTEMPTY;
  if (gRemoveErrno != 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, gRemoveErrno, "cannot remove %s", path.c_str());
  }
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
