// The process-wide registry of the driver devices this process serves, and
// the operations that make, abort and remove devices, also those that a
// process that has ended left behind.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kq_error.h"
#include "kqblk_engine_blockdev.h"
#include "kqblk_engine_fuse.h"
#include "kqblk_engine_io.h"
#include "kqblk_engine_queue.h"

class KqBlkRecallStore;

struct KqBlkEngineDevice {
  KqBlkEngineDevice(const std::string& deviceName, std::shared_ptr<KqBlkRecallStore> privateStore,
                    std::shared_ptr<KqBlkRecallStore> recallStore)
      : name(deviceName),
        privateStore(std::move(privateStore)),
        recallStore(std::move(recallStore)),
        io(this->privateStore.get(), this->recallStore.get(), queue) {}

  const std::string name;
  // Declared first so they go last: every server thread and the loop
  // device may still reach them until the device itself is gone.
  const std::shared_ptr<KqBlkRecallStore> privateStore;
  const std::shared_ptr<KqBlkRecallStore> recallStore;
  KqBlkRecallQueue queue;
  KqBlkExtentIO io;
  KqBlkFuseServer fuse;
  KqBlkBlockDev::Loop loop;
  bool attached = false;  // the loop device still holds the FUSE file
  std::mutex mutex;       // partition registration and teardown
};

class KqBlkEngine {
 public:
  static KqBlkEngine& instance();

  CUxError create(const std::string& name, std::shared_ptr<KqBlkRecallStore> privateStore,
                  std::shared_ptr<KqBlkRecallStore> recallStore, std::string& devPath);
  // Null when this process serves no such device.
  std::shared_ptr<KqBlkEngineDevice> find(const std::string& name);
  CUxError abort(const std::string& name);
  CUxError destroy(const std::string& name);
  CUxError waitReady(const std::string& name, uint32_t seconds);

 private:
  KqBlkEngine() = default;
  CUxError abortLeftBehind(const std::string& name);
  CUxError destroyLeftBehind(const std::string& name);
  // Deletes partitions and nodes and detaches the loop device.
  CUxError releaseBlockDevice(const std::string& name, const KqBlkBlockDev::Loop& loop);
  CUxError checkNotBusy(const std::string& name, const KqBlkBlockDev::Loop& loop);
  void forget(const std::string& name);

  std::mutex m_registryMutex;  // short lookups only
  std::map<std::string, std::shared_ptr<KqBlkEngineDevice>> m_devices;
  std::mutex m_adminMutex;  // serialises create and destroy
  // Devices whose server threads would not end: kept, never freed under them.
  std::vector<std::shared_ptr<KqBlkEngineDevice>> m_stranded;
};
