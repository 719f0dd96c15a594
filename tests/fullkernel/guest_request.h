// One restore request inside the full-kernel VM: guest images exposed
// through the real driver under an identifier, discovered and mounted under
// a root of its own, and taken down in order: mounts, then the volume
// groups (given back their guest names), then the devices. Whatever is
// still up goes when the object does.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "kqblk_disk_utils.h"
#include "support/disk_image.h"
#include "support/exposed_disk.h"

class GuestRequest {
 public:
  // `dir` holds the request's stores and mount root; the LVM configuration
  // goes under KqBlkDiskUtils::cfgPath, named by `id`.
  GuestRequest(const std::string& id, const std::string& dir, const std::vector<const DiskImage*>& images);
  ~GuestRequest();
  GuestRequest(const GuestRequest&) = delete;
  GuestRequest& operator=(const GuestRequest&) = delete;

  // discoverAndMount; false with `error` set when it failed.
  bool discoverAndMount();
  // The records' mounts, the groups and the devices, in that order; each
  // step reports through gtest what it left. Returns the words of "vgs -o
  // vg_name,vg_exported" as the request saw them just before its devices
  // went (the images themselves never change).
  std::vector<std::string> tearDown();

  // The node of disk `i`.
  const std::string& device(size_t i) const { return m_disks.at(i)->devPath; }
  // Where the guest's root is mounted; empty when none is.
  std::string root() const;
  LVMConfig& lvm() { return *m_lvm; }

  const std::string id, mountRoot;
  std::list<kqblk_mountpoint> records;
  std::list<kqblk_vg> vgs;
  std::string error;

 private:
  std::vector<std::unique_ptr<ExposedDisk>> m_disks;
  std::unique_ptr<LVMConfig> m_lvm;
  bool m_down = false;
};
