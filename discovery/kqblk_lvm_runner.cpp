// Running one LVM command under a private configuration, with a time-out.
#include <signal.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <sstream>

#include "kq_config.h"
#include "kq_error.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kqblk_disk_utils.h"

namespace {

const char kFunc[] = "KqBlkDiskUtils::runLVMCmd";
const char kFile[] = "kqblk_disk_utils";
const uint32_t kDefaultTimeoutSeconds = 120;
const uint32_t kAfterKillMs = 15000;
const uint32_t kAfterTermMs = 5000;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

uint32_t kqblk_systemCmdTimeout() {
  uint32_t timeout = kDefaultTimeoutSeconds;
  KQPlatformInfo::getNumber("Session", "nHLXSystemCmdTimeout", &timeout);
  return timeout;
}

int KqBlkDiskUtils::runLVMCmd(const std::string& cmd, std::string& out, std::string& err,
                              bool useDefault, LVMConfig* cfg) {
  if (!cfg) {
    throw KqException(kFunc, "LVMConfig object is not initialized. Cannot run LVM commands", kFile,
                      __LINE__, -1);
  }
  const std::string variantDir =
      cfg->getConfigDir() + (useDefault ? lvm_def_cfg_dir : lvm_alt_cfg_dir);
  const std::string file = variantDir + "/lvm.conf";
  struct stat st;
  if (stat(file.c_str(), &st) != 0) {
    throw KqException(kFunc,
                      "lvm config file " + file +
                          "not present/accessible as stat() failed, cannot run LVM commands",
                      kFile, __LINE__, -1);
  }
  // A short, empty or foreign file would leave LVM with its built-in
  // defaults: no filter, the host's locks and daemons. Only the exact text
  // this configuration writes will do.
  if (readFile(file) != cfg->variantText(variantDir, useDefault)) {
    throw KqException(kFunc,
                      "lvm config file " + file +
                          " does not hold this configuration's device filter, cannot run LVM "
                          "commands",
                      kFile, __LINE__, -1);
  }
  const std::string fullCmd = "export LVM_SYSTEM_DIR=/" + variantDir + ";" + cmd;
  const char* argv[] = {"/bin/sh", "-c", fullCmd.c_str(), nullptr};

  const uint32_t timeout = kqblk_systemCmdTimeout();
  EvDebug::Debug(kFunc, "Start cmd [%s] and wait for [%u] seconds to check completion",
                 fullCmd.c_str(), timeout);

  KqProcess process;
  process.TrapIO(true, true);
  if (!process.StartProcess(argv, &err, 0)) {
    EvDebug::Error(kFunc, "Failed to execute cmd [%s]. error [%s]", fullCmd.c_str(), err.c_str());
    return 1;
  }
  const pid_t pid = process.GetPid();
  int rc = 0;
  if (process.WaitForProcessToEnd(&rc, &err, timeout)) {
    process.GetIO(&out, &err);
    EvDebug::Debug(kFunc, "output of LVM command is: rc [%d] out[%s] err[%s]", rc, out.c_str(),
                   err.c_str());
    return rc;
  }
  if (err != "timedout") {
    EvDebug::Error(kFunc, "Failed to get status of cmd [%s]", fullCmd.c_str());
    return 1;
  }
  EvDebug::Error(kFunc, "cmd [%s] timed out. error [%s] - will attempt to terminate child pid [%d]",
                 fullCmd.c_str(), err.c_str(), static_cast<int>(pid));
  if (pid < 1) return 1;
  // The child leads a process group of its own; signal the whole group so
  // that the hung LVM command below the shell goes too, not only the shell.
  // Each wait ends as soon as the child is collected. One that outlives both
  // (stuck in uninterruptible I/O) is left to the process's reaper thread:
  // the caller gets its failure, never a hang.
  kill(-pid, SIGKILL);
  if (process.Reap(kAfterKillMs)) return 1;
  if (kill(pid, 0) == 0) {
    EvDebug::Error(kFunc, "Failed to kill child pid [%d] with SIGKILL", static_cast<int>(pid));
    kill(-pid, SIGTERM);
  }
  if (!process.Reap(kAfterTermMs) && kill(pid, 0) == 0) {
    EvDebug::Error(kFunc, "Failed to kill child pid [%d] with SIGTERM", static_cast<int>(pid));
  }
  return 1;
}
