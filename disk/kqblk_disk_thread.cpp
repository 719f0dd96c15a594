// The service thread: answers the driver's recall requests from the disk's
// data source.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "kqblk_cache_manager.h"
#include "kqblk_disk.h"
#include "kqblk_store.h"

namespace {
const char kFile[] = "kqblk_disk";
const char kThreadFunc[] = "KqBlkDisk::DeviceThreadFunc";
const int kPollTimeoutMs = 60000;
const int kReadAttempts = 5;
const long kReadSize = 4096;
const int kReadFailureCode = 16;
const int kDriverErrorErrno = 22;
const size_t kCaughtTextSize = 2048;
}  // namespace

void KqBlkDisk::startThread() {
  static const char kFunc[] = "KqBlkDisk::startThread";
  // A disk's thread runs once: a second one would take the first one's stop
  // pipe away from it.
  if (m_thread.isJoinable()) {
    throwInvalidState(kFunc, " driver thread already started", kFile, __LINE__);
  }
  m_threadEvent.reset();
  closePipe();
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    throw KqException(kFunc, "Failed to open pipes for " + m_diskUUID, kFile, __LINE__, errno);
  }
  m_pipeFds[0] = fds[0];
  m_pipeFds[1] = fds[1];
  if (!m_thread.createThread(&KqBlkDisk::DeviceThreadFunc, this)) {
    const int err = errno;
    closePipe();
    throw KqException(kFunc, "Failed to start driver thread for " + m_diskUUID, kFile, __LINE__,
                      err);
  }
  m_log.Debug(kFunc, "Waiting for driver thread to start for %s\n", m_diskUUID.c_str());
  m_threadEvent.wait();
  m_log.Debug(kFunc, "Driver thread started correctly for %s\n", m_diskUUID.c_str());
  m_threadEvent.reset();
}

void KqBlkDisk::stopThread() {
  static const char kFunc[] = "KqBlkDisk::stopThread";
  m_stopRequested = true;
  if (m_diskUUID.empty() || m_devPath.empty() || !m_thread.isJoinable()) {
    // No thread was ever started for this disk: nothing to wait for.
    m_log.Debug(kFunc, "Driver thread not started for this device. ");
    if (m_state == STATE_CONNECTED) {
      disconnect_direct();
      m_log.DebugLvl(kFunc, 0, "Close conn for disk [%s] done", m_diskUUID.c_str());
    }
    return;
  }
  if (m_pipeFds[1] >= 0) {
    const uint64_t one = 1;
    ssize_t written;
    do {
      written = write(m_pipeFds[1], &one, sizeof one);
    } while (written < 0 && errno == EINTR);
  }
  m_log.Debug(kFunc, "Waiting for driver thread to stop for %s\n", m_diskUUID.c_str());
  // The join waits for the thread's last act, setting the event; waiting on
  // the event as well would hang after a start-up failure, whose only signal
  // startThread has already taken.
  m_thread.joinThread(nullptr);
  m_log.Debug(kFunc, "Driver thread stopped completely for %s\n", m_diskUUID.c_str());
  m_state = STATE_DEVICE_CREATED;
}

void* KqBlkDisk::DeviceThreadFunc(void* arg) {
  KqBlkDisk* disk = static_cast<KqBlkDisk*>(arg);
  pthread_setname_np(pthread_self(), "kqblk-service");  // for ps, top and perf
  EvEvent log;
  KqBlkDisk::initLog(log);
  std::string lastCacheMessage;
  int driverFd = -1;
  bool close = true;

  disk->m_lastError = disk->m_driver.monitorDevice(disk->m_diskUUID);
  if (disk->m_lastError.IsError()) goto exit;
  log.Debug(kThreadFunc, "Started monitoring device [%s]\n", disk->m_diskUUID.c_str());
  disk->m_state = STATE_MONITORING;
  disk->m_lastError = disk->m_driver.getFD(driverFd);
  if (disk->m_lastError.IsError()) goto exit;
  log.Debug(kThreadFunc, "Waiting for recall requests \n");
  disk->m_threadEvent.set();

  try {
    for (;;) {
      if (disk->m_stopRequested) break;
      struct pollfd fds[2] = {{driverFd, POLLIN | POLLERR, 0},
                              {disk->m_pipeFds[0], POLLIN | POLLERR, 0}};
      const int n = poll(fds, 2, kPollTimeoutMs);
      if (n < 0) {
        const int err = errno;
        if (err == EINTR || err == EAGAIN) continue;
        FXErrorUtil::PushErrNo(disk->m_lastError, FX_HERE, err);
        disk->m_lastError.Push(FX_HERE, "poll failed with errno %d", err);
        close = false;
        break;
      }
      log.DebugLvl(kThreadFunc, 4, "poll returned\n");
      if (n == 0) {
        log.DebugLvl(kThreadFunc, 4, "poll timedout. Disconnect conn if open");
        if (disk->m_state == STATE_CONNECTED) {
          disk->disconnect_direct();
          log.DebugLvl(kThreadFunc, 4, "Disconnect direct done");
        }
        continue;
      }
      if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) {
        log.DebugLvl(kThreadFunc, 0, "thread termination signaled");
        break;
      }
      if (disk->m_state != STATE_CONNECTED) {
        if (disk->m_stopRequested) {
          log.DebugLvl(kThreadFunc, 0, "poll returned w/o timeout, but thread is being stopped");
          break;
        }
        log.DebugLvl(kThreadFunc, 0, "poll returned w/o timeout and conn needs reconnect");
        disk->connect();
        log.DebugLvl(kThreadFunc, 0, "connect done");
      }
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        log.DebugLvl(kThreadFunc, -1, "Error set on driver fd\n");
        FXErrorUtil::PushErrNo(disk->m_lastError, FX_HERE, kDriverErrorErrno);
        disk->m_lastError.Push(FX_HERE, "Driver raised exception on fd %d", driverFd);
        close = false;
        break;
      }
      if (!(fds[0].revents & POLLIN)) continue;
      log.DebugLvl(kThreadFunc, 4, "Read set on driver fd\n");
      int64_t extent = 0;
      disk->m_lastError = disk->m_driver.getRecallRequest(disk->m_diskUUID, extent);
      if (disk->m_lastError.IsError()) {
        if (FXErrorUtil::GetErrNo(disk->m_lastError) == EAGAIN) {
          disk->m_lastError.Success();
          continue;
        }
        close = false;
        break;
      }
      if (!disk->serveRequest(extent, lastCacheMessage, log)) {
        close = false;
        break;
      }
    }
  } catch (const KqException& e) {
    char text[kCaughtTextSize];
    std::snprintf(text, sizeof text, "Caught Exception [%s][%d][%s]:[%s]\n",
                  e.getFileName().c_str(), e.getLineNum(), e.getFuncName().c_str(),
                  e.getMessage().c_str());
    log.Error(kThreadFunc, "%s  Aborting device [%s]", text, disk->m_diskUUID.c_str());
    KqBlkDriverUnix aborter;
    aborter.abortDevice(disk->m_diskUUID);
  } catch (const std::exception& e) {
    // Anything else escaping the thread would end the whole process.
    log.Error(kThreadFunc, "Caught exception [%s]  Aborting device [%s]", e.what(),
              disk->m_diskUUID.c_str());
    KqBlkDriverUnix aborter;
    aborter.abortDevice(disk->m_diskUUID);
  }

  if (close && disk->m_state == STATE_CONNECTED) {
    disk->disconnect_direct();
    log.DebugLvl(kThreadFunc, 0, "Close conn for disk [%p] done", static_cast<void*>(disk));
  }
exit:
  log.Debug(kThreadFunc, "Returning from thread func for device [%s]\n",
            disk->m_diskUUID.c_str());
  disk->m_threadEvent.set();
  return nullptr;
}

bool KqBlkDisk::serveRequest(int64_t extent, std::string& lastCacheMessage, const EvEvent& log) {
  log.DebugLvl(kThreadFunc, 4, "Got request for extent %lld\n", static_cast<long long>(extent));
  int fd = -1;
  if (!m_recallStore->openExtentFile(extent, 0, fd).IsError()) {
    log.DebugLvl(kThreadFunc, 4, "extent [%lld] already recalled. not invoking readData",
                 static_cast<long long>(extent));
    ::close(fd);
    m_driver.recallDone(m_diskUUID, extent);
    log.DebugLvl(kThreadFunc, 4, "Reported recall completion\n");
    return true;
  }
  const int32_t extentSize = m_recallStore->getExtentSize();
  long size = kReadSize;
  std::unique_ptr<UINT8[]> owned(new UINT8[kReadSize]());
  UINT8* buffer = owned.get();
  bool read = false;
  for (int attempt = 0; attempt < kReadAttempts && !read; ++attempt) {
    read = readData(this, static_cast<long long>(extentSize) * extent, &size, &buffer);
  }
  if (!read && !m_driver.isAwaited(m_diskUUID, extent)) {
    // Read-ahead that no one asked for, perhaps past the source's end: its
    // failure is no reason to fail the device. A reader that asks later
    // recalls it again.
    log.DebugLvl(kThreadFunc, 2, "read-ahead of extent [%lld] failed; dropped",
                 static_cast<long long>(extent));
    m_driver.recallDone(m_diskUUID, extent);
    return true;
  }
  if (!read) {
    disconnect_direct();
    static const char kText[] = "Disconnect direct done upon lib disk read err";
    log.DebugLvl(kThreadFunc, -1, "%s", kText);
    throw KqException(kThreadFunc, kText, kFile, __LINE__, kReadFailureCode);
  }
  if (m_recallExtentSize > size) return true;
  const uint32_t buffers = static_cast<uint32_t>(size / m_recallExtentSize);
  m_recalledExtents += buffers;
  m_recalledBytes += static_cast<uint64_t>(buffers) * static_cast<uint64_t>(extentSize);
  log.DebugLvl(kThreadFunc, 4, "readData returned [%u] buffers of size [%u]", buffers,
               static_cast<unsigned>(m_recallExtentSize));
  for (uint32_t i = 0; i < buffers; ++i) {
    const int64_t e = extent + i;
    log.DebugLvl(kThreadFunc, 4, "readData: processing extent [%lld]", static_cast<long long>(e));
    std::string name;
    m_lastError = m_recallStore->getExtentFileName(e, name);
    if (m_lastError.IsError()) {
      log.DebugLvl(kThreadFunc, -1, "getExtentFileName error : [%s]", m_lastError.AsString().c_str());
    }
    bool moveIn = true;
    if (gCacheMgr) {
      if (!gCacheMgr->UpdateItem(name, static_cast<uint64_t>(extentSize), 0)) {
        const std::string message = "Could not update file [" + name + "] len [" +
                                    std::to_string(extentSize) + "] in cache";
        if (message == lastCacheMessage) {
          log.DebugLvl(kThreadFunc, 2, "%s", message.c_str());
        } else {
          log.DebugLvl(kThreadFunc, -1, "%s", message.c_str());
          lastCacheMessage = message;
        }
        moveIn = false;
      } else {
        log.DebugLvl(kThreadFunc, 4, "Updated extent file [%s] len [%d] in cache", name.c_str(),
                     extentSize);
      }
    }
    std::string tempName;
    std::shared_ptr<std::ostream> stream;
    m_lastError = m_recallStore->openTempFile(tempName, stream);
    if (m_lastError.IsError()) return false;
    stream->write(reinterpret_cast<const char*>(buffer) + static_cast<size_t>(i) * kReadSize,
                  kReadSize);
    stream->flush();
    stream.reset();
    if (moveIn) {
      m_lastError = m_recallStore->moveInExtentFile(tempName, e);
      if (m_lastError.IsError()) m_recallStore->removeTempFile(tempName);
    } else {
      log.DebugLvl(kThreadFunc, -1, "Cache Full. Cannot move in additional extents!");
      m_recallStore->removeTempFile(tempName);
    }
    log.DebugLvl(kThreadFunc, 4, "Wrote extent file \n");
    m_driver.recallDone(m_diskUUID, e);
    log.DebugLvl(kThreadFunc, 4, "Reported recall completion\n");
  }
  return true;
}
