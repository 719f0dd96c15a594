#include "kq_sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "kq_fs.h"

KqEvent::KqEvent(bool manualReset) {
  m_handle = new (std::nothrow) KqEventH;
  if (!m_handle) throw std::runtime_error("Not enough memory to initialize KqEvent");
  pthread_mutex_init(&m_handle->mutex, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&m_handle->cond, &attr);
  pthread_condattr_destroy(&attr);
  m_handle->manualReset = manualReset;
  m_handle->signaled = false;
}

KqEvent::~KqEvent() {
  pthread_cond_destroy(&m_handle->cond);
  pthread_mutex_destroy(&m_handle->mutex);
  delete m_handle;
}

void KqEvent::set() {
  pthread_mutex_lock(&m_handle->mutex);
  m_handle->signaled = true;
  pthread_cond_broadcast(&m_handle->cond);
  pthread_mutex_unlock(&m_handle->mutex);
}

void KqEvent::reset() {
  pthread_mutex_lock(&m_handle->mutex);
  m_handle->signaled = false;
  pthread_mutex_unlock(&m_handle->mutex);
}

void KqEvent::wait() {
  pthread_mutex_lock(&m_handle->mutex);
  while (!m_handle->signaled) pthread_cond_wait(&m_handle->cond, &m_handle->mutex);
  if (!m_handle->manualReset) m_handle->signaled = false;
  pthread_mutex_unlock(&m_handle->mutex);
}

bool KqEvent::wait(uint32_t timeoutMs) {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&m_handle->mutex);
  int rc = 0;
  while (!m_handle->signaled && rc != ETIMEDOUT) {
    rc = pthread_cond_timedwait(&m_handle->cond, &m_handle->mutex, &deadline);
  }
  const bool got = m_handle->signaled;
  if (got && !m_handle->manualReset) m_handle->signaled = false;
  pthread_mutex_unlock(&m_handle->mutex);
  return got;
}

KqThread::~KqThread() {
  // A thread never joined would outlive the object that owns its state.
  if (m_started) pthread_join(m_thread, nullptr);
}

bool KqThread::createThread(KqThreadFunc function, void* argument) {
  if (m_started) {
    errno = EBUSY;
    return false;
  }
  const int rc = pthread_create(&m_thread, nullptr, function, argument);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  m_started = true;
  return true;
}

bool KqThread::joinThread(void** result) {
  if (!m_started) return false;
  void* r = nullptr;
  const int rc = pthread_join(m_thread, &r);
  m_started = false;
  if (rc != 0) {
    errno = rc;
    return false;
  }
  if (result) *result = r;
  return true;
}

KqNamedMutex::KqNamedMutex(const std::string& name) : m_name(name) {}

KqNamedMutex::~KqNamedMutex() {
  if (m_fd >= 0) unlock();
}

std::string KqNamedMutex::lockDirectory() {
  const char* env = std::getenv("KQBLK_LOCK_DIR");
  return env && *env ? env : "/run/kqblk/lock";
}

std::string KqNamedMutex::fileName() const {
  // Names are plain texts; keep them inside the lock directory.
  std::string file;
  for (char c : m_name) file += (c == '/' || c == '\0') ? '_' : c;
  if (file.empty() || file == "." || file == "..") file = "_" + file;
  return file + ".lock";
}

std::string KqNamedMutex::lockFilePath() const { return lockDirectory() + "/" + fileName(); }

bool KqNamedMutex::lock() { return take(-1); }

bool KqNamedMutex::tryLock() { return take(0); }

bool KqNamedMutex::lockWithin(uint32_t timeoutMs) { return take(timeoutMs); }

namespace {

const int kPollMs = 50;

// Who holds the flock on the file open at `fd`, as /proc/locks names it.
std::string flockHolder(int fd) {
  struct stat st;
  std::ifstream locks("/proc/locks");
  for (std::string line; ::fstat(fd, &st) == 0 && std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string id, type, kind, access, file;
    long pid = 0;
    unsigned maj = 0, min = 0;
    unsigned long long inode = 0;
    if (fields >> id >> type >> kind >> access >> pid >> file && type == "FLOCK" &&
        std::sscanf(file.c_str(), "%x:%x:%llu", &maj, &min, &inode) == 3 && inode == st.st_ino &&
        maj == major(st.st_dev) && min == minor(st.st_dev)) {
      return "process " + std::to_string(pid);
    }
  }
  return "another process";
}

}  // namespace

bool KqNamedMutex::take(int64_t timeoutMs) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0));
  m_error.clear();
  if (timeoutMs < 0) {
    m_local.lock();
  } else if (!m_local.try_lock_until(deadline)) {
    m_error = lockFilePath() + " is held by this process";
    errno = timeoutMs == 0 ? EWOULDBLOCK : ETIMEDOUT;
    return false;
  }
  std::string why;
  int saved = EACCES;
  const int dirFd = KqOpenTrustedDir(lockDirectory(), true, 0700, why);
  if (dirFd >= 0) {
    m_fd = ::openat(dirFd, fileName().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    saved = errno;
    if (m_fd < 0) why = "cannot open " + lockFilePath() + ": " + std::strerror(saved);
    ::close(dirFd);
  }
  int rc = -1;
  while (m_fd >= 0) {
    rc = flock(m_fd, timeoutMs < 0 ? LOCK_EX : LOCK_EX | LOCK_NB);
    saved = errno;
    if (rc == 0 || saved == EINTR) {
      if (rc == 0) break;
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (saved != EWOULDBLOCK || timeoutMs == 0 || left.count() <= 0) {
      if (saved == EWOULDBLOCK) {
        why = lockFilePath() + " is held by " + flockHolder(m_fd);
        if (timeoutMs > 0) saved = ETIMEDOUT;
      } else {
        why = "cannot lock " + lockFilePath() + ": " + std::strerror(saved);
      }
      ::close(m_fd);
      m_fd = -1;
      break;
    }
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::min<int64_t>(kPollMs, left.count())));
  }
  if (rc != 0) {
    m_error = why;
    m_local.unlock();
    errno = saved;
    return false;
  }
  return true;
}

bool KqNamedMutex::unlock() {
  if (m_fd < 0) return false;
  flock(m_fd, LOCK_UN);
  close(m_fd);
  m_fd = -1;
  m_local.unlock();
  return true;
}
