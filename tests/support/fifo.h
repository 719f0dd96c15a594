// A FIFO where a guest's file should be. Opening it to read blocks until a
// writer comes, so code under test that would open it is run with a bounded
// wait, after which a writer releases it and the test learns that it blocked.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>

inline void makeFifo(const std::string& path) {
  if (::mkfifo(path.c_str(), 0644) != 0) throw std::runtime_error("cannot make the FIFO " + path);
}

// Runs `call`: true when it returned by itself within a generous wait. If it
// did not, a writer opens and closes `fifo`, which ends a reader blocked in
// open() or read(), and the result is false.
inline bool returnsWithoutAWriter(const std::string& fifo, const std::function<void()>& call) {
  auto done = std::async(std::launch::async, call);
  const bool returned = done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (!returned) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }
  done.get();
  return returned;
}
