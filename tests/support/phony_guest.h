// Phony guests built from a description: disks, their partition tables and
// partitions, file systems with their labels, UUIDs and files, LVM volume
// groups, and the guest's /etc/fstab and SYSTEM hive drawn from where the
// description says each file system is mounted.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/disk_image.h"

// Path inside the file system -> content ("dir/": an empty directory).
using PhonyFiles = std::vector<std::pair<std::string, std::string>>;

// A btrfs subvolume, made in the order given, and where the guest mounts it.
struct PhonySubvolume {
  std::string path;             // from the top level: "@", "@/.snapshots/1/snapshot"
  std::string mountPoint = {};  // "": no fstab line
  PhonyFiles files = {};        // "/" gets the fstab as well
  std::string options = {};     // fstab options; "": subvol=/PATH, or defaults for the default
  std::string snapshotOf = {};  // made as a snapshot of that subvolume, as it is by then
  bool isDefault = false;       // the file system's default subvolume
};

// A file system and where the guest mounts it.
struct PhonyVolume {
  // type "": left blank; "swap": a swap area; "lvm": a physical volume; "md":
  // a member of an array; "luks1", "luks2": a LUKS volume holding `inside`
  FileSystemSpec fs;
  PhonyFiles files = {};
  // Linux: the mount point and how fstab names the device: "UUID", "LABEL"
  // (from `fs`), udev's names "by-uuid", "by-label", "by-partuuid",
  // "by-partlabel" and "dm-name", "dm-uuid" (a logical volume's), or a
  // device path as written. The root file system gets the fstab of all.
  std::string mountPoint = {};
  std::string fstabName = {};
  // Windows: the drive letter in the SYSTEM hive of the C: volume.
  char driveLetter = 0;
  std::vector<PhonySubvolume> subvolumes = {};  // btrfs, each named like the volume
  std::string key = {};                // LUKS: the key (the whole content of a key file)
  std::vector<PhonyVolume> inside = {};  // LUKS: the one volume it holds
};

// An md array over partitions, made without a first resync.
struct PhonyArray {
  std::string level;     // "1", "5", "10"
  std::string metadata;  // "0.90", "1.0", "1.2"
  std::vector<std::pair<int, int>> members;  // disk index and partition number
  int missing = 0;       // members left out: the array is degraded
  std::string uuid = {};  // "": mdadm's own
  PhonyVolume volume = {};
};

struct PhonyPartition {
  std::string entry;  // the partition's sfdisk line: "size=8192, type=83"
  PhonyVolume volume = {};
};

struct PhonyDisk {
  std::string file;  // name of the image in the guest's directory
  uint64_t mebibytes;
  // sfdisk header ("label: dos\nlabel-id: 0x5eed1e55\n"); empty: no table,
  // and the one partition's volume is on the whole disk.
  std::string table;
  std::vector<PhonyPartition> partitions;
};

struct PhonyLogicalVolume {
  std::string name;
  // lvcreate's size and where from: "-L 64M" (the group), "--type thin-pool
  // -L 96M", "-V 48M -T GROUP/POOL"
  std::string size;
  PhonyVolume volume;
};

// Group members that are not partitions: (kPhonyArray, N) is the N-th
// array, (kPhonyOpenedLuks, N) what the N-th LUKS volume holds.
inline constexpr int kPhonyArray = -1;
inline constexpr int kPhonyOpenedLuks = -2;

struct PhonyGroup {
  std::string name;
  // The physical volumes: disk index and partition number (0: whole disk).
  std::vector<std::pair<int, int>> members;
  std::vector<PhonyLogicalVolume> volumes;
  std::vector<std::string> thenRun = {};  // further LVM commands, e.g. snapshots
};

struct PhonyGuestSpec {
  std::vector<PhonyDisk> disks;
  std::vector<PhonyGroup> groups = {};  // LVM: activation needs device-mapper
  std::vector<PhonyArray> arrays = {};  // md: needs the md driver
};

// Mounts a device (or image) for the lifetime of the object.
class ScopedMount {
 public:
  ScopedMount(const std::string& device, const std::string& directory, const std::string& options,
              const std::string& type = "");
  ~ScopedMount();
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  const std::string& path() const { return m_directory; }
  // Unmounts now; throws when the kernel refuses.
  void unmount();

 private:
  std::string m_directory;
  bool m_mounted = false;
};

// Writes `files` below the directory `top`, making their directories.
void writeFiles(const std::string& top, const PhonyFiles& files);
// Makes the file system on `device` and puts `files` on it.
void fillFileSystem(const std::string& device, const FileSystemSpec& fs, const PhonyFiles& files);

class PhonyGuest {
 public:
  // Builds the images in `directory`; they are removed with the object.
  PhonyGuest(const std::string& directory, const PhonyGuestSpec& spec);

  DiskImage& disk(size_t index) { return *m_disks.at(index); }
  std::vector<std::string> paths() const;

  std::map<std::string, std::string> groupUuids;  // group name -> UUID
  std::map<std::string, std::string> pvUuids;     // group name -> its first PV's UUID

 private:
  std::vector<std::unique_ptr<DiskImage>> m_disks;
};
