// kqblkctl: a VM disk backup browsable as the guest's own tree (mount), the
// disks alone as devices (expose), and what is left on this machine (list,
// cleanup). See kqblkctl(1).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kq_config.h"
#include "kq_error.h"
#include "kq_fs.h"
#include "kqblkctl_commands.h"
#include "kqblkctl_common.h"

namespace {

const char kUsage[] =
    "usage: kqblkctl COMMAND [OPTION]... [ARGUMENT]...\n"
    "  mount    expose a VM's disks and mount them as the guest saw them, until stopped\n"
    "  expose   expose disk images as /dev/kqblk devices, until stopped\n"
    "  list     the kqblk devices, who serves them, and their mounts\n"
    "  cleanup  take down what requests whose process died left behind\n"
    "'kqblkctl COMMAND --help' tells more.\n";

const char kDefaultLogDir[] = "/var/log/kqblk";

// The library's log goes to a file unless configured otherwise: standard
// error is for the command's own progress lines.
void logToFileByDefault() {
  std::string configured;
  if (KQPlatformInfo::getStringTrim("Log", "sKqBlkLogFile", &configured) && !configured.empty()) return;
  if (CUxDirectory::Create(kDefaultLogDir, true).IsError()) return;
  KQPlatformInfo::setOverride("Log", "sKqBlkLogFile", std::string(kDefaultLogDir) + "/kqblkctl.log");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc >= 2 ? argv[1] : "";
  // Before any thread starts: the serving commands take their stop signal
  // in one place, and none can slip past the wait.
  if (command == "mount" || command == "expose") ctlCatchStopSignals();
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0)) {
    std::fputs(kUsage, stdout);
    return kCtlOk;
  }
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kCtlBadInput;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    logToFileByDefault();
    if (command == "mount") return ctlMount(args);
    if (command == "expose") return ctlExpose(args);
    if (command == "list") return ctlList(args);
    if (command == "cleanup") return ctlCleanup(args);
  } catch (...) {
    // The commands take down what they made themselves; this is the last
    // word, not an abort.
    ctlSay("%s failed: %s", command.c_str(), kqCurrentExceptionText().c_str());
    return kCtlFailed;
  }
  std::fputs(kUsage, stderr);
  return kCtlBadInput;
}
