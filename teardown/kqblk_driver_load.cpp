// Loading the driver: its script under the product's base directory, once
// per machine at a time, then its debug level.
#include "kqblk_driver_load.h"

#include "kq_config.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kq_string.h"
#include "kq_sync.h"
#include "kqblk_disk_utils.h"
#include "kqblk_driver.h"

const char* const HLX_KQBLK_DRIVER_MUTEX_NAME = "HLX_KQBLK_DRIVER_MUTEX_NAME";
uint32_t gKqblkDriverLoadWaitMs = 60000;

namespace {
const char kFunc[] = "HLXServer::_LoadKqblkDriver";
}  // namespace

bool KqBlkDiskUtils::LoadKqblkDriver(std::string& baseDir, std::string& errorText) {
  KqNamedMutex mutex(HLX_KQBLK_DRIVER_MUTEX_NAME);
  if (!mutex.lockWithin(gKqblkDriverLoadWaitMs)) {
    errorText = "cannot take the driver-load lock: " + mutex.errorText();
    EvDebug::Error(kFunc, "%s", errorText.c_str());
    return false;
  }
  const bool loaded = _LoadKqblkDriver(baseDir, errorText);
  mutex.unlock();
  return loaded;
}

bool KqBlkDiskUtils::_LoadKqblkDriver(std::string& baseDir, std::string& errorText) {
  if (baseDir.empty()) {
    if (!KQPlatformInfo::getStringTrim("Base", "dBASEHOME", &baseDir) || baseDir.empty()) {
      EvDebug::Error(kFunc, "Cannot read base dir from registry");
      return false;
    }
    EvDebug::DebugLvl(kFunc, 2, "Obtained base dir [%s]", baseDir.c_str());
  }
  // Our driver is no kernel module, so the module list never names it and
  // the script, which is safe to run again, always runs; the mutex keeps
  // two processes from running it at once. Only the script's complaints
  // reach errorText, not those of a machine without lsmod.
  const std::string command =
      "lsmod 2>/dev/null | grep kqblk || " + KqShellQuote(baseDir + "/unix_drv.sh") + " -a kqblk";
  EvDebug::DebugLvl(kFunc, 2, "load kqblk using cmd [%s]", command.c_str());
  std::string out;
  std::string err;
  if (KqProcess::system(command, &out, &err, 0, false) != 0) {
    errorText = err;
    EvDebug::Error(kFunc, "Failed to load kqblk driver");
    return false;
  }
  EvDebug::Debug(kFunc, "kqblk driver loaded");
  uint64_t level = 0;
  KQPlatformInfo::getNumber("Session", "nKqBlkDriverDebugLevel", &level);
  if (level != 0) {
    const std::string debugFile = std::string(KqBlkDriverUnix::controlDirectory()) + "/debug";
    const std::string setLevel = FXString::Format("echo %llu > ", static_cast<unsigned long long>(level)) +
                                 KqShellQuote(debugFile);
    EvDebug::Debug(kFunc, "set kqblk debug level using cmd [%s]", setLevel.c_str());
    if (KqProcess::system(setLevel, &out, &err, 0, false) != 0) {
      EvDebug::Error(kFunc, "Failed to reset the debug level on kqblk");
    }
  }
  return true;
}
