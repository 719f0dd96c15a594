#include "kq_process_info.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

const unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD

}  // namespace

bool KqIsUserProcess(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The command name in parentheses may hold anything, blanks and ")"
  // included; the fields after its last ")" are state, ppid, pgrp, session,
  // tty_nr, tpgid and flags.
  const size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos) return false;
  std::istringstream fields(stat.substr(nameEnd + 1));
  std::string skipped;
  unsigned long flags = 0;
  for (int i = 0; i < 6; ++i) fields >> skipped;
  if (!(fields >> flags)) return false;
  return (flags & kKernelThreadFlag) == 0;
}
