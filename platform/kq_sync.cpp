#include "kq_sync.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <stdexcept>

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
  return env && *env ? env : "/run/lock/kqblk";
}

std::string KqNamedMutex::lockFilePath() const {
  // Names are plain texts; keep them inside the lock directory.
  std::string file;
  for (char c : m_name) file += (c == '/' || c == '\0') ? '_' : c;
  if (file.empty() || file == "." || file == "..") file = "_" + file;
  return lockDirectory() + "/" + file + ".lock";
}

bool KqNamedMutex::lock() { return take(true); }

bool KqNamedMutex::tryLock() { return take(false); }

bool KqNamedMutex::take(bool wait) {
  if (wait) {
    m_local.lock();
  } else if (!m_local.try_lock()) {
    errno = EWOULDBLOCK;
    return false;
  }
  const std::string dir = lockDirectory();
  if (!CUxDirectory::Create(dir, true).IsError()) {
    m_fd = open(lockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (m_fd < 0) {
    const int saved = errno;
    m_local.unlock();
    errno = saved;
    return false;
  }
  int rc;
  do {
    rc = flock(m_fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int saved = errno;
    close(m_fd);
    m_fd = -1;
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
