// Process-wide settings of KqBlkDiskUtils and the named LVM configurations.
#include <unistd.h>

#include <memory>

#include "kq_error.h"
#include "kq_fs.h"
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
  // LVM runs the programs its configuration names: the directory is root's
  // alone, reached through no link or directory another user controls. An
  // existing one fails too: two requests must never share one.
  std::string why;
  bool made = false;
  const int fd = cfgPath.empty() ? -1 : KqOpenTrustedDir(dir, true, 0700, why, &made);
  if (fd >= 0) ::close(fd);
  if (!made) {
    if (!why.empty()) why = ": " + why;
    throw KqException("initLVMConfig", "Failed to create LVM config base directory: " + dir + why,
                      "kqblk_disk_utils", __LINE__, -1);
  }
  config->createConfig(false);
  return config.release();
}

int KqBlkDiskUtils::initDefaultLVMConfig(const char* dir) {
  std::string why;
  const int fd = KqOpenTrustedDir(dir ? dir : "", false, 0700, why);
  if (fd < 0) {
    throw KqException("initDefaultLVMConfig", "Cannot use LVM config directory: " + why,
                      "kqblk_disk_utils", __LINE__, -1);
  }
  ::close(fd);
  ptrDefaultLVMConfig = new LVMConfig(dir);
  return ptrDefaultLVMConfig->createConfig(false);
}

void KqBlkDiskUtils::setSkipFsck(bool skip) { bSkipFsck = skip; }
bool KqBlkDiskUtils::getSkipFsck() { return bSkipFsck; }
void KqBlkDiskUtils::setKqBlkRO(bool readOnly) { bSetKqBlkRO = readOnly; }
bool KqBlkDiskUtils::getKqBlkRO() { return bSetKqBlkRO; }
