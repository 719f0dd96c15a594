// The driver client: a thin face over the process-wide engine. Devices
// belong to the engine, not to a client, so that short-lived clients (clean-
// up, the service thread's aborter) act on the same devices.
#include "kqblk_driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "kqblk_engine.h"
#include "kqblk_engine_blockdev.h"
#include "kqblk_engine_owner.h"
#include "kqblk_engine_paths.h"

namespace {

CUxError noDevice(const std::string& name) {
  return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "no device %s", name.c_str());
}

}  // namespace

KqBlkDriverUnix::KqBlkDriverUnix() = default;

KqBlkDriverUnix::~KqBlkDriverUnix() {
  if (m_fd >= 0) ::close(m_fd);
}

CUxError KqBlkDriverUnix::createAutoAbortDevice(const std::string& name,
                                                std::shared_ptr<KqBlkRecallStore> privateStore,
                                                std::shared_ptr<KqBlkRecallStore> recallStore,
                                                std::string& devPath) {
  return KqBlkEngine::instance().create(name, std::move(privateStore), std::move(recallStore),
                                        devPath);
}

CUxError KqBlkDriverUnix::monitorDevice(const std::string& name) {
  if (!KqBlkEngine::instance().find(name)) return noDevice(name);
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_monitored = name;
  return CUxError();
}

CUxError KqBlkDriverUnix::getFD(int& fd) {
  if (m_monitored.empty()) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "no device is monitored by this client");
  }
  if (m_fd < 0) {
    std::shared_ptr<KqBlkEngineDevice> dev = KqBlkEngine::instance().find(m_monitored);
    if (!dev) return noDevice(m_monitored);
    // A duplicate of our own: it stays valid (reporting POLLHUP) even after
    // the device is destroyed under a thread that still polls it.
    m_fd = ::fcntl(dev->queue.notifyFd(), F_DUPFD_CLOEXEC, 0);
    if (m_fd < 0) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot duplicate the descriptor of %s",
                                     m_monitored.c_str());
    }
  }
  fd = m_fd;
  return CUxError();
}

CUxError KqBlkDriverUnix::getRecallRequest(const std::string& name, int64_t& extent) {
  std::shared_ptr<KqBlkEngineDevice> dev = KqBlkEngine::instance().find(name);
  if (!dev) return noDevice(name);
  if (dev->queue.aborted()) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "device %s is aborted", name.c_str());
  }
  if (!dev->queue.pop(extent)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, EAGAIN, "no recall request is pending for %s",
                                   name.c_str());
  }
  return CUxError();
}

CUxError KqBlkDriverUnix::recallDone(const std::string& name, int64_t extent) {
  std::shared_ptr<KqBlkEngineDevice> dev = KqBlkEngine::instance().find(name);
  if (!dev) return noDevice(name);
  dev->io.recallDone(extent);
  return CUxError();
}

bool KqBlkDriverUnix::isAwaited(const std::string& name, int64_t extent) {
  std::shared_ptr<KqBlkEngineDevice> dev = KqBlkEngine::instance().find(name);
  return dev && dev->queue.awaited(extent);
}

CUxError KqBlkDriverUnix::abortDevice(const std::string& name) {
  return KqBlkEngine::instance().abort(name);
}

CUxError KqBlkDriverUnix::destroyDevice(const std::string& name) {
  return KqBlkEngine::instance().destroy(name);
}

CUxError KqBlkDriverUnix::waitForDeviceReady(const std::string& name, uint32_t seconds) {
  return KqBlkEngine::instance().waitReady(name, seconds);
}

bool KqBlkDriverUnix::ownsBlockDevice(unsigned major, unsigned minor) {
  return KqBlkBlockDev::ownedByDriver(major, minor);
}

std::vector<std::string> KqBlkDriverUnix::devicesUnder(unsigned major, unsigned minor) {
  return KqBlkBlockDev::driverDevicesUnder(major, minor);
}

pid_t KqBlkDriverUnix::servingProcess(const std::string& name) {
  if (KqBlkEngine::instance().find(name)) return ::getpid();
  return KqBlkOwner::liveServer(name);
}

std::vector<std::string> KqBlkDriverUnix::storePathsOf(const std::string& name) {
  return KqBlkOwner::storePaths(name);
}

const char* KqBlkDriverUnix::controlDirectory() { return KqBlkPaths::kControlDir; }

const char* KqBlkDriverUnix::nodeDirectory() { return KqBlkPaths::kNodeDir; }
