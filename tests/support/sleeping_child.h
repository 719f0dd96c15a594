// A child process of the test, "sleep 600" with its working directory in a
// given directory (a holder of a mount there), running by the time the
// constructor returns. Ended by its id unless the test saw it end.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

class SleepingChild {
 public:
  explicit SleepingChild(const std::string& dir) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    m_pid = fork();
    if (m_pid == 0) {
      if (chdir(dir.c_str()) == 0) execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    char byte;
    (void)!read(ready[0], &byte, 1);  // end of file once sleep runs (or the child gave up)
    close(ready[0]);
  }
  ~SleepingChild() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  SleepingChild(const SleepingChild&) = delete;
  SleepingChild& operator=(const SleepingChild&) = delete;

  pid_t pid() const { return m_pid; }
  // Waits for it to end: the signal that ended it, 0 when it exited.
  int endingSignal() {
    int status = 0;
    const pid_t ended = waitpid(m_pid, &status, 0);
    m_pid = 0;
    return ended > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }

 private:
  pid_t m_pid = 0;
};
