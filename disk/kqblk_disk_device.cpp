// Device creation and destruction, and the two backing stores behind it.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "kq_config.h"
#include "kq_fs.h"
#include "kq_sleep.h"
#include "kq_string.h"
#include "kqblk_cache_manager.h"
#include "kqblk_disk.h"
#include "kqblk_store.h"

namespace {
const char kFile[] = "kqblk_disk";
const uint32_t kDefaultDeviceReadyTimeout = 300;
const int kCacheWalkDescriptors = 20;

bool isEmptyDirectory(const std::string& path) {
  KQFindData entry;
  errno = 0;
  return KQFindFirstFile(path, &entry) == nullptr && errno == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

int rmCacheEntry(const char* path, const struct stat*, int type) {
  EvEvent log;
  KqBlkDisk::initLog(log);
  if (type != FTW_F) {
    log.DebugLvl("rmCacheEntry", 4, "Skip non regular file : %s", path);
    return 0;
  }
  CacheManager* cache = KqBlkDisk::gCacheMgr;
  const bool removed = cache && cache->DeleteFromCache(path);
  log.DebugLvl("rmCacheEntry", 4, "Delete from cache : %s. res[%s]", path,
               removed ? "success" : "fail");
  return 0;
}

std::string KqBlkDisk::createKqBlkDev() {
  static const char kFunc[] = "KqBlkDisk::createKqBlkDev";
  if (m_state == STATE_DEVICE_CREATED) {
    throwInvalidState(kFunc, " kqblk device already created", kFile, __LINE__);
  }
  if (m_state != STATE_CONNECTED) {
    throwNeedState(kFunc, " disk needs to be connected", STATE_CONNECTED, kFile, __LINE__);
  }
  std::string errMsg;
  int32_t errCode = 0;
  int line = 0;
  try {
    if (!preparePrivateStore(errMsg, errCode)) {
      line = __LINE__;
    } else if (!prepareRecallStore(errMsg, errCode)) {
      line = __LINE__;
    } else {
      CUxError err = m_driver.createAutoAbortDevice(m_diskUUID, m_privateStore, m_recallStore,
                                                    m_devPath);
      if (err.IsError()) {
        errCode = FXErrorUtil::GetErrNo(err) ? FXErrorUtil::GetErrNo(err) : err.GetErrorCode();
        errMsg = "Failed to create kqblk device " + m_diskUUID + " : err : " + err.AsString();
        line = __LINE__;
      }
    }
  } catch (const KqException& e) {
    errMsg = e.getMessage();
    errCode = e.getCode();
    line = __LINE__;
  } catch (const std::exception& e) {
    errMsg = e.what();
    errCode = -1;
    line = __LINE__;
  }
  if (line != 0) {
    m_recallStore.reset();
    m_privateStore.reset();
    m_devPath.clear();
    throw KqException(kFunc, errMsg, kFile, line, errCode);
  }
  m_state = STATE_DEVICE_CREATED;
  m_deviceMade = true;
  m_log.Debug(kFunc, "Device created @ path : %s", m_devPath.c_str());
  return m_devPath;
}

bool KqBlkDisk::preparePrivateStore(std::string& errMsg, int32_t& errCode) {
  return prepareStore(m_privateExtentSize, "pbstore", errMsg, errCode, m_privateStore);
}

bool KqBlkDisk::prepareRecallStore(std::string& errMsg, int32_t& errCode) {
  return prepareStore(m_recallExtentSize, "rbstore", errMsg, errCode, m_recallStore);
}

bool KqBlkDisk::prepareStore(int32_t extentSize, const std::string& name, std::string& errMsg,
                             int32_t& errCode, std::shared_ptr<KqBlkRecallStore>& storeOut) {
  static const char kFunc[] = "KqBlkDisk::PrepareStore";
  if (!isDirectory(m_dirPath)) {
    errMsg = m_dirPath + " is not a directory";
    return false;
  }
  // Guest data: only root may reach it, and no other user may have put a
  // link or a directory of theirs on the way.
  const std::string dir = m_dirPath + "/" + m_diskUUID + "/" + name;
  std::string why;
  const int dirFd = KqOpenTrustedDir(dir, true, 0700, why);
  if (dirFd < 0) {
    errCode = EACCES;
    errMsg = "Cannot use store directory " + dir + ": " + why;
    return false;
  }
  ::fchmod(dirFd, 0700);  // also one an older version left open to all
  ::close(dirFd);
  // A store whose creation failed leaves its directory empty: nothing to
  // reopen there, so make the store anew.
  const bool reuse = !isEmptyDirectory(dir);
  if (reuse) m_log.Debug(kFunc, "Backing store path [%s] already exists", dir.c_str());
  CUxError err;
  storeOut.reset(reuse ? KqBlkRecallStore::open(dir, err)
                       : KqBlkRecallStore::create(dir, m_diskUUID, m_diskBytes, extentSize,
                                                  err));
  if (!err.IsError() && storeOut != nullptr) {
    // What a reopened recall store holds counts toward the cache's capacity
    // like what this process recalls. Never the private store: the cache
    // would evict written data.
    if (reuse && gCacheMgr && name == "rbstore") gCacheMgr->AdmitStore(*storeOut);
    m_log.Debug(kFunc, "Initialized backing store @ %s\n", dir.c_str());
    return true;
  }
  storeOut.reset();
  errCode = FXErrorUtil::GetErrNo(err);
  errMsg = "Failed to create/open store @ " + dir + ". err: " + err.AsString();
  return false;
}

void KqBlkDisk::destroyKqBlkDev() {
  static const char kFunc[] = "KqBlkDisk::destroyKqBlkDev";
  if (m_diskUUID.empty() || m_devPath.empty()) {
    m_log.Debug(kFunc, "Device was not created successfully. diskUUID or device path is empty.");
    return;
  }
  if (m_state == STATE_MONITORING) {
    throwInvalidState(kFunc, "device thread is still running", kFile, __LINE__);
  }
  if (m_state == STATE_CONNECTED) {
    throwInvalidState(kFunc, " device not created", kFile, __LINE__);
  }

  CUxError err = m_driver.abortDevice(m_diskUUID);
  if (!err.IsError()) {
    m_log.Debug(kFunc, "Device [%s] aborted successfully", m_diskUUID.c_str());
    UXSLEEP_InTeRnAl(gTimings.abortSettleMs, __FILE__, __LINE__);
    for (int attempt = 1; attempt <= gTimings.destroyAttempts; ++attempt) {
      err = m_driver.destroyDevice(m_diskUUID);
      if (!err.IsError()) {
        m_log.Debug(kFunc, "Device [%s] destroyed successfully", m_diskUUID.c_str());
        break;
      }
      if (attempt < gTimings.destroyAttempts) {
        UXSLEEP_InTeRnAl(gTimings.destroyRetryMs, __FILE__, __LINE__);
      }
    }
  }
  std::string failure;
  int failureCode = 0;
  if (err.IsError()) {
    failureCode = FXErrorUtil::GetErrNo(err) ? FXErrorUtil::GetErrNo(err) : err.GetErrorCode();
    failure = "Failed to destroy/abort kqblk device " + m_diskUUID + " : err : " + err.AsString();
  }

  if (gCacheMgr) {
    const std::string rb = m_dirPath + "/" + m_diskUUID + "/rbstore";
    if (!isDirectory(rb)) {
      m_log.Debug(kFunc, "Recall store [%s] is not a directory.", rb.c_str());
    } else {
      m_log.Debug(kFunc, "Start cache cleanup for path [%s]", rb.c_str());
      if (ftw(rb.c_str(), rmCacheEntry, kCacheWalkDescriptors) == -1) {
        m_log.Error(kFunc, "%s",
                    ("Failed to walk directory to delete items in cache [" + rb + "]").c_str());
      }
      m_log.Debug(kFunc, "Done cache cleanup for path [%s]", rb.c_str());
    }
  }

  for (std::shared_ptr<KqBlkRecallStore>* store : {&m_privateStore, &m_recallStore}) {
    if (*store) {
      (*store)->clear();
      store->reset();
    }
  }
  const std::string base = m_dirPath + "/" + m_diskUUID;
  KqBlkBackingStore::remove(base + "/rbstore");
  KqBlkBackingStore::remove(base + "/pbstore");
  rmdir(base.c_str());
  m_state = STATE_INIT;
  m_deviceMade = false;
  if (!failure.empty()) {
    m_log.Error(kFunc,
                "Failed to destroy kqblk device [%s]. Error message [%s], error code [%d]. "
                "Ignoring this error to clear remaining devices.",
                m_diskUUID.c_str(), failure.c_str(), failureCode);
  }
}

void KqBlkDisk::cleanupKqBlkDev(const char* dirPath, const char* name, bool abortOnly) {
  static const char kFunc[] = "KqBlkDisk::cleanupKqBlkDev";
  EvEvent log;
  KqBlkDisk::initLog(log);
  if (name == nullptr || *name == '\0') {
    throw KqException(kFunc, "Failed to delete device: no device name given", kFile, __LINE__,
                      EINVAL);
  }
  KqBlkDriverUnix driver;
  // Without a directory, the stores are where the device's creator recorded
  // them (a process that died took its directory with it); read before the
  // device and its record go.
  std::vector<std::string> stores;
  if (dirPath && *dirPath) {
    const std::string base = std::string(dirPath) + "/" + name;
    stores = {base + "/pbstore", base + "/rbstore"};
  } else if (!abortOnly) {
    stores = KqBlkDriverUnix::storePathsOf(name);
  }
  CUxError err = driver.abortDevice(name);
  if (!err.IsError() && !abortOnly) err = driver.destroyDevice(name);
  if (err.IsError()) {
    if (FXErrorUtil::GetErrNo(err) == ENOENT) {
      log.Debug(kFunc, "%s : Device doesn't exist", name);
    } else {
      throw KqException(kFunc, std::string("Failed to delete device ") + name, kFile, __LINE__,
                        FXErrorUtil::GetErrNo(err) ? FXErrorUtil::GetErrNo(err)
                                                   : err.GetErrorCode());
    }
  }
  if (abortOnly) return;
  for (const std::string& path : stores) {
    const size_t slash = path.rfind('/');
    const std::string base = path.substr(0, slash);
    const std::string store = path.substr(slash + 1);
    CUxError removeErr = KqBlkBackingStore::remove(path);
    if (removeErr.IsError()) {
      log.Debug(kFunc, "%s",
                ("Failed to remove " + store + " @ " + path + ". err: " + removeErr.AsString()).c_str());
    }
    log.Debug(kFunc, "Deleted %s under [%s]", store.c_str(), base.c_str());
  }
  // The recorded stores' own directory: a dead creator cannot remove it, and
  // an empty one is all that is left of the device (rmdir keeps anything else).
  if (!(dirPath && *dirPath) && !stores.empty()) {
    ::rmdir(stores.front().substr(0, stores.front().rfind('/')).c_str());
  }
}

void KqBlkDisk::waitForDeviceReady() {
  static const char kFunc[] = "KqBlkDisk::waitForDeviceReady";
  uint32_t timeout = kDefaultDeviceReadyTimeout;
  KQPlatformInfo::getNumber("Session", "nHLXDeviceReadyTimeout", &timeout);
  CUxError err = m_driver.waitForDeviceReady(m_diskUUID, timeout);
  if (err.IsError()) {
    throw KqException(kFunc, "Device " + m_diskUUID + " is not ready to mount", kFile, __LINE__,
                      FXErrorUtil::GetErrNo(err));
  }
  m_log.Debug(kFunc, "Device %s is ready to mount", m_diskUUID.c_str());
}

void KqBlkDisk::setFileIndexingEnabled(bool enabled) {
  m_fileIndexing = enabled;
  m_log.Debug("KqBlkDisk::IsFileIndexingEnabled", "Purpose of HLX mount is %s",
              enabled ? "File Indexing" : "Live Browse");
}
