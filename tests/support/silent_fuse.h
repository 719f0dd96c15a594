// A FUSE file system with one file whose reads reach the server and are not
// answered until release(): the reader then sleeps uninterruptibly in the
// kernel, where even SIGKILL does not end it. Mounted on a directory of its
// own while the object lives (root).
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

struct fuse_req;
struct fuse_session;

class SilentFuse {
 public:
  SilentFuse();  // throws std::runtime_error
  ~SilentFuse();
  SilentFuse(const SilentFuse&) = delete;
  SilentFuse& operator=(const SilentFuse&) = delete;

  std::string file() const { return m_dir / "file"; }
  // Fails every read held so far and every later one (EIO).
  void release();

  // For the file system's callbacks.
  void hold(fuse_req* request);

 private:
  TempDir m_dir;
  fuse_session* m_session = nullptr;
  std::thread m_loop;
  std::mutex m_mutex;
  std::vector<fuse_req*> m_held;
  bool m_released = false;
};
