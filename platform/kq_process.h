// Child processes run through /bin/sh. Every descriptor the library opens is
// close-on-exec, so a child inherits only its three standard streams
// (standard input is /dev/null). When udev is not running, children get
// DM_DISABLE_UDEV=1 so that LVM and dmsetup make their own device nodes.
// Waiting uses a pidfd, or polls waitpid on kernels without pidfd_open
// (before 5.3). A child that a time-out killed but that does not end (stuck
// in uninterruptible I/O) never holds up the caller: a reaper thread
// collects it whenever it ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Where the tools we run are looked up, whatever PATH this process got:
// /usr/sbin:/usr/bin:/sbin:/bin, or KQBLK_TOOL_PATH's (tests put their
// doubles first there).
std::string KqToolSearchPath();

class KqProcess {
 public:
  // Runs `command` with "/bin/sh -c", replaces *out and *err by its standard
  // output and error, and returns its exit status (128 + signal when a signal
  // ended it, -1 when it could not be run; *err then says why). With a
  // non-zero timeoutSeconds, a command still running then is killed with its
  // whole process group, *err is "timedout" and the result is -1, at the
  // latest a few seconds after the time-out. logIt logs the command line and
  // its status.
  static int system(const std::string& command, std::string* out, std::string* err,
                    uint32_t timeoutSeconds, bool logIt);

  KqProcess() = default;
  ~KqProcess();
  KqProcess(const KqProcess&) = delete;
  KqProcess& operator=(const KqProcess&) = delete;

  // Which standard streams to capture for the next StartProcess.
  void TrapIO(bool out, bool err);
  // Starts argv[0] with the null-terminated argv. False and *err on failure.
  bool StartProcess(const char* const* argv, std::string* err, uint32_t flags);
  pid_t GetPid() const { return m_pid; }
  // Waits for the process, reading the trapped streams meanwhile. True with
  // *rc (the exit status) when it ended; false with *err "timedout" when it
  // still runs after timeoutSeconds (0: no limit), or another text on failure.
  bool WaitForProcessToEnd(int* rc, std::string* err, uint32_t timeoutSeconds);
  // What the trapped streams delivered; replaces both strings.
  void GetIO(std::string* out, std::string* err) const;
  // Collects the ended process, waiting up to withinMs for it to end (after
  // a kill, say). True when it is gone; its pid must not be signalled then.
  bool Reap(uint32_t withinMs);

 private:
  void closePipes();
  bool tryReap();
  bool m_trapOut = false;
  bool m_trapErr = false;
  pid_t m_pid = -1;
  bool m_reaped = false;
  int m_status = 0;
  int m_outFd = -1;
  int m_errFd = -1;
  std::string m_out;
  std::string m_err;
};
