// Plays a device's service thread in driver tests: takes recall requests
// through the driver client, as the disk's thread does, and answers them
// from a source file.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

class KqBlkRecallStore;

class RecallServer {
 public:
  enum class Mode {
    Serve,  // source extent into the recall store, then recallDone
    Hold,   // take requests, never answer
    Drop,   // recallDone without storing (a full cache)
  };

  // Extents in `hangOn` are taken and their source read never returns (a
  // hanging source) until the server stops.
  RecallServer(std::string device, KqBlkRecallStore* recallStore, std::string sourcePath,
               Mode mode = Mode::Serve, std::set<int64_t> hangOn = {});
  ~RecallServer();
  RecallServer(const RecallServer&) = delete;
  RecallServer& operator=(const RecallServer&) = delete;

  // Ends the thread (also done by the destructor).
  void stop();

  // How often each extent was requested so far.
  std::map<int64_t, int> requests() const;
  size_t requestCount() const;
  // Waits until at least n requests came, or `seconds` passed.
  bool waitForRequests(size_t n, int seconds) const;
  // True once the driver's descriptor reported the device gone (POLLHUP/ERR).
  bool sawHangup() const { return m_hangup; }
  // Text of the first driver error other than "nothing pending", if any.
  std::string failure() const;

 private:
  void run();
  void serve(int64_t extent);

  const std::string m_device;
  KqBlkRecallStore* const m_store;
  const std::string m_sourcePath;
  const Mode m_mode;
  const std::set<int64_t> m_hangOn;
  int m_sourceFd = -1;
  int m_stopFd = -1;
  std::atomic<bool> m_hangup{false};
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::map<int64_t, int> m_requests;
  size_t m_count = 0;
  std::string m_failure;
  std::thread m_thread;
};
