// What most test files need: GoogleTest with its matchers, the system and
// standard headers nearly every test uses, a temporary directory, and small
// helpers: whether a path is there, a file's whole contents, reproducible
// bytes, and a clean-up run when a scope ends.
#pragma once

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

// True when anything is at `path`, a dangling link included.
inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// The whole of a file, "" when it cannot be read.
inline std::string fileText(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// The same as bytes, to compare with bytes a test wrote.
inline std::vector<char> readFile(const std::string& path) {
  const std::string text = fileText(path);
  return std::vector<char>(text.begin(), text.end());
}

// `n` pseudo-random bytes, the same for the same seed (xorshift).
template <class Byte = char>
std::vector<Byte> randomBytes(size_t n, uint32_t seed) {
  std::vector<Byte> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (Byte& c : v) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<Byte>(x);
  }
  return v;
}

// Runs `cleanup` when the scope ends, however it ends.
class ScopeExit {
 public:
  explicit ScopeExit(std::function<void()> cleanup) : m_cleanup(std::move(cleanup)) {}
  ~ScopeExit() { m_cleanup(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  std::function<void()> m_cleanup;
};
