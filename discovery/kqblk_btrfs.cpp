// New identities for the btrfs file systems on a request's devices, so that
// a copy of a file system the proxy already knows can be mounted beside it,
// and one device per multi-device file system in the list.
#include "kqblk_btrfs.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <vector>

#include "kq_error.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kq_sync.h"
#include "kqblk_blkid.h"
#include "kqblk_disk_utils.h"
#include "kqblk_regex.h"
#include "kqblk_text.h"

const char* const HLX_BTRFS_MUTEX_NAME = "HLX_BTRFS_MUTEX_NAME";

namespace {

const char kFunc[] = "KqBlkDiskUtils::processBtrFSDevices";
const char kBtrfsType[] = "btrfs";

typedef std::map<std::string, std::vector<std::string>> FileSystems;

bool run(const std::string& command, std::string& out, std::string& err) {
  return KqProcess::system(command, &out, &err, 0, false) == 0;
}

void logFailure(const std::string& command, const std::string& err, const std::string& out) {
  EvDebug::Debug(kFunc, "Failed to run [%s] :err: [%s] \n out: [%s]", command.c_str(),
                 err.c_str(), out.c_str());
}

bool anyBtrfs(const std::list<std::string>& devices) {
  for (const std::string& device : devices) {
    EvDebug::Debug(kFunc, "device %s", device.c_str());
    try {
      kqblk_blkid blkid(device);
      std::string type;
      if (!blkid.getTag("TYPE", type)) continue;
      EvDebug::DebugLvl(kFunc, 2, "type tag found. tagVal %s", type.c_str());
      if (type == kBtrfsType) {
        EvDebug::Debug(kFunc, "btrfs found");
        return true;
      }
    } catch (const CUxError& e) {
      EvDebug::Error(kFunc, "Caught error %s.\n", e.AsString().c_str());
    }
  }
  return false;
}

// "btrfs device scan" and "btrfs filesystem show --all-devices" under the
// machine-wide mutex; false when either fails.
bool scanAll(std::string& shown) {
  KqNamedMutex mutex(HLX_BTRFS_MUTEX_NAME);
  const bool locked = mutex.lock();
  if (!locked) EvDebug::Error(kFunc, "Cannot lock %s; scanning unserialised", HLX_BTRFS_MUTEX_NAME);
  struct Unlock {
    KqNamedMutex& mutex;
    bool locked;
    ~Unlock() {
      if (locked) mutex.unlock();
    }
  } unlock{mutex, locked};

  std::string out;
  std::string err;
  if (!run("btrfs device scan", out, err)) {
    EvDebug::Error(kFunc, "scan failed out[%s] err[%s] - ignore err", out.c_str(), err.c_str());
    return false;
  }
  const std::string command = "btrfs filesystem show --all-devices";
  if (!run(command, shown, err)) {
    logFailure(command, err, shown);
    return false;
  }
  return true;
}

// The rest of each line after the first match of `pattern`.
std::vector<std::string> afterMatch(const std::string& text, const char* pattern) {
  const KqRegEx regex(pattern, REG_EXTENDED);
  std::vector<std::string> found;
  for (std::string& line : kqblk_tokens(text, '\n')) {
    trim(line);
    std::pair<size_t, size_t> position;
    if (regex.match(line, nullptr, &position)) found.push_back(line.substr(position.second));
  }
  return found;
}

bool sameBlockDevice(const std::string& a, const std::string& b) {
  struct stat sa;
  struct stat sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && S_ISBLK(sa.st_mode) &&
         S_ISBLK(sb.st_mode) && sa.st_rdev == sb.st_rdev;
}

// The entry of `devices` that is `path`: by name first; then, as btrfs names
// devices by their kernel names (/dev/loopN for a node under /dev/kqblk/), by
// the block device itself.
std::list<std::string>::iterator findDevice(std::list<std::string>& devices, std::string& path) {
  auto it = std::find_if(devices.begin(), devices.end(), StrMatch(path));
  if (it != devices.end()) return it;
  return std::find_if(devices.begin(), devices.end(),
                      [&path](const std::string& entry) { return sameBlockDevice(entry, path); });
}

}  // namespace

std::list<std::string> KqBlkDiskUtils::processBtrFSDevices(std::list<std::string>& devices,
                                                           const std::string& prefix) {
  std::list<std::string> tuned;
  if (!anyBtrfs(devices)) {
    EvDebug::Debug(kFunc, "btrfs not found");
    return tuned;
  }
  std::string shown;
  if (!scanAll(shown)) return tuned;

  const std::vector<std::string> uuids = afterMatch(shown, "uuid: ");
  if (uuids.empty()) {
    EvDebug::Debug(kFunc, "Empty list of Btrfs UUIDs found");
    return tuned;
  }
  FileSystems fileSystems;
  for (const std::string& uuid : uuids) {
    EvDebug::Debug(kFunc, "Checking file system UUID = [%s]", uuid.c_str());
    // The UUID is text from the tool's output, which a label can shape.
    const std::string command = "btrfs filesystem show -- " + KqShellQuote(uuid);
    std::string out;
    std::string err;
    if (!run(command, out, err)) {
      logFailure(command, err, out);
      fileSystems[uuid].clear();
      continue;
    }
    fileSystems[uuid] = afterMatch(out, "path ");
  }

  for (const auto& fileSystem : fileSystems) {
    bool first = true;
    for (std::string path : fileSystem.second) {
      EvDebug::Debug(kFunc, "Checking device %s", path.c_str());
      auto entry = findDevice(devices, path);
      if (entry == devices.end()) {
        EvDebug::Debug(kFunc, "disk [%s] is not part of HLX request", path.c_str());
      } else if (first) {
        // Commands name the request's own entry: the tool's name for the
        // device may not be a node that exists under that name.
        const std::string device = *entry;
        std::string out;
        std::string err;
        const std::string label = "btrfs filesystem label " + KqShellQuote(device) + " " +
                                  KqShellQuote(prefix + fileSystem.first);
        if (!run(label, out, err)) {
          logFailure(label, err, out);
          return tuned;
        }
        const std::string tune = "btrfstune -fu " + KqShellQuote(device);
        if (!run(tune, out, err)) {
          logFailure(tune, err, out);
          return tuned;
        }
        tuned.push_back(device);
      } else {
        EvDebug::Debug(kFunc, "erasing path [%s] as its part of same file system", path.c_str());
        devices.erase(entry);
      }
      first = false;
    }
  }
  return tuned;
}
