// New identities for the btrfs file systems on a request's devices, so that
// a copy of a file system the proxy already knows can be mounted beside it,
// and one device per multi-device file system in the list.
#include "kqblk_btrfs.h"

#include <cctype>
#include <map>
#include <utility>
#include <vector>

#include "kq_error.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kq_sync.h"
#include "kqblk_blkid.h"
#include "kqblk_disk_utils.h"
#include "kqblk_lvm_config.h"
#include "kqblk_mountpoint.h"

const char* const HLX_BTRFS_MUTEX_NAME = "HLX_BTRFS_MUTEX_NAME";

namespace {

const char kFunc[] = "KqBlkDiskUtils::processBtrFSDevices";

typedef std::list<std::string>::iterator Entry;
// One copy of a file system: its UUID and a copy number. Copies of one disk
// share the file system UUID and the member UUIDs (UUID_SUB); the n-th
// device seen with a given member UUID belongs to copy n.
typedef std::pair<std::string, int> Instance;

bool run(const std::string& command, std::string& out, std::string& err) {
  return KqProcess::system(command, &out, &err, kqblk_systemCmdTimeout(), false) == 0;
}

void logFailure(const std::string& command, const std::string& err, const std::string& out) {
  EvDebug::Debug(kFunc, "Failed to run [%s] :err: [%s] \n out: [%s]", command.c_str(),
                 err.c_str(), out.c_str());
}

// The 36-character form 8-4-4-4-12 of hexadecimal digits, nothing else.
bool isUuid(const std::string& text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// The btrfs devices of the request, each under the copy of the file system
// it belongs to, read from the devices themselves: no tool output, which a
// label could shape, and no scan of devices that are not the request's.
std::map<Instance, std::vector<Entry>> btrfsDevices(std::list<std::string>& devices) {
  std::map<Instance, std::vector<Entry>> found;
  std::map<std::pair<std::string, std::string>, int> copies;
  for (Entry it = devices.begin(); it != devices.end(); ++it) {
    EvDebug::Debug(kFunc, "device %s", it->c_str());
    try {
      kqblk_blkid blkid(*it);
      std::string type;
      std::string uuid;
      std::string member;
      if (!blkid.getTag("TYPE", type)) continue;
      EvDebug::DebugLvl(kFunc, 2, "type tag found. tagVal %s", type.c_str());
      if (type != FS_TYPE_BTRFS) continue;
      if (!blkid.getTag("UUID", uuid) || !isUuid(uuid)) {
        EvDebug::Error(kFunc, "btrfs on %s without a valid UUID; left alone", it->c_str());
        continue;
      }
      blkid.getTag("UUID_SUB", member);
      found[Instance(uuid, copies[{uuid, member}]++)].push_back(it);
    } catch (const CUxError& e) {
      EvDebug::Error(kFunc, "Caught error %s.\n", e.AsString().c_str());
    }
  }
  return found;
}

// "btrfs device scan" of the request's own btrfs devices under the
// machine-wide mutex, so the kernel knows the members of each file system.
void registerDevices(const std::vector<std::string>& members) {
  KqNamedMutex mutex(HLX_BTRFS_MUTEX_NAME);
  const bool locked = mutex.lock();
  if (!locked) EvDebug::Error(kFunc, "Cannot lock %s; scanning unserialised", HLX_BTRFS_MUTEX_NAME);
  std::string command = "btrfs device scan --";
  for (const std::string& member : members) command += " " + KqShellQuote(member);
  std::string out;
  std::string err;
  if (!run(command, out, err)) {
    EvDebug::Error(kFunc, "scan failed out[%s] err[%s] - ignore err", out.c_str(), err.c_str());
  }
  if (locked) mutex.unlock();
}

}  // namespace

std::list<std::string> KqBlkDiskUtils::processBtrFSDevices(std::list<std::string>& devices,
                                                           const std::string& prefix) {
  std::list<std::string> tuned;
  const std::map<Instance, std::vector<Entry>> fileSystems = btrfsDevices(devices);
  if (fileSystems.empty()) {
    EvDebug::Debug(kFunc, "btrfs not found");
    return tuned;
  }
  std::vector<std::string> kept;
  for (const auto& fileSystem : fileSystems) {
    const std::string& uuid = fileSystem.first.first;
    EvDebug::Debug(kFunc, "Checking file system UUID = [%s]", uuid.c_str());
    const std::string device = *fileSystem.second.front();
    std::string out;
    std::string err;
    const std::string label = "btrfs filesystem label -- " + KqShellQuote(device) + " " +
                              KqShellQuote(prefix + uuid);
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
    kept.push_back(device);
    for (size_t i = 1; i < fileSystem.second.size(); ++i) {
      EvDebug::Debug(kFunc, "erasing path [%s] as its part of same file system",
                     fileSystem.second[i]->c_str());
      kept.push_back(*fileSystem.second[i]);
      devices.erase(fileSystem.second[i]);
    }
  }
  registerDevices(kept);
  return tuned;
}
