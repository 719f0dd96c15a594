#include "kq_string.h"

#include <uuid/uuid.h>

#include <cstdio>
#include <vector>

#include "kq_guid.h"

namespace FXString {

std::string FormatV(const char* format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  char small[256];
  const int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, ap);
  return std::string(big.data(), static_cast<size_t>(n));
}

std::string Format(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string s = FormatV(format, ap);
  va_end(ap);
  return s;
}

size_t ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return 0;
  size_t count = 0;
  for (size_t pos = text.find(from); pos != std::string::npos;
       pos = text.find(from, pos + to.size())) {
    text.replace(pos, from.size(), to);
    ++count;
  }
  return count;
}

std::string AsString(const GUID& guid) {
  char text[37];
  uuid_unparse_lower(guid.data, text);
  return text;
}

}  // namespace FXString

namespace FXPath {

std::string Append(const std::string& base, const std::string& name) {
  size_t end = base.size();
  while (end > 1 && base[end - 1] == '/') --end;
  size_t start = 0;
  while (start < name.size() && name[start] == '/') ++start;
  std::string out = base.substr(0, end);
  if (out.empty() || out.back() != '/') out += '/';
  out.append(name, start, std::string::npos);
  return out;
}

}  // namespace FXPath
