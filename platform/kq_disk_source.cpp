#include "kq_disk_source.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

namespace {

const char* const kImageFormats[] = {"raw", "qcow2", "qcow", "vmdk", "vhdx", "vpc", "vdi", "qed"};

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

bool kqIsImageFormat(const std::string& format) {
  return std::find(std::begin(kImageFormats), std::end(kImageFormats), format) !=
         std::end(kImageFormats);
}

std::string kqImageFormatByName(const std::string& path) {
  static const struct {
    const char* extension;
    const char* format;
  } kByExtension[] = {{".qcow2", "qcow2"}, {".qcow", "qcow"}, {".vmdk", "vmdk"},
                      {".vhdx", "vhdx"},   {".vhd", "vpc"},   {".vdi", "vdi"},
                      {".qed", "qed"}};
  const std::string name = path.substr(path.rfind('/') + 1);
  for (const auto& e : kByExtension) {
    const size_t n = std::strlen(e.extension);
    if (name.size() > n && strcasecmp(name.c_str() + name.size() - n, e.extension) == 0) {
      return e.format;
    }
  }
  return "raw";
}
