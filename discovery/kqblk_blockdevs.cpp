// The block devices of a request: every partition, or the whole disk when
// it has no partition table.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "kq_log.h"
#include "kqblk_blkid.h"
#include "kqblk_disk.h"
#include "kqblk_disk_utils.h"

std::list<std::string> KqBlkDiskUtils::getBlockDevList(
    const std::list<boost::shared_ptr<KqBlkDisk>>& disks) {
  static const char kFunc[] = "KqBlkDiskUtils::getBlockDevList";
  std::list<std::string> devices;
  std::list<slice> partitions;
  for (const boost::shared_ptr<KqBlkDisk>& disk : disks) {
    const std::string device = disk->getDevPath();
    EvDebug::Debug(kFunc, "Will trim device %s", device.c_str());
    EvDebug::Debug(kFunc, "Getting partitions for device %s", device.c_str());
    partitions.clear();
    getPartitions(device.c_str(), &partitions);
    for (const slice& part : partitions) {
      char suffix[30];
      std::snprintf(suffix, sizeof suffix, "%s%d", disk->getPartPrefix().c_str(), part.number);
      const std::string path = device + suffix;
      struct stat st;
      if (stat(path.c_str(), &st) != 0) {
        EvDebug::Debug(kFunc, "Stat failed on device %s errno %d", path.c_str(), errno);
        continue;
      }
      EvDebug::Debug(kFunc, "Adding partition device %s", path.c_str());
      devices.push_back(path);
    }
    if (partitions.empty()) {
      devices.push_back(device);
      EvDebug::Debug(kFunc, "Adding whole device %s", device.c_str());
    }
  }
  return devices;
}
