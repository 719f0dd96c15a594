// The FUSE file system behind one driver device: a root directory holding
// one regular file ("disk") of the device's size, served by threads of this
// process through libfuse's low-level API. The loop device reads that file.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kq_error.h"

struct fuse_session;
class KqBlkExtentIO;

class KqBlkFuseServer {
 public:
  static const char* const kFileName;  // "disk"
  static const int kWorkers = 16;      // requests served at once
  // The largest read or write the kernel hands over at once. A reply is
  // spliced through a pipe that must hold it with a few pages to spare; a
  // process without CAP_SYS_RESOURCE cannot grow a pipe beyond
  // /proc/sys/fs/pipe-max-size, and libfuse then copies every reply through
  // a fresh buffer instead. So: 1 MiB, or less where pipes are smaller.
  static unsigned maxRequest();

  KqBlkFuseServer() = default;
  ~KqBlkFuseServer();
  KqBlkFuseServer(const KqBlkFuseServer&) = delete;
  KqBlkFuseServer& operator=(const KqBlkFuseServer&) = delete;

  // Mounts on the empty directory `mountDir` (private: no allow_other) and
  // starts the server threads.
  CUxError start(const std::string& mountDir, KqBlkExtentIO* io);
  // Unmounts, ends the connection and joins the threads. Call only when no
  // loop device uses the file any more. Idempotent. False when the threads
  // did not end: they are left running, and this object (with whatever its
  // I/O object uses) must then never be destroyed.
  bool stop();
  bool running() const { return m_session != nullptr; }
  // The mount's device number (names its FUSE control directory).
  dev_t mountDevice() const { return m_mountDev; }

  KqBlkExtentIO* io() const { return m_io; }

 private:
  void serve(fuse_session* session);

  fuse_session* m_session = nullptr;
  std::string m_mountDir;
  KqBlkExtentIO* m_io = nullptr;
  dev_t m_mountDev = 0;
  std::vector<std::thread> m_threads;
  std::mutex m_mutex;
  std::condition_variable m_exited;
  int m_running = 0;
};

// Ends a FUSE connection through the FUSE control file system, whoever
// serves it; false when the control file system offers no such connection.
bool kqblk_abortFuseConnection(dev_t mountDev);
