// Drive letters from a Windows guest's registry: the SYSTEM hive found on
// the guest's mounted volumes, its MountedDevices key read with hivex.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "kq_error.h"
#include "kq_guid.h"

// One mounted volume, as the layout describes it to the hive parser.
struct DiskPartInfo {
  explicit DiskPartInfo(uint32_t volumeId = 0) : id(volumeId) {}
  std::string AsString() const;

  uint32_t signature = 0;  // MBR disk signature
  GUID partitionGuid{};
  GUID partitionTypeGuid{};
  uint32_t partitionNumber = 0;
  int64_t offset = 0;  // bytes
  int64_t length = 0;  // bytes
  uint32_t id = 0;
  bool present = true;
  bool isMBR = true;
  bool isDynamic = false;
  bool isHidden = false;
  bool isLDM = false;
  bool isSpanned = false;
  std::string device;
};

class CSysHiveParser {
 public:
  // `mountPaths` are searched in order for Windows/System32/config/SYSTEM;
  // `volumes` are the volumes to name, in the order of `devices`.
  CSysHiveParser(const std::string& guid, std::list<std::string>& devices,
                 std::list<std::string>& mountPaths, std::list<DiskPartInfo>& volumes, bool);

  // One letter per volume in volume order ("" for a volume without one, or
  // whose letter could not be a directory name), and the hive's path.
  CUxError GetDriveLetters(std::list<std::string>& letters, std::string& hivePath);

 private:
  std::string m_guid;
  std::list<std::string> m_mountPaths;
  std::list<DiskPartInfo> m_volumes;
};
