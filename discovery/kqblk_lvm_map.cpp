// The volume-group steps over a plain map, one group per name, for callers
// that hold their groups so; the multimap forms do the work.
#include "kq_log.h"
#include "kqblk_disk_utils.h"

namespace {

kqblk_vgmap asMultimap(const std::map<std::string, std::string>& vgs) {
  return kqblk_vgmap(vgs.begin(), vgs.end());
}

}  // namespace

std::map<std::string, std::string> KqBlkDiskUtils::getVGMap(const std::list<std::string>& pvs,
                                                            LVMConfig* cfg) {
  kqblk_vgmap all;
  getVGMap(pvs, cfg, all);
  std::map<std::string, std::string> groups;
  for (const auto& group : all) {
    const auto placed = groups.insert(group);
    if (placed.second) continue;
    EvDebug::Error("KqBlkDiskUtils::getVGList", "vg %s of UUID %s left out: the group of UUID %s has its name",
                   group.first.c_str(), placed.first->second.c_str(), group.second.c_str());
    placed.first->second = group.second;
  }
  return groups;
}

void KqBlkDiskUtils::renameVGs(std::map<std::string, std::string>& vgs, const std::string& prefix,
                               LVMConfig* cfg) {
  kqblk_vgmap groups = asMultimap(vgs);
  std::list<kqblk_vg> renamed;
  try {
    renameVGs(groups, prefix, cfg, renamed);
  } catch (...) {
    for (const kqblk_vg& g : renamed) vgs[g.guestName] = g.name;
    throw;
  }
  for (const auto& group : groups) vgs[group.first] = group.second;
}

std::map<std::string, std::string> KqBlkDiskUtils::getLVs(std::map<std::string, std::string>& vgs,
                                                          LVMConfig* cfg, bool useValue) {
  kqblk_vgmap groups = asMultimap(vgs);
  return getLVs(groups, cfg, useValue);
}
