#include "kqblk_regex.h"

KqRegEx::KqRegEx(const char* pattern, int flags)
    : m_compiled(regcomp(&m_regex, pattern, flags) == 0) {}

KqRegEx::~KqRegEx() {
  if (m_compiled) regfree(&m_regex);
}

bool KqRegEx::match(const std::string& text, std::string* matched,
                    std::pair<size_t, size_t>* position) const {
  // regexec on a failed compilation is undefined; such a pattern matches nothing.
  if (!m_compiled) return false;
  regmatch_t found;
  if (regexec(&m_regex, text.c_str(), 1, &found, 0) != 0) return false;
  const size_t start = static_cast<size_t>(found.rm_so);
  const size_t end = static_cast<size_t>(found.rm_eo);
  if (matched) *matched = text.substr(start, end - start);
  if (position) *position = std::make_pair(start, end);
  return true;
}
