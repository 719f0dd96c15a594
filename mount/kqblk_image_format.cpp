// qemu-img gets the device path as one quoted shell word, and its report is
// parsed here rather than handed back to a shell: the report repeats the
// path, which for a logical volume carries guest-chosen names.
#include <sstream>

#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_mount_utils.h"

namespace {

const char* const kFunc = "kqblk_readImageFormat";

// The value of the report's own "file format:" line, followed by a newline;
// empty when there is none. Only a line that begins with the key counts: the
// "image:" line holds the path, and "backing file format:" names another
// image's format.
std::string formatLine(const std::string& report) {
  static const std::string key = "file format:";
  std::istringstream lines(report);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const size_t sep = line.rfind(": ");
    if (sep == std::string::npos) continue;
    return line.substr(sep + 2) + "\n";
  }
  return std::string();
}

}  // namespace

bool kqblk_readImageFormat(const std::string& device, std::string& format) {
  // "--" ends the options, so no path is ever read as one.
  const std::string command = "qemu-img info -- " + KqShellQuote(device);
  std::string out;
  std::string err;
  const int rc = KqProcess::system(command, &out, &err, 0, false);
  if (rc != 0) {
    EvDebug::Debug(kFunc, "Failed to run %s, rc %d, out [%s], err [%s]", command.c_str(), rc,
                   out.c_str(), err.c_str());
    return true;
  }
  EvDebug::Debug(kFunc, "Command [%s] : rc [%d], out [%s], err[%s]", command.c_str(), rc,
                 out.c_str(), err.c_str());
  const std::string found = formatLine(out);
  EvDebug::Debug(kFunc, "Parsed [%s] successfully : format = [%s]", command.c_str(),
                 found.c_str());
  if (!found.empty()) format = found;
  return true;
}
