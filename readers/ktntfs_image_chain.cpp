#include "ktntfs_image_chain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "kq_config.h"
#include "kq_json.h"
#include "kq_process.h"

namespace {

const char kQemuImg[] = "/usr/bin/qemu-img";
const size_t kMaxChain = 16;
const size_t kMaxReportBytes = 1 << 20;
const uint32_t kInfoSeconds = 60;

struct DirId {
  dev_t dev;
  ino_t ino;
};

CUxError refuse(const std::string& path, const std::string& why) {
  return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "%s: %s", path.c_str(), why.c_str());
}

std::string lastLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const size_t nl = text.rfind('\n');
  return nl == std::string::npos ? text : text.substr(nl + 1);
}

std::string parentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool dirId(const std::string& dir, DirId& id) {
  const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool ok = fstat(fd, &st) == 0;
  ::close(fd);
  if (ok) id = DirId{st.st_dev, st.st_ino};
  return ok;
}

// The directories the image's other files may lie in, by identity: its own
// and the configured ones (absolute paths separated by ':').
std::vector<DirId> allowedDirs(const std::string& image) {
  std::vector<DirId> dirs;
  DirId id;
  if (dirId(parentOf(image), id)) dirs.push_back(id);
  std::string list;
  KQPlatformInfo::getStringTrim("VirtualServer", "dKqBlkImageDirs", &list);
  for (size_t start = 0; start < list.size();) {
    const size_t end = std::min(list.find(':', start), list.size());
    const std::string dir = list.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/' && dirId(dir, id)) dirs.push_back(id);
    start = end + 1;
  }
  return dirs;
}

// Empty when `file` may be read along with the image: a regular file itself
// (not a link, device or directory) in one of `dirs`; else why not. The
// directory is compared by device and inode, not by its path's text.
std::string fileProblem(const std::string& file, const std::vector<DirId>& dirs) {
  if (file.empty() || file[0] != '/') return "is not the absolute path of a local file";
  const std::string base = file.substr(file.rfind('/') + 1);
  if (base.empty() || base == "." || base == "..") return "is not a file name";
  const int dirFd = ::open(parentOf(file).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return "is missing";
  struct stat dir, st;
  const bool found = fstat(dirFd, &dir) == 0 && fstatat(dirFd, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  ::close(dirFd);
  if (!found) return "is missing";
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  for (const DirId& d : dirs) {
    if (d.dev == dir.st_dev && d.ino == dir.st_ino) return "";
  }
  return "is outside the image's own directory and the configured image directories";
}

// qemu-img's report of the chain: one object per image, the top first.
CUxError chainReport(const std::string& path, const std::string& format, KqJson& chain) {
  const char* argv[] = {kQemuImg, "info", "--output=json", "--backing-chain", "-f",
                        format.c_str(), "--", path.c_str(), nullptr};
  KqProcess process;
  process.TrapIO(true, true);
  std::string err, out;
  int rc = -1;
  if (!process.StartProcess(argv, &err, 0) ||
      !process.WaitForProcessToEnd(&rc, &err, kInfoSeconds)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "qemu-img info %s: %s", path.c_str(),
                                   err.c_str());
  }
  process.GetIO(&out, &err);
  if (rc != 0) {
    return refuse(path, "cannot read the image and its backing files: " + lastLine(err));
  }
  std::string why;
  if (!kqParseJson(out, kMaxReportBytes, chain, why) || chain.type != KqJson::kArray ||
      chain.items.empty()) {
    return refuse(path, "unreadable qemu-img report (" + why + ")");
  }
  return CUxError();
}

// The files an image's format draws on besides its own: VMDK extents, a
// qcow2 external data file.
CUxError checkParts(const KqJson& image, const std::string& name,
                    const std::vector<DirId>& dirs) {
  const KqJson* specific = image.find("format-specific");
  const KqJson* data = specific ? specific->find("data") : nullptr;
  if (data == nullptr) return CUxError();
  if (data->find("data-file")) return refuse(name, "external data files are not served");
  const KqJson* extents = data->find("extents");
  if (extents == nullptr) return CUxError();
  for (const KqJson& extent : extents->items) {
    const std::string file = extent.stringAt("filename");
    if (file == name) continue;  // a sparse VMDK is its own extent
    const std::string problem = fileProblem(file, dirs);
    if (!problem.empty()) return refuse(name, "extent \"" + file + "\" " + problem);
  }
  return CUxError();
}

}  // namespace

CUxError checkImageChain(const std::string& path, const std::string& format) {
  KqJson chain;
  CUxError err = chainReport(path, format, chain);
  if (err.IsError()) return err;
  if (chain.items.size() > kMaxChain) return refuse(path, "backing chain longer than 16 images");
  const std::vector<DirId> dirs = allowedDirs(path);
  std::string expected = path, expectedFormat = format;
  for (size_t i = 0; i < chain.items.size(); ++i) {
    const KqJson& image = chain.items[i];
    const std::string name = image.stringAt("filename");
    if (name != expected || image.stringAt("format") != expectedFormat) {
      return refuse(expected, "qemu-img reported " + name + " in format " +
                                  image.stringAt("format"));
    }
    err = checkParts(image, name, dirs);
    if (err.IsError()) return err;
    const bool last = i + 1 == chain.items.size();
    if (image.find("backing-filename") == nullptr) {
      if (last) return CUxError();
      return refuse(name, "qemu-img reported a backing file it does not name");
    }
    expected = image.stringAt("full-backing-filename");
    expectedFormat = image.stringAt("backing-filename-format");
    const std::string problem = fileProblem(expected, dirs);
    if (!problem.empty()) return refuse(name, "backing file \"" + expected + "\" " + problem);
    if (expectedFormat.empty()) {
      return refuse(name, "the format of backing file \"" + expected + "\" is not recorded");
    }
    if (last) return refuse(name, "qemu-img did not read backing file \"" + expected + "\"");
  }
  return CUxError();
}
