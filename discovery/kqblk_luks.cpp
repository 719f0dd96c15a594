// The guest's LUKS volumes opened with the keys the caller gave. A key
// reaches cryptsetup only through a memory file of this process: never on
// a command line, in a file on disk or in a log line.
#include <memory>
#include <vector>

#include "kq_log.h"
#include "kq_process.h"
#include "kq_secret.h"
#include "kq_shell.h"
#include "kqblk_disk_utils.h"
#include "kqblk_lvm_config.h"
#include "kqblk_stacked.h"

namespace {

const char kFunc[] = "KqBlkDiskUtils::openLuksVolumes";
// cryptsetup's status for a key that opens no key slot.
const int kNoKeyFits = 2;

// cryptsetup's status: 0 opened, 2 no key slot fits the key, others failures.
int open(const std::string& keyPath, const std::string& device, const std::string& name, bool writable) {
  const std::string command = std::string("cryptsetup open --type luks --tries 1") + (writable ? "" : " --readonly") +
                              " --key-file " + KqShellQuote(keyPath) + " " + KqShellQuote(device) + " " +
                              KqShellQuote(name);
  std::string out, err;
  const int status = KqProcess::system(command, &out, &err, kqblk_systemCmdTimeout(), false);
  if (status != 0 && status != kNoKeyFits) EvDebug::Error(kFunc, "%s: %d %s", command.c_str(), status, err.c_str());
  return status;
}

bool close(const std::string& name) {
  std::string out, err;
  return KqProcess::system("cryptsetup close " + KqShellQuote(name), &out, &err, kqblk_systemCmdTimeout(), false) == 0;
}

std::list<std::string> g_keys;
bool g_writable = false;

}  // namespace

void KqBlkDiskUtils::setLuksKeys(std::list<std::string> keys, bool writable) {
  g_keys = std::move(keys);
  g_writable = writable;
}

const std::list<std::string>& KqBlkDiskUtils::getLuksKeys() { return g_keys; }

void KqBlkDiskUtils::openLuksVolumes(std::list<std::string>& devices, const std::string& prefix,
                                     LVMConfig* cfg) {
  if (g_keys.empty()) return;
  std::vector<std::unique_ptr<KqSecretFile>> keyFiles;
  int opened = 0;
  for (auto device = devices.begin(); device != devices.end(); ++device) {
    if (kqblk_deviceTag(*device, "TYPE") != "crypto_LUKS") continue;
    if (keyFiles.empty()) {
      for (const std::string& key : g_keys) keyFiles.push_back(std::make_unique<KqSecretFile>(key));
    }
    const std::string name = prefix + "luks" + std::to_string(opened);
    for (size_t k = 0; k < keyFiles.size(); ++k) {
      const int status = open(keyFiles[k]->path(), *device, name, g_writable);
      if (status != 0) {
        EvDebug::Debug(kFunc, "Key %zu does not open %s: %d", k + 1, device->c_str(), status);
        continue;
      }
      EvDebug::Debug(kFunc, "Opened %s as %s with key %zu", device->c_str(), name.c_str(), k + 1);
      const std::string mapping = "/dev/mapper/" + name;
      // The take-over of a physical volume or a btrfs inside writes new
      // identities, which land in the private store like every write.
      const std::string inside = kqblk_deviceTag(mapping, "TYPE");
      if (!g_writable && !getKqBlkRO() && (inside == "LVM2_member" || inside == "btrfs") &&
          close(name) && open(keyFiles[k]->path(), *device, name, true) != 0) {
        EvDebug::Error(kFunc, "Cannot open %s writable for its take-over", device->c_str());
        break;
      }
      *device = mapping;
      cfg->acceptStackedDevice(*device);
      ++opened;
      break;
    }
  }
  if (opened > 0) cfg->rewriteFilters();
}
