#include "kq_disk_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// A socket path we accept: absolute, plain characters, no "." or ".." parts.
bool plainAbsolutePath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  for (char c : path) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._-+,:", c))) return false;
  }
  const std::string ends = path + "/";
  return ends.find("/./") == std::string::npos && ends.find("/../") == std::string::npos;
}

}  // namespace

bool kqIsNbdUri(const std::string& path) {
  return startsWith(path, "nbd://") || startsWith(path, "nbds://") ||
         startsWith(path, "nbd+unix://") || startsWith(path, "nbds+unix://");
}

std::string kqNbdUriProblem(const std::string& uri) {
  if (!kqIsNbdUri(uri)) return "not an nbd://, nbds://, nbd+unix:// or nbds+unix:// URI";
  for (char c : uri) {
    if (c <= ' ' || c > '~') return "the URI holds spaces or control characters";
  }
  if (uri.find('#') != std::string::npos) return "the URI has a fragment";
  const bool unix = uri.find("+unix://") != std::string::npos;
  const size_t afterScheme = uri.find("://") + 3;
  const size_t pathStart = uri.find('/', afterScheme);
  const size_t queryStart = uri.find('?');
  const std::string authority =
      uri.substr(afterScheme, std::min(pathStart, queryStart) - afterScheme);
  if (authority.find('@') != std::string::npos) return "the URI names a user";
  if (unix != authority.empty()) {
    return unix ? "a Unix socket URI names no host (nbd+unix:///export?socket=PATH)"
                : "the URI names no host";
  }
  if (queryStart == std::string::npos) {
    return unix ? "a Unix socket URI needs ?socket=PATH" : "";
  }
  const std::string query = uri.substr(queryStart + 1);
  if (!unix) return "a TCP URI takes no parameters";
  if (!startsWith(query, "socket=") || query.find_first_of("&;%") != std::string::npos) {
    return "a Unix socket URI takes only ?socket=PATH";
  }
  if (!plainAbsolutePath(query.substr(7))) return "the socket is not a plain absolute path";
  return "";
}

std::string kqImageFormat(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st;
  unsigned char head[512] = {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const ssize_t n = regular ? pread(fd, head, sizeof head, 0) : 0;
  ::close(fd);
  if (n < 0) return "";
  const auto at = [&](size_t offset, const char* magic, size_t length) {
    return offset + length <= static_cast<size_t>(n) && std::memcmp(head + offset, magic, length) == 0;
  };
  if (at(0, "QFI\xfb", 4)) return n >= 8 && head[4] == 0 && head[5] == 0 && head[6] == 0 && head[7] == 1 ? "qcow" : "qcow2";
  if (at(0, "KDMV", 4) || at(0, "# Disk DescriptorFile", 21)) return "vmdk";
  if (at(0, "vhdxfile", 8)) return "vhdx";
  if (at(0x40, "\x7f\x10\xda\xbe", 4)) return "vdi";
  if (at(0, "conectix", 8)) return "vpc";
  if (at(0, "QED\0", 4)) return "qed";
  return "raw";
}
