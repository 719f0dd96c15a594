// A process a test starts, with a pipe to its standard input and one from
// its standard output; killed and reaped with the object if still running.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

class Child {
 public:
  // argv[0] is a path; throws std::runtime_error when it cannot start.
  explicit Child(const std::vector<std::string>& argv);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // The next line of its output, newline included; empty at its end.
  std::string readLine();
  void closeInput();
  // The wait status once it ended.
  int wait();
  void kill();
  void signal(int number);
  bool running();
  pid_t pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
  bool m_reaped = false;
  int m_stdin = -1;
  FILE* m_stdout = nullptr;
};
