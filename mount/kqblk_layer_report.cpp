// The report reads each device's tags again rather than trusting what the
// records' texts say: a record's error is worded for the user and says
// little of the cause, the tags say what is on the device.
#include <unistd.h>

#include <cstdio>
#include <set>

#include "kqblk_blkid.h"
#include "kqblk_disk.h"
#include "kqblk_disk_utils.h"
#include "kqblk_stacked.h"

namespace {

// A guest path as a person writes it: //home is /home.
std::string tidy(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c != '/' || out.empty() || out.back() != '/') out += c;
  }
  return out;
}

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool isDynamicDiskPartition(const std::string& entryType) {
  return entryType == "0x42" || entryType == "5808c8aa-7e8f-42e0-85d2-e1e90434cfb3" ||
         entryType == "af9b60a0-1431-4f62-bc68-3311714a69ad";
}

// Why a device whose record has an error was not mounted, and whether that
// was a choice ("skipped") or a failure.
void refusal(const kqblk_mountpoint& record, const std::string& type, const std::string& entryType,
             kqblk_layer& layer) {
  static const std::pair<const char*, const char*> kNotMounted[] = {
      {"swap", "swap"},
      {"zfs_member", "ZFS pool: not supported"},
      {"BitLocker", "BitLocker volume: no key"},
      {"linux_raid_member", "md RAID member: its array could not be assembled"}};
  layer.done = "skipped";
  if (isDynamicDiskPartition(entryType)) {
    layer.why = "Windows dynamic disk: not supported";
    return;
  }
  if (type == "crypto_LUKS") {
    layer.why = KqBlkDiskUtils::getLuksKeys().empty() ? "LUKS volume: no key given" : "LUKS volume: no key fits";
    return;
  }
  for (const auto& [found, why] : kNotMounted) {
    if (type == found) {
      layer.why = why;
      return;
    }
  }
  if (type.empty()) {
    layer.why = "no file system";
  } else if (record.error.rfind("The file system type ", 0) == 0) {
    layer.why = "file-system type " + type + " not allowed";
  } else {
    layer.done = "failed";
    layer.why = record.error;
  }
}

kqblk_layer ofRecord(const kqblk_mountpoint& record, const std::string& type,
                     const std::string& entryType) {
  kqblk_layer layer{record.device, type, "mounted", ""};
  if (!record.subvolume.empty()) layer.layer += " " + record.subvolume;
  if (!record.error.empty()) {
    refusal(record, type, entryType, layer);
  } else if (::access(record.mountPath.c_str(), F_OK) != 0) {
    layer.done = "listed";
    layer.why = "not mounted: mounting was not asked for";
  } else if (record.isBound) {
    layer.why = "at " + tidy(record.guestPath);
  } else if (!record.subvolume.empty()) {
    layer.why = "on " + record.mountPath + ", not in the guest's tree: no fstab line names it";
  } else if (record.mountPath != record.initialMountPath) {
    layer.why = "as " + lastComponent(record.mountPath);
  } else {
    layer.why = "on " + record.mountPath + ", not in the guest's tree";
  }
  return layer;
}

// A device that got no record: discovery took it for something else.
kqblk_layer withoutRecord(const std::string& device, const std::string& type,
                          const std::string& entryType, const std::list<kqblk_mountpoint>& mountPoints) {
  kqblk_layer layer{device, type, "skipped", "not looked at"};
  const std::string array = type == "linux_raid_member" ? kqblk_holderNode(device, true) : std::string();
  const std::string mapping = type == "crypto_LUKS" ? kqblk_holderNode(device, false) : std::string();
  if (!array.empty()) {
    layer.done = "taken over";
    layer.why = "member of the md array " + array;
  } else if (!mapping.empty()) {
    layer.done = "opened";
    layer.why = "as " + mapping;
  } else if (type == "LVM2_member") {
    layer.done = "taken over";
    layer.why = "physical volume of a volume group";
  } else if (type == "btrfs") {
    layer.done = "listed";
    layer.why = "a further device of a multi-device btrfs";
    const std::string uuid = kqblk_deviceTag(device, "UUID");
    for (const kqblk_mountpoint& m : mountPoints) {
      if (m.device != device && !uuid.empty() && kqblk_deviceTag(m.device, "UUID") == uuid) {
        layer.why = "a further device of the btrfs mounted from " + m.device;
        break;
      }
    }
  } else if (isDynamicDiskPartition(entryType)) {
    layer.why = "Windows dynamic disk: not supported";
  }
  return layer;
}

void reportVolume(const std::string& device, const std::list<kqblk_mountpoint>& mountPoints,
                  std::list<kqblk_layer>& layers, std::set<std::string>& volumes) {
  if (!volumes.insert(device).second) return;
  const std::string type = kqblk_deviceTag(device, "TYPE");
  const std::string entryType = kqblk_deviceTag(device, "PART_ENTRY_TYPE");
  bool recorded = false;
  for (const kqblk_mountpoint& record : mountPoints) {
    if (record.device != device) continue;
    layers.push_back(ofRecord(record, type, entryType));
    recorded = true;
  }
  if (!recorded) layers.push_back(withoutRecord(device, type, entryType, mountPoints));
  // What was built on it (an array, an opened volume) follows it.
  const std::string above = kqblk_holderNode(device, type == "linux_raid_member");
  if (!above.empty() && (type == "linux_raid_member" || type == "crypto_LUKS")) {
    reportVolume(above, mountPoints, layers, volumes);
  }
}

}  // namespace

std::list<kqblk_layer> KqBlkDiskUtils::reportLayers(
    const std::list<boost::shared_ptr<KqBlkDisk>>& disks,
    const std::list<kqblk_mountpoint>& mountPoints, const std::list<kqblk_vg>& vgs) {
  std::list<kqblk_layer> layers;
  std::set<std::string> volumes;
  for (const boost::shared_ptr<KqBlkDisk>& disk : disks) {
    const std::string device = disk->getDevPath();
    std::list<slice> partitions;
    getPartitions(device.c_str(), &partitions);
    const std::string table = kqblk_deviceTag(device, "PTTYPE");
    if (!table.empty() || !partitions.empty()) {
      layers.push_back({device, table, "listed",
                        std::to_string(partitions.size()) +
                            (partitions.size() == 1 ? " partition" : " partitions")});
    }
    for (const slice& part : partitions) {
      char suffix[30];
      std::snprintf(suffix, sizeof suffix, "%s%d", disk->getPartPrefix().c_str(), part.number);
      reportVolume(device + suffix, mountPoints, layers, volumes);
    }
    if (partitions.empty()) reportVolume(device, mountPoints, layers, volumes);
  }
  // Logical volumes, whose records follow the partitions'.
  for (const kqblk_mountpoint& record : mountPoints) {
    reportVolume(record.device, mountPoints, layers, volumes);
  }
  for (const kqblk_vg& group : vgs) {
    layers.push_back({"/dev/" + group.name, "LVM volume group", "taken over",
                      group.guestName.empty() ? "" : "the guest's " + group.guestName});
  }
  return layers;
}
