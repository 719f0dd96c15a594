#include "kqblkctl_common.h"

#include <fcntl.h>
#include <pthread.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kq_config.h"
#include "kq_disk_source.h"
#include "kqblk_disk_utils.h"

namespace {

bool gStopTaken = false;  // the wait has taken the stop signal

sigset_t stopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  return stops;
}

}  // namespace

void ctlSay(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("kqblkctl: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

bool ctlDriverBaseDir(std::string& baseDir) {
  // The base directory holding unix_drv.sh: KQBLK_DRIVER_SCRIPT's (a build
  // tree), else the configured dBASEHOME, else the one installed with us.
  const char* script = std::getenv("KQBLK_DRIVER_SCRIPT");
  if (script && *script) {
    const std::string path = script;
    if (path.size() < 12 || path.compare(path.size() - 12, 12, "/unix_drv.sh") != 0) {
      ctlSay("KQBLK_DRIVER_SCRIPT must name a file unix_drv.sh, not %s", script);
      return false;
    }
    baseDir = path.substr(0, path.size() - 12);
  } else if (!KQPlatformInfo::getStringTrim("Base", "dBASEHOME", &baseDir) || baseDir.empty()) {
    baseDir = KQBLK_BASE_DIR;
  }
  return true;
}

bool ctlLoadDriver() {
  std::string baseDir;
  if (!ctlDriverBaseDir(baseDir)) return false;
  std::string errorText;
  if (!KqBlkDiskUtils::LoadKqblkDriver(baseDir, errorText)) {
    while (!errorText.empty() && errorText.back() == '\n') errorText.pop_back();
    ctlSay("the kqblk driver cannot be loaded: %s", errorText.c_str());
    return false;
  }
  return true;
}

void ctlCatchStopSignals() {
  const sigset_t stops = stopSignals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

bool ctlStopRequested() {
  if (gStopTaken) return true;
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1;
}

void ctlWaitForStop() {
  // Blocked in every thread since the start, a stop signal stays pending
  // until taken here, however early it came.
  const sigset_t stops = stopSignals();
  while (!gStopTaken) gStopTaken = sigwaitinfo(&stops, nullptr) > 0;
}

bool ctlParseDisk(const std::string& text, const std::string& format, CtlDiskSpec& spec,
                  std::string& why) {
  spec = CtlDiskSpec();
  spec.text = text;
  spec.format = format;
  spec.guest = text.rfind("guest:", 0) == 0;
  spec.path = spec.guest ? text.substr(6) : text;
  if (!format.empty() && !kqIsImageFormat(format)) {
    why = format + ": not an image format (raw, qcow2, qcow, vmdk, vhdx, vpc, vdi, qed)";
    return false;
  }
  if (!format.empty() && format != "raw" && (spec.guest || kqIsNbdUri(text))) {
    why = text + ": is read as raw, not " + format;
    return false;
  }
  if (!spec.guest && kqIsNbdUri(text)) {
    const std::string problem = kqNbdUriProblem(text);
    why = text + ": " + problem;
    return problem.empty();  // sized by the export when it connects
  }
  struct stat st;
  if (spec.path.empty() || ::stat(spec.path.c_str(), &st) != 0) {
    why = spec.path + ": " + std::strerror(spec.path.empty() ? ENOENT : errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    why = spec.path + ": is a directory, not a disk image";
    return false;
  }
  if (spec.guest && !S_ISBLK(st.st_mode)) {
    why = spec.path + ": not a block device";
    return false;
  }
  if (S_ISBLK(st.st_mode)) {
    // An exclusive open fails while anything on this machine uses the disk
    // (a mount, a volume group, another program): it is not ours to read.
    const int fd = ::open(spec.path.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) {
      why = spec.path + ": in use on this machine (" + std::strerror(errno) + ")";
      return false;
    }
    const bool sized = ::ioctl(fd, BLKGETSIZE64, &spec.bytes) == 0;
    ::close(fd);
    if (!sized) {
      why = spec.path + ": cannot read its size";
      return false;
    }
    if (!format.empty() && format != "raw") {
      spec.bytes = 0;  // an image on the device: sized by its qemu-nbd
      return true;
    }
  } else if (S_ISREG(st.st_mode) &&
             (format.empty() ? kqImageFormatByName(spec.path) : format) != "raw") {
    return true;  // sized by its qemu-nbd when it connects
  } else if (S_ISREG(st.st_mode)) {
    spec.bytes = static_cast<uint64_t>(st.st_size);
  } else {
    why = spec.path + ": neither an image file nor a block device";
    return false;
  }
  if (spec.bytes == 0) {
    why = spec.path + ": is empty";
    return false;
  }
  return true;
}

std::string ctlPrintable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02x", c);
    out += c < 0x20 || c == 0x7f ? std::string(buf) : std::string(1, static_cast<char>(c));
  }
  return out;
}

std::string ctlJson(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}
