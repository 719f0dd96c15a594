// A disk that is already a block device on this machine: no driver device,
// stores, service thread or data source; its disk path is its device path.
#pragma once

#include "kqblk_disk.h"

class KqBlkGuestDisk : public KqBlkDisk {
 public:
  KqBlkGuestDisk(const std::string& diskPath, const std::string& dirPath);
  ~KqBlkGuestDisk() override;

  std::string createKqBlkDev() override;
  void destroyKqBlkDev() override;
  void startThread() override;
  void stopThread() override;
  void connect() override;
  void disconnect() override;
  void disconnect_direct() override;
  std::string getPartPrefix() override;

  void setState();
  // Sets both the disk path and the device path, in any state. Hides the
  // base's setDiskPath, which a call through a KqBlkDisk reference reaches.
  void setDiskPath(std::string path);
};
