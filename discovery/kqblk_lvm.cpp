// Taking over the guest's LVM: physical volumes, volume groups and their
// logical volumes on the request's devices.
//
// Every name read from LVM's output comes from guest metadata: it is quoted
// as one shell word, and "--" ends LVM's options before it, so a name that
// begins with "-" is still a name.
#include <algorithm>
#include <cstdint>
#include <set>

#include "kq_error.h"
#include "kq_log.h"
#include "kq_shell.h"
#include "kq_sleep.h"
#include "kqblk_disk_utils.h"
#include "kqblk_text.h"

namespace {

const char kFile[] = "kqblk_disk_utils";
const uint32_t kAfterFailedScanMs = 5000;

// Runs an LVM command that the operation cannot do without.
void runOrThrow(const char* function, const std::string& command, std::string& out,
                bool useDefault, LVMConfig* cfg) {
  std::string err;
  if (KqBlkDiskUtils::runLVMCmd(command, out, err, useDefault, cfg) != 0) {
    throw KqException(function, kqblk_failedCmdText(command, err, out), kFile, __LINE__, -1);
  }
}

}  // namespace

std::list<std::string> KqBlkDiskUtils::getPVList(const std::list<std::string>& devices,
                                                 LVMConfig* cfg) {
  static const char kFunc[] = "KqBlkDiskUtils::getPVList";
  std::string out;
  std::string err;
  if (runLVMCmd("pvscan", out, err, false, cfg) != 0) {
    EvDebug::Error(kFunc, "scan failed out[%s] err[%s] - ignore err", out.c_str(), err.c_str());
    UXSLEEP(kAfterFailedScanMs);
  }
  std::string pvs;
  runOrThrow(kFunc, "pvs -o pv_name --noheadings", pvs, false, cfg);

  std::list<std::string> result;
  for (const std::string& reported : kqblk_trimmedLines(pvs)) {
    EvDebug::Debug(kFunc, "Checking device %s", reported.c_str());
    const auto entry = std::find_if(devices.begin(), devices.end(), StrMatch(reported));
    if (entry == devices.end()) {
      EvDebug::Debug(kFunc, "Device %s not found in disks.", reported.c_str());
      continue;
    }
    if (std::find(result.begin(), result.end(), *entry) != result.end()) continue;
    // The request's own entry, never the printed name: that may name some
    // other device of the same name.
    std::string changed;
    runOrThrow(kFunc, "pvchange -f --uuid -- " + KqShellQuote(*entry), changed, false, cfg);
    result.push_back(*entry);
    EvDebug::Debug(kFunc, "Adding PV %s", entry->c_str());
  }
  return result;
}

void KqBlkDiskUtils::getVGMap(const std::list<std::string>& pvs, LVMConfig* cfg,
                              kqblk_vgmap& groups) {
  static const char kFunc[] = "KqBlkDiskUtils::getVGList";
  std::string out;
  runOrThrow(kFunc, "vgs -o vg_name,vg_uuid,pv_name --noheadings", out, false, cfg);

  groups.clear();
  for (const std::string& line : kqblk_trimmedLines(out)) {
    EvDebug::Debug(kFunc, "Parsing line %s", line.c_str());
    const std::vector<std::string> fields = kqblk_tokens(line, ' ');
    if (fields.size() < 3) {
      EvDebug::Debug(kFunc, "Skipping line %s: fewer than 3 fields", line.c_str());
      continue;
    }
    const std::string& pv = fields[2];
    EvDebug::Debug(kFunc, "Checking PV device %s", pv.c_str());
    if (std::find_if(pvs.begin(), pvs.end(), StrMatch(pv)) == pvs.end()) {
      EvDebug::Debug(kFunc, "PV Device %s not found in disks.", pv.c_str());
      continue;
    }
    // A group stands on one line per physical volume: enter it once.
    const auto same = groups.equal_range(fields[0]);
    if (std::any_of(same.first, same.second,
                    [&fields](const kqblk_vgmap::value_type& g) { return g.second == fields[1]; })) {
      continue;
    }
    groups.emplace(fields[0], fields[1]);
    EvDebug::Debug(kFunc, "Adding vg %s", fields[0].c_str());
  }
}

void KqBlkDiskUtils::renameVGs(kqblk_vgmap& vgs, const std::string& prefix, LVMConfig* cfg,
                               std::list<kqblk_vg>& renamed) {
  static const char kFunc[] = "KqBlkDiskUtils::renameVGs";
  std::set<std::string> taken;
  for (const auto& group : vgs) taken.insert(prefix + group.first);
  std::set<std::string> firstOfName;
  for (auto& group : vgs) {
    const std::string& name = group.first;
    std::string newName = prefix + name;
    if (!firstOfName.insert(name).second) {
      for (int n = 2; !taken.insert(newName = prefix + name + "-" + std::to_string(n)).second; ++n) {
      }
    }
    // By UUID: the name may belong to two groups until the first is renamed.
    std::string out;
    runOrThrow(kFunc, "vgrename -- " + KqShellQuote(group.second) + " " + KqShellQuote(newName),
               out, true, cfg);
    group.second = newName;
    renamed.push_back(kqblk_vg(newName, name));
    out.clear();
    runOrThrow(kFunc, "vgchange --uuid -- " + KqShellQuote(newName), out, false, cfg);
    out.clear();
    runOrThrow(kFunc, "vgchange -ay -- " + KqShellQuote(newName), out, true, cfg);
  }
}

std::map<std::string, std::string> KqBlkDiskUtils::getLVs(kqblk_vgmap& vgs, LVMConfig* cfg,
                                                          bool useValue) {
  static const char kFunc[] = "KqBlkDiskUtils::getLVs";
  std::map<std::string, std::string> volumes;
  for (const auto& group : vgs) {
    const std::string& name = useValue ? group.second : group.first;
    std::string out;
    runOrThrow(kFunc, "lvs -olv_name --noheadings -- " + KqShellQuote(name), out, true, cfg);
    for (const std::string& volume : kqblk_trimmedLines(out)) {
      const std::string path = "/dev/" + name + "/" + volume;
      EvDebug::Debug(kFunc, "Adding an lv %s vg:%s", path.c_str(), name.c_str());
      volumes[path] = name;
    }
  }
  return volumes;
}
