// What a KqBlkRequest holds while it runs, shared by its start, its
// progress reports and its teardown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kqblk_cache_manager.h"
#include "kqblk_lvm_config.h"
#include "kqblk_request.h"
#include "kqblk_vg_identity.h"

// Reports progress: each step's first report on the caller's thread, and
// ticks every half second from a thread of its own while a run lasts. The
// callback never runs twice at once.
class KqBlkProgressReporter {
 public:
  KqBlkProgressReporter() = default;
  ~KqBlkProgressReporter() { stopTicking(); }
  KqBlkProgressReporter(const KqBlkProgressReporter&) = delete;
  KqBlkProgressReporter& operator=(const KqBlkProgressReporter&) = delete;

  void setCallback(KqBlkProgressCallback callback);
  // `count` fills in the byte counts of each report.
  void startTicking(std::function<void(KqBlkProgress&)> count);
  void stopTicking();
  // A step begins; what the callback throws passes to the caller.
  void begin(KqBlkStep step, const std::string& disk = std::string());
  // The same, what the callback throws logged and dropped.
  void beginQuietly(KqBlkStep step, const std::string& disk = std::string());

 private:
  void tickLoop();

  std::mutex m_callMutex;  // held while the callback runs
  KqBlkProgressCallback m_callback;
  std::function<void(KqBlkProgress&)> m_count;
  KqBlkProgress m_current{KqBlkStep::Checking, std::string(), 0, 0, false};
  std::mutex m_tickMutex;
  std::condition_variable m_wake;
  bool m_ticking = false;
  std::thread m_ticker;
};

// The process's block cache, shared by the requests that run in it, unless
// the caller set one of its own (then null). Set while any request holds it.
std::shared_ptr<CacheManager> kqblk_sharedCache();

struct KqBlkRequest::State {
  KqBlkRequestOptions options;
  KqBlkProgressReporter progress;
  std::shared_ptr<CacheManager> cache;
  mutable std::mutex disksMutex;  // `disks` grows while progress ticks read it
  std::vector<std::unique_ptr<KqBlkDisk>> disks;
  std::unique_ptr<LVMConfig> lvm;
  std::list<kqblk_mountpoint> records;
  std::list<kqblk_vg> groups;
  std::list<kqblk_layer> layers;
  // Per disk, in the order of `disks`: the guest's identities as found, kept
  // for a write-back.
  std::vector<std::list<kqblk_vg_identity>> identities;
  std::string error;
  KqBlkStep at = KqBlkStep::Checking;  // the step start() is in
  KqBlkStep failedAt = KqBlkStep::Done;
  bool madeRoot = false, madeStore = false;
  bool storeChecked = false;  // the store's LVM directory is ours to clean
  bool started = false, down = false, downClean = true;
  std::chrono::steady_clock::time_point since = std::chrono::steady_clock::now();

  // The bytes recalled and written back so far, into `p`.
  void count(KqBlkProgress& p) const;
  // A step of start() begins.
  void begin(KqBlkStep step, const std::string& disk = std::string()) {
    at = step;
    progress.begin(step, disk);
  }
  // Each step of the teardown, a layer that fails not keeping the next from
  // going; what stays, a line each, in `stays`.
  void takeDown(std::vector<std::string>& stays);
};
