// Text helpers of the runtime.
#pragma once

#include <cstdarg>
#include <string>

struct GUID;

namespace FXString {
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list ap) __attribute__((format(printf, 1, 0)));
// Replaces every occurrence of `from` (non-empty) by `to`; returns the count.
size_t ReplaceAll(std::string& text, const std::string& from, const std::string& to);
// The canonical lower-case text of a GUID: 8-4-4-4-12 hexadecimal digits.
std::string AsString(const GUID& guid);
}  // namespace FXString

namespace FXPath {
// base + "/" + name with exactly one slash between them.
std::string Append(const std::string& base, const std::string& name);
}  // namespace FXPath
