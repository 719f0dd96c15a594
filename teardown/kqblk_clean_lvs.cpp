// Device-mapper devices of ours removed: those built on a driver device and
// the volumes of groups that discovery renamed. Devices built on each other
// must go top first; rather than work the order out, failed removals are
// retried in further passes.
#include <string>
#include <vector>

#include "kq_config.h"
#include "kq_error.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_disk_utils.h"
#include "kqblk_driver_ownership.h"
#include "kqblk_text.h"

namespace {

const char kFile[] = "kqblk_disk_utils";
const char kListCommand[] = "dmsetup ls --exec ls";
// Device-mapper's name of a volume in a group "kq-HLX_...": every "-" inside
// group and volume names is doubled.
const char kRenamedGroupMark[] = "kq--HLX_";
const char kSection[] = "Sylvane";
const int kDefaultMaxRetry = 10;

int maxRetryCount(const char* function) {
  int32_t value = 0;
  if (!KQPlatformInfo::getNumber(kSection, "nHLXLVCleanupMaxRetry", &value)) {
    EvDebug::Error(function, "Cannot read nHLXLVCleanupMaxRetry\tfrom registry key [%s]. Assume 10",
                   kSection);
    return kDefaultMaxRetry;
  }
  EvDebug::Error(function, "Obtained nHLXLVCleanupMaxRetry = [%d]", value);
  if (value < 2 || value > 20) {
    EvDebug::Error(function, "Valid inputs for nHLXLVCleanupMaxRetry [2-20]. resetting nMaxRetry=10");
    return kDefaultMaxRetry;
  }
  return value;
}

// The device-mapper name in a line of the listing (a node path): its last
// component, when that is a plain name, else empty.
std::string deviceName(const std::string& line) {
  const std::string name = line.substr(line.rfind('/') + 1);
  static const char kNameCharacters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789#+-.:=@_";
  if (name.empty() || name[0] == '-' ||
      name.find_first_not_of(kNameCharacters) != std::string::npos) {
    return std::string();
  }
  return name;
}

}  // namespace

void KqBlkDiskUtils::cleanLVs() { cleanLVs(true); }

void KqBlkDiskUtils::cleanLVs(bool includeLive) {
  static const char kFunc[] = "static void KqBlkDiskUtils::cleanLVs()";
  kqblk_requireDriverLoaded(kFunc);
  const int maxRetry = maxRetryCount(kFunc);
  std::vector<std::string> work;
  for (int pass = 0;; ++pass) {
    std::string out;
    std::string err;
    const int listed = KqProcess::system(kListCommand, &out, &err, 0, false);
    if (listed != 0) {
      EvDebug::Error(kFunc, "dmsetup ls failed %d. Err %s:Out%s", listed, err.c_str(), out.c_str());
      throw KqException(kFunc, "dmsetup ls failed. Err " + err + ":Out" + out, kFile, __LINE__,
                        listed);
    }
    for (const std::string& line : kqblk_tokens(out, '\n')) {
      const std::string name = deviceName(line);
      if (name.empty()) {
        EvDebug::DebugLvl(kFunc, 2, "Not a device-mapper name: [%s]", line.c_str());
      } else {
        work.push_back(name);
      }
    }
    std::vector<std::string> failures;
    for (const std::string& name : work) {
      if (KqProcess::system("dmsetup deps " + KqShellQuote(name), &out, &err, 0, false) != 0) {
        continue;
      }
      EvDebug::DebugLvl(kFunc, 2, "dmsetup o/p : %s", out.c_str());
      if (!kqblk_dependsOnDriverDevice(out) && name.find(kRenamedGroupMark) == std::string::npos) {
        continue;
      }
      if (!includeLive && kqblk_dependsOnLiveDriverDevice(out)) {
        EvDebug::Debug(kFunc, "Leaving LV %s: a running request's", name.c_str());
        continue;
      }
      EvDebug::Debug(kFunc, "Deleting LV %s", name.c_str());
      const std::string remove = "dmsetup remove " + KqShellQuote(name);
      const int removed = KqProcess::system(remove, &out, &err, 0, false);
      if (removed != 0) {
        EvDebug::Error(kFunc, "%s failed %d. Err %s:Out%s", remove.c_str(), removed, err.c_str(),
                       out.c_str());
        failures.push_back(name);
      }
    }
    if (failures.empty()) return;
    if (pass > maxRetry) {
      EvDebug::Error(kFunc, "Cleanup retries exceeded retrycount=[%d] maxRetryCnt=[%d]", pass,
                     maxRetry);
      throw KqException(kFunc, "Cleanup retries exceeded maxRetryCnt", kFile, __LINE__, -1);
    }
    EvDebug::Error(kFunc, "Retrying cleanLVs() to address LV dependencies  retrycount=[%d]", pass);
    work.swap(failures);
  }
}
