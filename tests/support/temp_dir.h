// Test helpers: a temporary directory removed with everything below it
// (mounts a test left there first), and a configuration file in force while
// the object lives.
#pragma once

#include <sys/mount.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "kq_fs.h"

// Every mount point of the machine, to compare before and after a test.
inline std::set<std::string> mountPoints() {
  std::set<std::string> found;
  std::ifstream mounts("/proc/self/mounts");
  std::string device, dir, rest;
  while (mounts >> device >> dir && std::getline(mounts, rest)) found.insert(dir);
  return found;
}

// Unmounts whatever is mounted on or below `dir`, deepest first, following
// no link: only a test's own directory is ever given.
inline void unmountBelow(const std::string& dir) {
  std::vector<std::string> below;
  std::ifstream mounts("/proc/self/mounts");
  std::string device, point, rest;
  while (mounts >> device >> point && std::getline(mounts, rest)) {
    // The table writes blanks, tabs, newlines and backslashes as \ooo.
    for (size_t at = 0; (at = point.find('\\', at)) != std::string::npos; ++at) {
      point.replace(at, 4, 1, static_cast<char>(std::stoi(point.substr(at + 1, 3), nullptr, 8)));
    }
    if (point == dir || point.compare(0, dir.size() + 1, dir + "/") == 0) below.push_back(point);
  }
  std::sort(below.rbegin(), below.rend());
  for (const std::string& m : below) ::umount2(m.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kqblk-test-XXXXXX";
    const char* made = mkdtemp(tmpl);
    m_path = made ? made : "";
  }
  ~TempDir() {
    if (!m_path.empty()) unmountBelow(m_path);
    CUxDirectory::Remove(m_path, true, false);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Points KQBLK_CONFIG at a file holding `text`; restores the old value.
class ScopedConfig {
 public:
  explicit ScopedConfig(const std::string& text) {
    const char* old = std::getenv("KQBLK_CONFIG");
    m_hadOld = old != nullptr;
    if (old) m_old = old;
    write(text);
    setenv("KQBLK_CONFIG", m_file.c_str(), 1);
  }
  ~ScopedConfig() {
    if (m_hadOld) {
      setenv("KQBLK_CONFIG", m_old.c_str(), 1);
    } else {
      unsetenv("KQBLK_CONFIG");
    }
  }
  ScopedConfig(const ScopedConfig&) = delete;
  ScopedConfig& operator=(const ScopedConfig&) = delete;

  void write(const std::string& text) {
    std::ofstream(m_file, std::ios::trunc) << text;
  }
  const std::string& file() const { return m_file; }

 private:
  TempDir m_dir;
  std::string m_file = m_dir / "kqblk.conf";
  bool m_hadOld = false;
  std::string m_old;
};
