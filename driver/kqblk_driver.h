// Client of the block driver: devices under /dev/kqblk whose reads of
// extents that neither store holds raise recall requests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kq_error.h"

class KqBlkRecallStore;

class KqBlkDriverUnix {
 public:
  KqBlkDriverUnix();
  ~KqBlkDriverUnix();
  KqBlkDriverUnix(const KqBlkDriverUnix&) = delete;
  KqBlkDriverUnix& operator=(const KqBlkDriverUnix&) = delete;

  // The device shares ownership of its stores: they live as long as it
  // does, whatever its creator does with its own references.
  CUxError createAutoAbortDevice(const std::string& name,
                                 std::shared_ptr<KqBlkRecallStore> privateStore,
                                 std::shared_ptr<KqBlkRecallStore> recallStore,
                                 std::string& devPath);
  // Binds this client to the device's recall requests.
  CUxError monitorDevice(const std::string& name);
  // A descriptor that polls readable while a request is pending and reports
  // an error condition when the device fails.
  CUxError getFD(int& fd);
  // The next requested extent; errno 11 when none is pending.
  CUxError getRecallRequest(const std::string& name, int64_t& extent);
  CUxError recallDone(const std::string& name, int64_t extent);
  // Whether a reader waits for the requested extent: false for read-ahead,
  // whose failure must neither fail a read nor abort the device.
  bool isAwaited(const std::string& name, int64_t extent);
  // Pending and later I/O fail; errno 2 when there is no such device.
  CUxError abortDevice(const std::string& name);
  CUxError destroyDevice(const std::string& name);
  CUxError waitForDeviceReady(const std::string& name, uint32_t seconds);

  // Whether the block device (major, minor) is one the driver made.
  static bool ownsBlockDevice(unsigned major, unsigned minor);
  // The driver devices that (major, minor) is or is built on (device-mapper).
  static std::vector<std::string> devicesUnder(unsigned major, unsigned minor);
  // The process serving the device while it runs (this one included); 0
  // when its server has ended or nothing is known of it.
  static pid_t servingProcess(const std::string& name);
  // The store directories the device was made with, as its creator recorded them.
  static std::vector<std::string> storePathsOf(const std::string& name);
  // The driver's control directory; its absence means the driver is not loaded.
  static const char* controlDirectory();
  // Where the device nodes are: NAME for a disk, NAMEpN for its partitions.
  static const char* nodeDirectory();

 private:
  std::string m_monitored;
  int m_fd = -1;  // this client's duplicate of the monitored device's descriptor
};
