// Threads and synchronisation: KqEvent, KqThread, KqNamedMutex.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <mutex>
#include <string>

// The state behind a KqEvent.
struct KqEventH {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool manualReset;
  bool signaled;
};

// An event, manual-reset (stays set until reset) or auto-reset (one waiter
// takes the signal and clears it).
class KqEvent {
 public:
  explicit KqEvent(bool manualReset);
  ~KqEvent();
  KqEvent(const KqEvent&) = delete;
  KqEvent& operator=(const KqEvent&) = delete;

  void set();
  void reset();
  void wait();
  // False when the event was not set within timeoutMs.
  bool wait(uint32_t timeoutMs);

 private:
  KqEventH* m_handle;
};

typedef void* (*KqThreadFunc)(void*);

class KqThread {
 public:
  KqThread() = default;
  ~KqThread();
  KqThread(const KqThread&) = delete;
  KqThread& operator=(const KqThread&) = delete;

  // False (with errno set) when the thread cannot be started or one runs.
  bool createThread(KqThreadFunc function, void* argument);
  // False when no thread was started or it was joined already.
  bool joinThread(void** result);
  bool isJoinable() const { return m_started; }

 private:
  pthread_t m_thread{};
  bool m_started = false;
};

// A mutex shared by all processes of the machine: flock on a lock file under
// /run/lock/kqblk (KQBLK_LOCK_DIR overrides it, for tests), so a holder that
// dies releases it. Different objects of one name exclude each other also
// within a process.
class KqNamedMutex {
 public:
  explicit KqNamedMutex(const std::string& name);
  ~KqNamedMutex();
  KqNamedMutex(const KqNamedMutex&) = delete;
  KqNamedMutex& operator=(const KqNamedMutex&) = delete;

  // False when the lock file cannot be opened or locked (errno says why).
  bool lock();
  // The same without waiting: false with EWOULDBLOCK while another holds it.
  bool tryLock();
  bool unlock();
  static std::string lockDirectory();
  std::string lockFilePath() const;

 private:
  std::string m_name;
  bool take(bool wait);
  std::mutex m_local;  // one holder per object among this process's threads
  int m_fd = -1;
};
