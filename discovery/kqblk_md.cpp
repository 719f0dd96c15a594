// The guest's md arrays assembled under names of this request. The members'
// superblocks name the array (its UUID, "host:0"), which may be the name or
// UUID of one of the proxy's own arrays: so the members are always given on
// the command line, the configuration is a private one that auto-assembles
// nothing, and the array gets a new UUID (written to the private store).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

#include "kq_error.h"
#include "kq_kernel.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_disk_utils.h"
#include "kqblk_lvm_config.h"
#include "kqblk_stacked.h"

namespace {

const char kFunc[] = "KqBlkDiskUtils::assembleArrays";
// A guest with more arrays than this is hostile or broken; the rest stay as they are.
const size_t kMaxArrays = 64;

// A short name of the request: md kernel names ("md_" + name) hold at most 31 characters.
std::string requestTag(const std::string& prefix) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : prefix) hash = (hash ^ c) * 16777619u;
  char tag[16];
  std::snprintf(tag, sizeof tag, "kq%08x", hash);
  return tag;
}

// The array's place among the request's as letters ("a", "b", ... "ba"):
// mdadm takes a name's trailing digits for the kernel's md number.
std::string letters(size_t n) {
  std::string out(1, static_cast<char>('a' + n % 26));
  for (n /= 26; n > 0; n /= 26) out.insert(out.begin(), static_cast<char>('a' + n % 26));
  return out;
}

void writeConfig(const std::string& file) {
  std::ofstream out(file, std::ios::trunc);
  // No auto-assembly, and every array foreign: a "local" one would take
  // the kernel name its superblock suggests (md0) rather than ours.
  out << "CREATE names=yes\nAUTO -all\nHOMEHOST <none>\n";
  if (!out.flush()) throw KqException(kFunc, "cannot write " + file, "kqblk_disk_utils", __LINE__, -1);
}

bool run(const std::string& command) {
  std::string out, err;
  const int status = KqProcess::system(command, &out, &err, kqblk_systemCmdTimeout(), true);
  if (status != 0) EvDebug::Error(kFunc, "%s: %d %s %s", command.c_str(), status, err.c_str(), out.c_str());
  return status == 0;
}

// An md number no array has, from a range of ours: the kernel name of an
// array must never be the one its guest suggests (md0), which the proxy's
// own array may be waiting for.
std::string freeNumberedNode() {
  for (int number = 1000; number < 1256; ++number) {
    const std::string name = "md" + std::to_string(number);
    if (::access(("/sys/block/" + name).c_str(), F_OK) != 0) return "/dev/" + name;
  }
  return std::string();
}

std::string assembleCommand(const std::string& target, const std::string& config, const char* update,
                            const std::vector<std::string>& members) {
  std::string command = "mdadm --assemble " + KqShellQuote(target) + " --run --readonly --config=" +
                        KqShellQuote(config) + update;
  for (const std::string& member : members) command += " " + KqShellQuote(member);
  return command;
}

// Assembles the array of `members`; its node, or empty. It first gets a
// new UUID (mdadm refuses a UUID an active array has, and the proxy's may),
// then, where its metadata has a name, our `name`, and once that is on the
// members, the kernel name md_`name` (mdadm picks the kernel name from the
// name the members carry when it starts).
std::string assemble(const std::vector<std::string>& members, const std::string& config,
                     const std::string& name) {
  const std::string numbered = freeNumberedNode();
  if (numbered.empty()) return std::string();
  auto into = [&](const std::string& target, const std::string& update) {
    return run(assembleCommand(target, config, update.c_str(), members)) ? kqblk_holderNode(members.front(), true)
                                                                         : std::string();
  };
  auto stop = [](const std::string& node) { return run("mdadm --stop " + KqShellQuote(node)); };
  // Read-only devices keep their UUID, and their name.
  if (KqBlkDiskUtils::getKqBlkRO()) return into(numbered, "");
  std::string node = into(numbered, " --update=uuid");
  if (node.empty() || kqblk_deviceTag(members.front(), "VERSION").rfind("0.90", 0) == 0) {
    return node;  // 0.90 has no name to give
  }
  if (!stop(node)) return node;
  node = into(numbered, " --update=name --name=" + name);
  if (node.empty() || !stop(node)) return node;
  node = into("/dev/md/" + name, "");
  return node.empty() ? into(numbered, "") : node;
}

void makeWritable(const std::string& array) {
  if (!KqWriteBlockAttribute(kqblk_deviceNumber(array), "md/sync_action", "frozen")) {
    EvDebug::Error(kFunc, "Cannot freeze the resync of %s: left read-only", array.c_str());
    return;
  }
  run("mdadm --readwrite " + KqShellQuote(array));
}

}  // namespace

void KqBlkDiskUtils::assembleArrays(std::list<std::string>& devices, const std::string& prefix,
                                    LVMConfig* cfg) {
  // Array UUID -> its members, in the order first seen.
  std::vector<std::pair<std::string, std::vector<std::string>>> arrays;
  for (const std::string& device : devices) {
    if (kqblk_deviceTag(device, "TYPE") != "linux_raid_member") continue;
    const std::string uuid = kqblk_deviceTag(device, "UUID");
    auto found = std::find_if(arrays.begin(), arrays.end(), [&](const auto& a) { return a.first == uuid; });
    if (found == arrays.end()) {
      if (arrays.size() == kMaxArrays) continue;
      arrays.push_back({uuid, {}});
      found = arrays.end() - 1;
    }
    found->second.push_back(device);
  }
  if (arrays.empty()) return;
  const std::string config = cfg->getConfigDir() + "/mdadm.conf";
  writeConfig(config);
  const std::string tag = requestTag(prefix);
  bool anyAssembled = false;
  for (size_t n = 0; n < arrays.size(); ++n) {
    const std::vector<std::string>& members = arrays[n].second;
    const std::string array = assemble(members, config, tag + "_" + letters(n));
    if (array.empty()) {
      EvDebug::Error(kFunc, "Cannot assemble the md array of %s", members.front().c_str());
      continue;
    }
    EvDebug::Debug(kFunc, "Assembled %s from %zu members", array.c_str(), members.size());
    // The take-over of what the array holds writes (a physical volume's new
    // UUID): writable then, but with resync frozen, which would read the
    // whole array from the backup.
    if (!getKqBlkRO()) makeWritable(array);
    const auto first = std::find(devices.begin(), devices.end(), members.front());
    devices.insert(first, array);
    for (const std::string& member : members) devices.remove(member);
    cfg->acceptStackedDevice(array);
    anyAssembled = true;
  }
  if (anyAssembled) cfg->rewriteFilters();
}
