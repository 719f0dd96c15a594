// A POSIX regular expression, compiled once and matched against lines of
// tool output.
#pragma once

#include <regex.h>

#include <cstddef>
#include <string>
#include <utility>

class KqRegEx {
 public:
  // Compiles `pattern` with the regcomp flags `flags` (REG_EXTENDED, ...).
  KqRegEx(const char* pattern, int flags);
  virtual ~KqRegEx();
  KqRegEx(const KqRegEx&) = delete;
  KqRegEx& operator=(const KqRegEx&) = delete;

  // True when the expression matches somewhere in `text` (the first match);
  // then `matched` (when given) receives the matched text and `position` its
  // start and end offsets. A pattern that did not compile matches nothing.
  bool match(const std::string& text, std::string* matched,
             std::pair<size_t, size_t>* position) const;

 private:
  regex_t m_regex;
  bool m_compiled;
};
