// Block-id tags of one device, probed directly (never through a cache).
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

class kqblk_blkid {
 public:
  // Throws CUxError when the device cannot be probed.
  explicit kqblk_blkid(const std::string& device);

  // True and the value when the device carries the tag (TYPE, UUID, LABEL,
  // PART_ENTRY_*, DISK_SIGNATURE, DM_UUID of a device-mapper device, ...).
  bool getTag(const std::string& name, std::string& value);
  // True when the device matches an fstab specification such as
  // UUID=..., LABEL="...", PARTUUID=..., PARTLABEL=....
  bool hasTag(const std::string& specification);

 private:
  std::string m_device;
  std::map<std::string, std::string> m_tags;
};

// One partition found on a device.
struct slice {
  int32_t number;         // the kernel's partition number (node NAME + prefix + number)
  uint64_t startSector;   // 512-byte sectors
  uint64_t sectorCount;
};

// Appends one slice per partition of the device (MBR with logical
// partitions, GPT). Returns 0, or -1 when the device cannot be read.
int getPartitions(const char* device, std::list<slice>* partitions);
