// Progress reports of a request, the names of its steps, and the block cache
// the requests of one process share.
#include "kq_error.h"
#include "kq_log.h"
#include "kqblk_request_state.h"

namespace {

const char kFunc[] = "KqBlkRequest";

}  // namespace

const char* kqblkStepName(KqBlkStep step) {
  switch (step) {
    case KqBlkStep::Checking: return "checking the request";
    case KqBlkStep::LoadingDriver: return "loading the driver";
    case KqBlkStep::Exposing: return "exposing";
    case KqBlkStep::Discovering: return "discovering and mounting";
    case KqBlkStep::Reporting: return "reporting the layers";
    case KqBlkStep::Serving: return "serving";
    case KqBlkStep::Unmounting: return "unmounting";
    case KqBlkStep::ReleasingGroups: return "releasing the volume groups";
    case KqBlkStep::StoppingStacked: return "stopping md arrays and LUKS volumes";
    case KqBlkStep::WritingBack: return "writing back";
    case KqBlkStep::RemovingDevices: return "removing the devices";
    case KqBlkStep::Done: return "done";
  }
  return "?";
}

void KqBlkProgressReporter::setCallback(KqBlkProgressCallback callback) {
  std::lock_guard<std::mutex> lock(m_callMutex);
  m_callback = std::move(callback);
}

void KqBlkProgressReporter::startTicking(std::function<void(KqBlkProgress&)> count) {
  stopTicking();
  m_count = std::move(count);
  std::lock_guard<std::mutex> lock(m_tickMutex);
  m_ticking = true;
  m_ticker = std::thread([this] { tickLoop(); });
}

void KqBlkProgressReporter::stopTicking() {
  {
    std::lock_guard<std::mutex> lock(m_tickMutex);
    m_ticking = false;
  }
  m_wake.notify_all();
  if (m_ticker.joinable()) m_ticker.join();
}

void KqBlkProgressReporter::begin(KqBlkStep step, const std::string& disk) {
  std::lock_guard<std::mutex> lock(m_callMutex);
  m_current = KqBlkProgress{step, disk, 0, 0, false};
  if (m_count) m_count(m_current);
  if (m_callback) m_callback(m_current);
}

void KqBlkProgressReporter::beginQuietly(KqBlkStep step, const std::string& disk) {
  try {
    begin(step, disk);
  } catch (...) {
    EvDebug::Error(kFunc, "The progress report of %s failed: %s", kqblkStepName(step),
                   kqCurrentExceptionText().c_str());
  }
}

void KqBlkProgressReporter::tickLoop() {
  std::unique_lock<std::mutex> tick(m_tickMutex);
  while (!m_wake.wait_for(tick, std::chrono::milliseconds(500), [this] { return !m_ticking; })) {
    tick.unlock();
    {
      std::lock_guard<std::mutex> lock(m_callMutex);
      KqBlkProgress now = m_current;
      now.tick = true;
      now.bytesRecalled = now.bytesWrittenBack = 0;
      if (m_count) m_count(now);
      try {
        if (m_callback) m_callback(now);
      } catch (...) {
        EvDebug::Error(kFunc, "A progress tick failed: %s", kqCurrentExceptionText().c_str());
      }
    }
    tick.lock();
  }
}

std::shared_ptr<CacheManager> kqblk_sharedCache() {
  static std::mutex mutex;
  static std::weak_ptr<CacheManager> shared;
  std::lock_guard<std::mutex> lock(mutex);
  std::shared_ptr<CacheManager> cache = shared.lock();
  if (cache) return cache;
  if (KqBlkDisk::getCacheManager() != nullptr) return nullptr;  // the caller's own
  cache.reset(new CacheManager(), [](CacheManager* c) {
    std::lock_guard<std::mutex> held(mutex);
    if (KqBlkDisk::getCacheManager() == c) KqBlkDisk::setCacheManager(nullptr);
    delete c;
  });
  KqBlkDisk::setCacheManager(cache.get());
  shared = cache;
  return cache;
}
