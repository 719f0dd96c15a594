#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

Child::Child(const std::vector<std::string>& argv) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  m_stdin = in[1];
  m_stdout = ::fdopen(out[0], "r");
  if (rc != 0) {
    m_pid = -1;
    throw std::runtime_error("cannot start " + argv[0]);
  }
}

Child::~Child() {
  closeInput();
  if (m_pid > 0 && !m_reaped) {
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
  }
  if (m_stdout) ::fclose(m_stdout);
}

std::string Child::readLine() {
  char buf[4096];
  return std::fgets(buf, sizeof buf, m_stdout) ? std::string(buf) : std::string();
}

void Child::closeInput() {
  if (m_stdin >= 0) ::close(m_stdin);
  m_stdin = -1;
}

int Child::wait() {
  int status = 0;
  ::waitpid(m_pid, &status, 0);
  m_reaped = true;
  return status;
}

void Child::kill() {
  signal(SIGKILL);
  wait();
}

void Child::signal(int number) { ::kill(m_pid, number); }

bool Child::running() {
  if (m_reaped) return false;
  if (::waitpid(m_pid, nullptr, WNOHANG) == 0) return true;
  m_reaped = true;
  return false;
}
