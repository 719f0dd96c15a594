// A device inside the guest holds what the guest wrote, so its first sector
// alone picks what qemu-img is asked about, and qemu-img is always told the
// format: probing would let a VMDK descriptor or a qcow header name files of
// this machine for qemu-img to open. Images that name other files are
// refused from their headers before anything opens them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "kq_json.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_mount_utils.h"

namespace {

const char* const kFunc = "kqblk_readImageFormat";
const size_t kHeaderBytes = 512;
const size_t kMaxReportBytes = 64 * 1024;

uint64_t bigEndian(const unsigned char* at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | at[i];
  return v;
}

// The device's first sector; false when it cannot be read.
bool readHeader(const std::string& device, unsigned char (&head)[kHeaderBytes], size_t& got) {
  const int fd = ::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const bool usable = fstat(fd, &st) == 0 && (S_ISBLK(st.st_mode) || S_ISREG(st.st_mode));
  const ssize_t n = usable ? pread(fd, head, kHeaderBytes, 0) : -1;
  ::close(fd);
  if (n < 0) return false;
  got = static_cast<size_t>(n);
  return true;
}

// The image format the header shows ("qcow2", "qcow", "vmdk", ... or
// "raw"); `refused` says why when the image names other files.
std::string headerFormat(const unsigned char* head, size_t got, std::string& refused) {
  const auto at = [&](size_t offset, const char* magic, size_t length) {
    return offset + length <= got && std::memcmp(head + offset, magic, length) == 0;
  };
  if (at(0, "QFI\xfb", 4) && got >= 80) {
    const uint64_t version = bigEndian(head + 4, 4);
    if (bigEndian(head + 8, 8) != 0) refused = "it names a backing file";
    if (version >= 3 && (bigEndian(head + 72, 8) & 0x4) != 0) refused = "it names a data file";
    return version == 1 ? "qcow" : "qcow2";
  }
  if (at(0, "KDMV", 4) || at(0, "# Disk DescriptorFile", 21)) {
    refused = "a VMDK image names its extents and parent";
    return "vmdk";
  }
  if (at(0, "QED\0", 4) && got >= 64 && (head[56] | head[57] | head[58] | head[59]) != 0) {
    refused = "it names a backing file";
    return "qed";
  }
  return "raw";
}

}  // namespace

bool kqblk_readImageFormat(const std::string& device, std::string& format, std::string& refused) {
  unsigned char head[kHeaderBytes] = {};
  size_t got = 0;
  if (!readHeader(device, head, got)) {
    EvDebug::Debug(kFunc, "Cannot read the first sector of %s", device.c_str());
    return true;
  }
  std::string why;
  const std::string found = headerFormat(head, got, why);
  if (!why.empty()) {
    refused = "The disk image in device " + device + " is not opened: " + why +
              ", and images inside the guest are opened only on their own.";
    EvDebug::Error(kFunc, "%s", refused.c_str());
    return false;
  }
  if (found != "qcow" && found != "qcow2") {
    format = found + "\n";
    return true;
  }
  // "--" ends the options, so no path is ever read as one.
  const std::string command =
      "qemu-img info --output=json -f " + found + " -- " + KqShellQuote(device);
  std::string out;
  std::string err;
  const int rc = KqProcess::system(command, &out, &err, 0, false);
  if (rc != 0) {
    EvDebug::Debug(kFunc, "Failed to run %s, rc %d, out [%s], err [%s]", command.c_str(), rc,
                   out.c_str(), err.c_str());
    return true;
  }
  KqJson report;
  if (!kqParseJson(out, kMaxReportBytes, report, why) || report.stringAt("format") != found) {
    EvDebug::Debug(kFunc, "Command [%s] gave no format of its own: %s", command.c_str(),
                   why.c_str());
    return true;
  }
  EvDebug::Debug(kFunc, "Executed [%s] successfully : format = [%s]", command.c_str(),
                 found.c_str());
  format = found + "\n";
  return true;
}
