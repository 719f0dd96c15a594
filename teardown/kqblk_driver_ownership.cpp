#include "kqblk_driver_ownership.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>

#include "kq_error.h"
#include "kq_log.h"
#include "kqblk_driver.h"

namespace {

const char kFile[] = "kqblk_disk_utils";

// Reads the decimal number at `at` (at most nine digits) and moves past it.
bool readNumber(const std::string& text, size_t& at, unsigned& value) {
  const size_t start = at;
  value = 0;
  while (at < text.size() && at - start < 9 && std::isdigit(static_cast<unsigned char>(text[at]))) {
    value = value * 10 + static_cast<unsigned>(text[at++] - '0');
  }
  return at > start;
}

bool readText(const std::string& text, size_t& at, const char* expected) {
  const std::string want(expected);
  if (text.compare(at, want.size(), want) != 0) return false;
  at += want.size();
  return true;
}

}  // namespace

void kqblk_requireDriverLoaded(const char* function) {
  const char* dir = KqBlkDriverUnix::controlDirectory();
  struct stat st;
  if (::stat(dir, &st) == 0) return;
  const int code = errno;
  EvDebug::Error(function, "Failed to stat %s:%d", dir, code);
  throw KqException(function, std::string("Failed to stat ") + dir, kFile, __LINE__, code);
}

bool kqblk_dependsOnDriverDevice(const std::string& depsOutput) {
  for (size_t open = depsOutput.find('('); open != std::string::npos;
       open = depsOutput.find('(', open + 1)) {
    size_t at = open + 1;
    unsigned major = 0;
    unsigned minor = 0;
    if (readNumber(depsOutput, at, major) && readText(depsOutput, at, ", ") &&
        readNumber(depsOutput, at, minor) && readText(depsOutput, at, ")") &&
        KqBlkDriverUnix::ownsBlockDevice(major, minor)) {
      return true;
    }
  }
  return false;
}
