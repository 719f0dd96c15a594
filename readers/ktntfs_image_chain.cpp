#include "ktntfs_image_chain.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "kq_disk_source.h"
#include "kq_process.h"

namespace {

const char kQemuImg[] = "/usr/bin/qemu-img";
const int kMaxChain = 16;

CUxError refuse(const std::string& path, const std::string& why) {
  return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "%s: %s", path.c_str(), why.c_str());
}

std::string lastLine(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  const size_t nl = text.rfind('\n');
  return nl == std::string::npos ? text : text.substr(nl + 1);
}

// The string value of `key` in qemu-img's JSON, or "" when it has none.
// Escapes other than \" \\ \/ give "\n", which no check accepts.
std::string jsonString(const std::string& json, const std::string& key) {
  const std::string needle = "\"" + key + "\": \"";
  size_t i = json.find(needle);
  if (i == std::string::npos) return "";
  std::string value;
  for (i += needle.size(); i < json.size() && json[i] != '"'; ++i) {
    if (json[i] == '\\') {
      if (++i >= json.size() || !std::strchr("\"\\/", json[i])) return "\n";
    }
    value += json[i];
  }
  return value;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return !path.empty() && path[0] == '/' && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// qemu-img info of one image, without opening its backing file.
CUxError imageInfo(const std::string& path, const std::string& format, std::string& json) {
  const std::string fmt = "--format=" + format;
  const char* argv[] = {kQemuImg, "info", "--output=json", fmt.c_str(), "--", path.c_str(),
                        nullptr};
  KqProcess process;
  process.TrapIO(true, true);
  std::string err, out;
  int rc = -1;
  if (!process.StartProcess(argv, &err, 0) || !process.WaitForProcessToEnd(&rc, &err, 60)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "qemu-img info %s: %s", path.c_str(),
                                   err.c_str());
  }
  process.GetIO(&json, &err);
  if (rc != 0) return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "%s", lastLine(err).c_str());
  return CUxError();
}

// The extents a VMDK descriptor file names must be regular files beside it.
CUxError checkVmdkExtents(const std::string& path) {
  std::ifstream in(path);
  std::string head;
  if (!std::getline(in, head) || head.rfind("# Disk DescriptorFile", 0) != 0) return CUxError();
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  for (std::string line; std::getline(in, line);) {
    const size_t open = line.find('"');
    const bool extent = line.rfind("RW ", 0) == 0 || line.rfind("RDONLY ", 0) == 0 ||
                        line.rfind("NOACCESS ", 0) == 0;
    if (!extent || open == std::string::npos) continue;
    const std::string name = line.substr(open + 1, line.find('"', open + 1) - open - 1);
    if (!isRegularFile(name[0] == '/' ? name : dir + name)) {
      return refuse(path, "extent \"" + name + "\" is not a regular file");
    }
  }
  return CUxError();
}

// Whether a qcow2 header asks for an external data file.
bool hasExternalDataFile(const std::string& path) {
  unsigned char header[80] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read = pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
  ::close(fd);
  return read && header[7] >= 3 && (header[79] & 0x04) != 0;
}

}  // namespace

CUxError checkImageChain(const std::string& path, const std::string& format) {
  std::string image = path;
  std::string imageFormat = format;
  for (int depth = 0; depth < kMaxChain; ++depth) {
    if (imageFormat == "vmdk") {
      CUxError err = checkVmdkExtents(image);
      if (err.IsError()) return err;
    }
    if (imageFormat == "qcow2" && hasExternalDataFile(image)) {
      return refuse(image, "external data files are not served");
    }
    std::string json;
    CUxError err = imageInfo(image, imageFormat, json);
    if (err.IsError()) return err;
    const std::string backing = jsonString(json, "full-backing-filename");
    if (backing.empty()) return CUxError();
    if (!isRegularFile(backing)) {
      return refuse(image, "backing file \"" + backing + "\" is missing or not a regular file");
    }
    image = backing;
    imageFormat = jsonString(json, "backing-filename-format");
    if (imageFormat.empty()) imageFormat = kqImageFormat(image);
    if (imageFormat.empty() || imageFormat.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos) {
      return refuse(image, "unknown backing file format");
    }
  }
  return refuse(path, "backing chain longer than 16 images");
}
