// Process-wide settings of KqBlkDiskUtils and the named LVM configurations.
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "kq_error.h"
#include "kqblk_disk_utils.h"

std::string KqBlkDiskUtils::cfgPath;
LVMConfig* KqBlkDiskUtils::ptrDefaultLVMConfig = nullptr;
bool KqBlkDiskUtils::bSkipFsck = false;
bool KqBlkDiskUtils::bSetKqBlkRO = false;

void KqBlkDiskUtils::setConfigDir(const char* dir, bool) { cfgPath = dir ? dir : ""; }

LVMConfig* KqBlkDiskUtils::initLVMConfig(const char* name, std::list<std::string> acceptList) {
  const std::string dir = cfgPath + "/" + (name ? name : "");
  std::unique_ptr<LVMConfig> config(
      new LVMConfig(dir, std::move(acceptList), std::list<std::string>()));
  config->filterEntries();  // a disk name LVM may not see fails before anything is made
  // An existing directory fails too: two requests must never share one.
  if (mkdir(dir.c_str(), 0755) != 0) {
    throw KqException("initLVMConfig", "Failed to create LVM config base directory: " + dir,
                      "kqblk_disk_utils", __LINE__, -1);
  }
  config->createConfig(false);
  return config.release();
}

int KqBlkDiskUtils::initDefaultLVMConfig(const char* dir) {
  ptrDefaultLVMConfig = new LVMConfig(dir ? dir : "");
  return ptrDefaultLVMConfig->createConfig(false);
}

void KqBlkDiskUtils::setSkipFsck(bool skip) { bSkipFsck = skip; }
bool KqBlkDiskUtils::getSkipFsck() { return bSkipFsck; }
void KqBlkDiskUtils::setKqBlkRO(bool readOnly) { bSetKqBlkRO = readOnly; }
bool KqBlkDiskUtils::getKqBlkRO() { return bSetKqBlkRO; }
