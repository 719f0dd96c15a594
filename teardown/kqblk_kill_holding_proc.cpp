// Processes that keep a mount busy are killed; the list comes from fuser,
// so only well-formed process ids reach the kill command line.
#include <unistd.h>

#include <cctype>
#include <sstream>
#include <vector>

#include "kq_log.h"
#include "kq_process.h"
#include "kq_process_info.h"
#include "kq_shell.h"
#include "kqblk_driver_ownership.h"
#include "kqblk_mountpoint_cleanup.h"
#include "kqblk_text.h"

namespace {

const char kFunc[] = "kill_holding_proc";
const size_t kMaxPidDigits = 9;

// The decimal process ids among the words of fuser's output, in order; any
// other word is left out.
std::vector<pid_t> processIds(const std::string& out) {
  std::vector<pid_t> pids;
  std::istringstream words(out);
  for (std::string word; words >> word;) {
    bool decimal = word.size() <= kMaxPidDigits;
    for (char c : word) decimal = decimal && std::isdigit(static_cast<unsigned char>(c));
    const long pid = decimal ? std::stol(word) : 0;
    if (pid > 0) pids.push_back(static_cast<pid_t>(pid));
  }
  return pids;
}

}  // namespace

int kill_holding_proc(std::string path) {
  // Plain fuser names only the processes whose open files or directories
  // are `path` itself; a guest file held open deeper in the tree keeps the
  // mount busy all the same. For a mount of a driver device, -m names every
  // user of that file system. Never for anything else: on the proxy's own
  // file systems it would name every process of the machine.
  const std::string listCommand = std::string(kqblk_isMountOfDriverDevice(path) ? "fuser -m " : "fuser ") +
                                  KqShellQuote(path);
  std::string out;
  std::string err;
  if (KqProcess::system(listCommand, &out, &err, 0, false) != 0) {
    EvDebug::Error(kFunc, "%s", kqblk_failedCmdText(listCommand, err, out).c_str());
    return 1;
  }
  const std::vector<pid_t> holders = processIds(out);
  if (holders.empty()) {
    EvDebug::Error(kFunc, "No process id in the output of %s: [%s]", listCommand.c_str(),
                   out.c_str());
    return 1;
  }
  const pid_t self = ::getpid();
  const long first = holders.front();
  EvDebug::DebugLvl(kFunc, 2, "mpt_pid=[%s][%ld]. ODS pid=[%d]", out.c_str(), first,
                    static_cast<int>(self));
  if (first == self) {
    EvDebug::Debug(kFunc, "ODS holding mount point [%s]. Ignore", path.c_str());
    return 0;
  }
  EvDebug::Debug(kFunc, "found process [%ld] holding mount point [%s]. kill it", first,
                 path.c_str());
  std::string victims;
  for (pid_t pid : holders) {
    if (pid == self) continue;
    if (pid == 1 || !KqIsUserProcess(pid)) {
      EvDebug::Debug(kFunc, "Not killing process [%ld]: init, a kernel thread or gone",
                     static_cast<long>(pid));
      continue;
    }
    victims += " " + std::to_string(pid);
  }
  // "env" runs the kill program from PATH rather than the shell's builtin.
  const std::string killCommand = "env kill -9" + victims;
  if (victims.empty() || KqProcess::system(killCommand, &out, &err, 0, false) != 0) {
    EvDebug::Error(kFunc, "Failed to kill holding process [%ld]", first);
    return 1;
  }
  EvDebug::Debug(kFunc, "Killed holding process [%ld]", first);
  return 0;
}
