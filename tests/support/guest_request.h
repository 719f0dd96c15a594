// One restore request as the tests run it, in the test's own process or in
// the guest server's: guest images exposed through the real driver under an
// identifier, discovered and mounted under a root of its own, and taken
// down in order: mounts, then the volume groups (given back their guest
// names), then the devices. Whatever is still up goes when the object does.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "kqblk_cache_manager.h"
#include "kqblk_disk_utils.h"
#include "support/child_process.h"
#include "support/exposed_disk.h"

// Loads the driver from the source tree; throws when it cannot.
void loadDriver();

// What requests run in while the object lives: short device timings, a
// 1 GiB block cache and, given a directory, their LVM configurations there.
class RequestEnvironment {
 public:
  explicit RequestEnvironment(const std::string& configDir = "");
  ~RequestEnvironment();
  RequestEnvironment(const RequestEnvironment&) = delete;
  RequestEnvironment& operator=(const RequestEnvironment&) = delete;

 private:
  CacheManager m_cache{1ull << 30};
};

class GuestRequest {
 public:
  // `dir` holds the request's stores and mount root (stores-ID, mnt-ID).
  // The devices are named from `prefix`, by default "ID-", so that two
  // requests can expose one image.
  GuestRequest(const std::string& id, const std::string& dir, const std::vector<std::string>& images,
               const std::string& prefix = "");
  ~GuestRequest();
  GuestRequest(const GuestRequest&) = delete;
  GuestRequest& operator=(const GuestRequest&) = delete;

  // discoverAndMount below mountRoot; false with `error` set when it failed.
  bool discoverAndMount() { return discoverAndMount(mountRoot, true); }
  // The same below `root`; without `doMount` the volumes are only recorded.
  // Each run's records replace the last run's.
  bool discoverAndMount(const std::string& root, bool doMount);
  // The records' mounts, the groups and the devices, in that order; each
  // step reports through gtest what it left. Returns the words of "vgs -o
  // vg_name,vg_exported" as the request saw them just before its devices
  // went (the images themselves never change).
  std::vector<std::string> tearDown();

  // The report of every layer, a line each: "DEVICE LAYER: DONE, WHY",
  // DEVICE from "disk0" for the first disk's node.
  std::vector<std::string> layers() const;
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
  std::list<boost::shared_ptr<KqBlkDisk>> handles() const;

  std::vector<std::unique_ptr<ExposedDisk>> m_disks;
  std::unique_ptr<LVMConfig> m_lvm;
  bool m_down = false;
};

// A request served by the guest server, a process of its own, with its
// stores, mounts and LVM configuration under `dir`; ready once constructed.
struct ServedRequest {
  ServedRequest(const std::string& image, const std::string& dir, const std::string& id);
  // The device's name.
  std::string name() const { return device.substr(device.rfind('/') + 1); }
  Child server;
  std::string device, root;  // root: where the guest's root is mounted
};
