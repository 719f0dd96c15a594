#include "support/guest_request.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iterator>
#include <sstream>
#include <stdexcept>

#include "support/run_tool.h"

void loadDriver() { runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk"); }

RequestEnvironment::RequestEnvironment(const std::string& configDir) {
  KqBlkDisk::gTimings = KqBlkDeviceTimings{100, 1000, 3};
  KqBlkDisk::setCacheManager(&m_cache);
  if (!configDir.empty()) ::mkdir(configDir.c_str(), 0755);
  KqBlkDiskUtils::setConfigDir(configDir.c_str(), false);
}

RequestEnvironment::~RequestEnvironment() {
  KqBlkDisk::setCacheManager(nullptr);
  KqBlkDiskUtils::setConfigDir("", false);
}

GuestRequest::GuestRequest(const std::string& id_, const std::string& dir, const std::vector<std::string>& images,
                           const std::string& prefix)
    : id(id_), mountRoot(dir + "/mnt-" + id_) {
  const std::string stores = dir + "/stores-" + id;
  for (const std::string& sub : {stores, mountRoot}) ::mkdir(sub.c_str(), 0755);
  std::list<std::string> devices;
  for (const std::string& image : images) {
    struct stat st;
    if (::stat(image.c_str(), &st) != 0) throw std::runtime_error("no image " + image);
    const auto bytes = static_cast<uint64_t>(st.st_size);
    m_disks.push_back(std::make_unique<ExposedDisk>(image, bytes, stores));
    // The name is made from the prefix when the parameters are set.
    KqBlkVMInfoDisk& disk = *m_disks.back()->disk;
    disk.setIdPrefix(prefix.empty() ? id + "-" : prefix);
    disk.setDiskParams(1 << 20, static_cast<int64_t>(bytes), 512, image);
    m_disks.back()->expose();
    devices.push_back(m_disks.back()->devPath);
  }
  m_lvm.reset(KqBlkDiskUtils::initLVMConfig(id.c_str(), devices));
}

GuestRequest::~GuestRequest() {
  if (!m_down) tearDown();
}

std::list<boost::shared_ptr<KqBlkDisk>> GuestRequest::handles() const {
  std::list<boost::shared_ptr<KqBlkDisk>> out;
  for (auto& d : m_disks) out.emplace_back(d->disk.get(), [](KqBlkDisk*) {});
  return out;
}

std::vector<std::string> GuestRequest::layers() const {
  std::vector<std::string> lines;
  for (const kqblk_layer& l : KqBlkDiskUtils::reportLayers(handles(), records, vgs)) {
    std::string device = l.device;
    for (size_t i = m_disks.size(); i-- > 0;) {
      if (device.rfind(this->device(i), 0) == 0) device = "disk" + std::to_string(i) + device.substr(this->device(i).size());
    }
    lines.push_back(device + " " + l.layer + ": " + l.done + (l.why.empty() ? "" : ", " + l.why));
  }
  return lines;
}

bool GuestRequest::discoverAndMount(const std::string& root, bool doMount) {
  const std::list<boost::shared_ptr<KqBlkDisk>> handles = this->handles();
  records.clear();
  CUxError err;
  KqBlkDiskUtils::discoverAndMount(root, id, handles, records, vgs, doMount, &err, *m_lvm);
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
  for (size_t i = 0; i < m_disks.size(); ++i) {
    EXPECT_TRUE(KqBlkDiskUtils::takeDownStackedDevices(device(i))) << id << ": " << device(i);
  }
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

ServedRequest::ServedRequest(const std::string& image, const std::string& dir, const std::string& id)
    : server({KQBLK_GUEST_SERVER, image, dir, id}) {
  std::istringstream ready(server.readLine());
  std::string word;
  ready >> word >> device >> root;
  if (word != "ready") throw std::runtime_error("request " + id + " did not start");
}
