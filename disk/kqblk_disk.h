// One virtual disk of the protected machine: identity, paths, the driver
// client that exposes it as a block device, its two backing stores, the
// service thread that answers recall requests and the state every public
// operation checks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "kq_error.h"
#include "kq_log.h"
#include "kq_sync.h"
#include "kqblk_context.h"
#include "kqblk_driver.h"

class CacheManager;
class KqBlkRecallStore;

typedef int32_t KqBlkDiskState;
enum : KqBlkDiskState {
  STATE_INIT = 0,
  STATE_CONNECTED = 1,
  STATE_DEVICE_CREATED = 2,
  STATE_MONITORING = 3,
};

// Pauses of device teardown; tests shorten them.
struct KqBlkDeviceTimings {
  uint32_t abortSettleMs = 2000;    // after an abort, before the first destroy
  uint32_t destroyRetryMs = 30000;  // between destroy attempts
  int destroyAttempts = 5;
};

class KqBlkDisk {
 public:
  KqBlkDisk(const std::string& diskPath, const std::string& dirPath);
  KqBlkDisk(const KqBlkDisk& other);
  KqBlkDisk& operator=(const KqBlkDisk&) = delete;

  virtual void* getDiskHdl();
  virtual void setDiskPath(const std::string& path);
  virtual std::string createKqBlkDev();
  virtual void destroyKqBlkDev();
  virtual void startThread();
  virtual void stopThread();
  virtual void connect();
  virtual void disconnect();
  virtual void disconnect_direct();
  virtual bool readData(KqBlkDisk* disk, long long offset, long* size, UINT8** buffer);
  virtual void setSpecialOpts(ctxOType type, HLXCtxSpecialOpts& options);
  virtual void printSpecialOpts(ctxOType type, HLXCtxSpecialOpts& options, std::string& out);
  virtual bool setDiskParams(int64_t blockExtentSize, int64_t diskSizeInBytes, uint32_t sectorSize,
                             std::string name);
  virtual void addToBrowseStructList(int64_t, int64_t, uint32_t, std::string, std::string, uint64_t);
  virtual void insertDiskPath(std::string path);
  virtual bool writeBackChanges();
  virtual std::string getPartPrefix();
  virtual CUxError updateExtentFlag(bool flag);
  virtual void waitForDeviceReady();
  virtual ~KqBlkDisk();

  void setDirPath(const std::string& path);
  void setIdPrefix(const std::string& prefix);
  std::string& setDiskUUID(std::string uuid);
  static void setCacheManager(CacheManager* manager);
  static CacheManager* getCacheManager();
  std::string getDevPath() const { return m_devPath; }
  // From a successful createKqBlkDev until destroyKqBlkDev, whatever the
  // state. A guest disk's device path is no device of the driver's.
  bool hasDevice() const { return m_deviceMade; }
  KqBlkRecallStore* getPrivateStore() const { return m_privateStore.get(); }
  KqBlkRecallStore* getRecallStore() const { return m_recallStore.get(); }
  // What the service thread fetched from the source so far.
  uint64_t recalledExtents() const { return m_recalledExtents; }
  uint64_t recalledBytes() const { return m_recalledBytes; }
  // What writeBackChanges wrote to the source so far.
  uint64_t writtenBackBytes() const { return m_writtenBackBytes; }
  KqBlkDiskState getState() const { return m_state; }
  const std::string& getDiskUUID() const { return m_diskUUID; }
  const std::string& getDiskPath() const { return m_diskPath; }
  bool isConnected() const { return m_connected; }
  const CUxError& getLastError() const { return m_lastError; }

  void setFileIndexingEnabled(bool enabled);
  // Removes the device `name` left by an earlier process and its stores.
  static void cleanupKqBlkDev(const char* dirPath, const char* name, bool abortOnly);

  bool preparePrivateStore(std::string& errMsg, int32_t& errCode);
  bool prepareRecallStore(std::string& errMsg, int32_t& errCode);
  bool prepareStore(int32_t extentSize, const std::string& name, std::string& errMsg,
                    int32_t& errCode, std::shared_ptr<KqBlkRecallStore>& storeOut);

  static void* DeviceThreadFunc(void* disk);
  // Opens a log channel the way every part of a disk does.
  static void initLog(EvEvent& log);

  static CacheManager* gCacheMgr;
  static KqBlkDeviceTimings gTimings;

 protected:
  // State checks: throw KqException(function, m_diskPath + text, file, line, -1).
  [[noreturn]] void throwNeedState(const char* function, const char* message, int needed,
                                   const char* file, int line) const;
  [[noreturn]] void throwInvalidState(const char* function, const char* message, const char* file,
                                      int line) const;

  std::string m_dirPath;
  // Shared with the device, which may outlive this object's hold on them
  // (a destroy that failed, a device left for the crash sweep).
  std::shared_ptr<KqBlkRecallStore> m_privateStore;
  std::shared_ptr<KqBlkRecallStore> m_recallStore;
  KqBlkDriverUnix m_driver;
  KqThread m_thread;
  KqEvent m_threadEvent{true};
  int32_t m_pipeFds[2] = {-1, -1};
  std::string m_devPath;
  std::string m_diskPath;
  std::string m_idPrefix;
  std::string m_diskUUID;
  int64_t m_numSectors = 0;
  int64_t m_diskBytes = 0;  // the device's size: sectors need not be 512 bytes
  bool m_deviceMade = false;
  CUxError m_lastError;
  // Written by the caller and the service thread: atomic, so each sees the
  // other's writes without a lock.
  std::atomic<bool> m_stopRequested{false};
  std::atomic<KqBlkDiskState> m_state{STATE_INIT};
  std::atomic<bool> m_connected{false};
  int32_t m_privateExtentSize = 4096;
  int32_t m_recallExtentSize = 4096;
  std::atomic<uint64_t> m_recalledExtents{0};
  std::atomic<uint64_t> m_recalledBytes{0};
  std::atomic<uint64_t> m_writtenBackBytes{0};
  bool m_fileIndexing = false;
  EvEvent m_log;

 private:
  // Serves one recall request; false when the thread must end (no
  // temporary file could be made). Throws when the source cannot be read.
  bool serveRequest(int64_t extent, std::string& lastCacheMessage, const EvEvent& log);
  void closePipe();
};
