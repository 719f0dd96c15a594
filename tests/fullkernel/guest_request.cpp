#include "fullkernel/guest_request.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iterator>
#include <sstream>

GuestRequest::GuestRequest(const std::string& id_, const std::string& dir,
                           const std::vector<const DiskImage*>& images)
    : id(id_), mountRoot(dir + "/mnt-" + id_) {
  const std::string stores = dir + "/stores-" + id;
  for (const std::string& sub : {stores, mountRoot}) ::mkdir(sub.c_str(), 0755);
  std::list<std::string> devices;
  for (const DiskImage* image : images) {
    m_disks.push_back(std::make_unique<ExposedDisk>(image->path(), image->sizeBytes(), stores));
    // Named by the request, so that two requests can expose one image.
    KqBlkVMInfoDisk& disk = *m_disks.back()->disk;
    disk.setIdPrefix(id + "-");
    disk.setDiskParams(1 << 20, static_cast<int64_t>(image->sizeBytes()), 512, image->path());
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

std::vector<std::string> GuestRequest::tearDown() {
  m_down = true;
  std::list<kqblk_mountpoint> mounted;
  for (const kqblk_mountpoint& m : records) {
    if (m.error.empty()) mounted.push_back(m);
  }
  KqBlkDiskUtils::cleanupMountPoints(mountRoot, mounted);
  for (const kqblk_mountpoint& m : mounted) ADD_FAILURE() << id << ": still mounted " << m.mountPath;
  EXPECT_EQ(KqBlkDiskUtils::cleanupVGs(vgs, m_lvm.get(), true), 0) << id;
  std::string out, err;
  KqBlkDiskUtils::runLVMCmd("vgs --noheadings -o vg_name,vg_exported", out, err, true, m_lvm.get());
  m_disks.clear();  // each device destroyed
  m_lvm.reset();
  std::istringstream words(out);
  return {std::istream_iterator<std::string>(words), {}};
}

std::string GuestRequest::root() const {
  for (const kqblk_mountpoint& r : records) {
    if (r.isRoot) return r.mountPath;
  }
  return std::string();
}
