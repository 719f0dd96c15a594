#include "fullkernel/guest_request.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

GuestRequest::GuestRequest(const std::string& id_, const std::string& dir,
                           const std::vector<const DiskImage*>& images)
    : id(id_), mountRoot(dir + "/mnt-" + id_) {
  const std::string stores = dir + "/stores-" + id;
  for (const std::string& sub : {stores, mountRoot}) ::mkdir(sub.c_str(), 0755);
  std::list<std::string> devices;
  for (const DiskImage* image : images) {
    m_disks.push_back(std::make_unique<ExposedDisk>(image->path(), image->sizeBytes(), stores));
    m_disks.back()->expose();
    devices.push_back(m_disks.back()->devPath);
  }
  m_lvm.reset(KqBlkDiskUtils::initLVMConfig(id.c_str(), devices));
}

GuestRequest::~GuestRequest() {
  if (!m_down) tearDown();
}

bool GuestRequest::discoverAndMount() {
  std::list<boost::shared_ptr<KqBlkDisk>> handles;
  for (auto& d : m_disks) handles.emplace_back(d->disk.get(), [](KqBlkDisk*) {});
  CUxError err;
  KqBlkDiskUtils::discoverAndMount(mountRoot, id, handles, records, vgs, true, &err, *m_lvm);
  error = err.IsError() ? err.AsString() : std::string();
  return error.empty();
}

void GuestRequest::tearDown() {
  m_down = true;
  std::list<kqblk_mountpoint> mounted;
  for (const kqblk_mountpoint& m : records) {
    if (m.error.empty()) mounted.push_back(m);
  }
  KqBlkDiskUtils::cleanupMountPoints(mountRoot, mounted);
  for (const kqblk_mountpoint& m : mounted) ADD_FAILURE() << id << ": still mounted " << m.mountPath;
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(vgs, m_lvm.get(), true), 0) << id;
  m_disks.clear();  // each device destroyed
  m_lvm.reset();
}

std::string GuestRequest::root() const {
  for (const kqblk_mountpoint& r : records) {
    if (r.isRoot) return r.mountPath;
  }
  return std::string();
}
