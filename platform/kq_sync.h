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

// A mutex shared by all processes of the machine: flock on a lock file in
// /run/kqblk/lock (KQBLK_LOCK_DIR overrides it, for tests), a directory only
// root controls, so that no other user can hold, swap or delete a lock, and a
// holder that dies releases it. Different objects of one name exclude each
// other also within a process.
class KqNamedMutex {
 public:
  explicit KqNamedMutex(const std::string& name);
  ~KqNamedMutex();
  KqNamedMutex(const KqNamedMutex&) = delete;
  KqNamedMutex& operator=(const KqNamedMutex&) = delete;

  // False when the lock file cannot be opened or locked (errno and
  // errorText() say why).
  bool lock();
  // The same without waiting: false with EWOULDBLOCK while another holds it.
  bool tryLock();
  // The same waiting at most timeoutMs: false with ETIMEDOUT, errorText()
  // naming the process that holds it.
  bool lockWithin(uint32_t timeoutMs);
  bool unlock();
  // One line: why the last lock, tryLock or lockWithin failed.
  const std::string& errorText() const { return m_error; }
  static std::string lockDirectory();
  std::string lockFilePath() const;

 private:
  std::string m_name;
  std::string m_error;
  std::string fileName() const;
  bool take(int64_t timeoutMs);  // < 0: no time limit
  std::timed_mutex m_local;      // one holder per object among this process's threads
  int m_fd = -1;
};
