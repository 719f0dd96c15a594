#include "kq_shell.h"

std::string KqShellQuote(const std::string& text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '\'';
  for (char c : text) {
    // Inside single quotes nothing is special except the closing quote:
    // close, add an escaped quote, reopen.
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}
