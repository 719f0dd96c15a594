#include "kqblk_vg.h"

#include "kq_log.h"

std::string kqblk_vgprefix(const std::string& id) { return "kq-" + id + "-"; }

void AddLVs::operator()(const std::pair<const std::string, std::string>& lv) const {
  EvDebug::Debug("AddLVs", "Found LV:VG pair %s:%s", lv.first.c_str(), lv.second.c_str());
  m_devices.push_back(lv.first);
}
