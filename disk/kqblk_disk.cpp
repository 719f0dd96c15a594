// The disk object: construction, identity, state checks, connect and
// disconnect, destruction.
#include "kqblk_disk.h"

#include <unistd.h>

#include <cstdio>

#include "kq_md5.h"
#include "kqblk_store.h"

namespace {
const char kFile[] = "kqblk_disk";
const size_t kStateTextMax = 255;  // at most 254 characters and the terminator
}  // namespace

CacheManager* KqBlkDisk::gCacheMgr = nullptr;
KqBlkDeviceTimings KqBlkDisk::gTimings;

void KqBlkDisk::initLog(EvEvent& log) {
  if (!log.initialize(2, 0x4C7C353F, 0, nullptr, "")) {
    std::printf("Cannot initialize EvEvent!\n");
    std::fflush(stdout);
  }
}

KqBlkDisk::KqBlkDisk(const std::string& diskPath, const std::string& dirPath)
    : m_dirPath(dirPath), m_diskPath(diskPath) {
  initLog(m_log);
  m_log.Error("KqBlkDisk::KqBlkDisk", "Called constructor [%s][%s]", diskPath.c_str(),
              dirPath.c_str());
}

KqBlkDisk::KqBlkDisk(const KqBlkDisk& other)
    : m_dirPath(other.m_dirPath), m_diskPath(other.m_diskPath) {
  initLog(m_log);
  if (other.m_state != STATE_INIT) {
    // Report against the source: it is the one in the wrong state.
    char text[kStateTextMax];
    std::snprintf(text, sizeof text, "%s: need state %d, curr(%d)", "Cannot copy object",
                  STATE_INIT, static_cast<int>(other.m_state));
    throw KqException("KqBlkDisk::KqBlkDisk(copyctr)", other.m_diskPath + text, kFile, __LINE__,
                      -1);
  }
}

void KqBlkDisk::throwNeedState(const char* function, const char* message, int needed,
                               const char* file, int line) const {
  char text[kStateTextMax];
  std::snprintf(text, sizeof text, "%s: need state %d, curr(%d)", message, needed,
                static_cast<int>(m_state));
  throw KqException(function, m_diskPath + text, file, line, -1);
}

void KqBlkDisk::throwInvalidState(const char* function, const char* message, const char* file,
                                  int line) const {
  char text[kStateTextMax];
  std::snprintf(text, sizeof text, "%s: state %d invalid", message, static_cast<int>(m_state));
  throw KqException(function, m_diskPath + text, file, line, -1);
}

void* KqBlkDisk::getDiskHdl() { return nullptr; }

void KqBlkDisk::setDiskPath(const std::string& path) {
  if (m_state != STATE_INIT) {
    throwNeedState("KqBlkDisk::setDiskPath", " cannot set disk path", STATE_INIT, kFile, __LINE__);
  }
  m_diskPath = path;
}

void KqBlkDisk::connect() {
  if (m_state == STATE_CONNECTED) {
    throwInvalidState("KqBlkDisk::connect", " already connected", kFile, __LINE__);
  }
  m_connected = false;
}

void KqBlkDisk::disconnect() {
  m_log.Debug("KqBlkDisk::disconnect", "invoked while state=[%d]", static_cast<int>(m_state));
  if (m_state == STATE_DEVICE_CREATED) {
    throwInvalidState("KqBlkDisk::disconnect", " need to destroy kqblk device first", kFile,
                      __LINE__);
  }
  if (m_state != STATE_CONNECTED) {
    throwNeedState("KqBlkDisk::disconnect", " not connected", STATE_CONNECTED, kFile, __LINE__);
  }
  m_state = STATE_INIT;
}

void KqBlkDisk::disconnect_direct() {
  m_log.Debug("KqBlkDisk::disconnect_direct", "invoked while state=[%d]",
              static_cast<int>(m_state));
  m_state = STATE_INIT;
}

bool KqBlkDisk::readData(KqBlkDisk*, long long, long*, UINT8**) { return false; }

void KqBlkDisk::setSpecialOpts(ctxOType, HLXCtxSpecialOpts&) {}

void KqBlkDisk::printSpecialOpts(ctxOType, HLXCtxSpecialOpts&, std::string&) {}

bool KqBlkDisk::setDiskParams(int64_t, int64_t, uint32_t, std::string) { return true; }

void KqBlkDisk::addToBrowseStructList(int64_t, int64_t, uint32_t, std::string, std::string,
                                      uint64_t) {}

void KqBlkDisk::insertDiskPath(std::string) {}

bool KqBlkDisk::writeBackChanges() { return false; }

std::string KqBlkDisk::getPartPrefix() { return "p"; }

CUxError KqBlkDisk::updateExtentFlag(bool) { return CUxError(); }

void KqBlkDisk::setDirPath(const std::string& path) {
  if (m_state == STATE_DEVICE_CREATED) {
    throwInvalidState("KqBlkDisk::setDirPath", " cannot set dir path", kFile, __LINE__);
  }
  m_dirPath = path;
}

namespace {
// The identifier names the device node and the store directory: a name that
// could not be one file name is hashed like a long one.
bool usableAsFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}
}  // namespace

void KqBlkDisk::setIdPrefix(const std::string& prefix) {
  if (m_state == STATE_CONNECTED) {
    throwInvalidState("KqBlkDisk::setIdPrefix", " cannot set idPrefix", kFile, __LINE__);
  }
  // It starts hashed names, which become directories in the store directory.
  if (!prefix.empty() && (!usableAsFileName(prefix) || prefix.size() > 63)) {
    throw KqException("KqBlkDisk::setIdPrefix", m_diskPath + " invalid idPrefix [" + prefix + "]",
                      kFile, __LINE__, EINVAL);
  }
  m_idPrefix = prefix;
}

std::string& KqBlkDisk::setDiskUUID(std::string uuid) {
  // The name is the device's: renamed, the disk could no longer abort or
  // destroy the device it made.
  if (hasDevice()) {
    throwInvalidState("KqBlkDisk::setDiskUUID", " cannot rename a disk that has a device", kFile,
                      __LINE__);
  }
  if (uuid.size() > 63 || !usableAsFileName(uuid)) {
    // Long names are hashed so the device and store names stay short.
    CMd5 md5;
    md5.Start();
    md5.Process(uuid.data(), uuid.size());
    md5.End();
    uint8_t code[16];
    md5.GetCode(code);
    std::string hashed = m_idPrefix;
    for (uint8_t b : code) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02X", b);
      hashed += hex;
    }
    uuid = hashed;
  }
  m_diskUUID = uuid;
  return m_diskUUID;
}

void KqBlkDisk::setCacheManager(CacheManager* manager) { gCacheMgr = manager; }

CacheManager* KqBlkDisk::getCacheManager() { return gCacheMgr; }

void KqBlkDisk::closePipe() {
  for (int32_t& fd : m_pipeFds) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

KqBlkDisk::~KqBlkDisk() {
  const KqBlkDiskState state = m_state;
  m_log.Debug("~KqBlkDisk", "Invoked for [%p] while state=[%d]", static_cast<void*>(this),
              static_cast<int>(state));
  // The base versions: a subclass's part of the object is already gone.
  try {
    switch (state) {
      case STATE_MONITORING:
        KqBlkDisk::stopThread();
        KqBlkDisk::destroyKqBlkDev();
        KqBlkDisk::disconnect();
        break;
      case STATE_DEVICE_CREATED:
        KqBlkDisk::destroyKqBlkDev();
        KqBlkDisk::disconnect();
        break;
      case STATE_CONNECTED:
        // Connecting again (a write-back, the service thread's reconnect)
        // puts a disk with a device into state 1: the device must go too.
        if (hasDevice()) {
          KqBlkDisk::stopThread();
          m_state = STATE_DEVICE_CREATED;
          KqBlkDisk::destroyKqBlkDev();
          break;
        }
        KqBlkDisk::disconnect();
        break;
      default:
        break;
    }
  } catch (const KqException& e) {
    m_log.Debug("~KqBlkDisk", "%s disk %s KqException caught %s\n", "~KqBlkDisk",
                m_diskPath.c_str(), e.getMessage().c_str());
  } catch (...) {
    m_log.Error("~KqBlkDisk", "%s disk %s unexpected exception caught", "~KqBlkDisk",
                m_diskPath.c_str());
  }
  // A service thread that is still running would use a dead object.
  if (m_thread.isJoinable()) {
    try {
      KqBlkDisk::stopThread();
    } catch (...) {
    }
  }
  closePipe();
}
