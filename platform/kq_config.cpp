#include "kq_config.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace {

const char kDefaultConfigPath[] = "/etc/kqblk/kqblk.conf";
const char kBlanks[] = " \t\r\n";

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string::npos) return std::string();
  const size_t e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

std::mutex gOverridesMutex;
// Keyed by lower-case "section\nkey", as names ignore case.
std::map<std::string, std::string> gOverrides;

std::string overrideKey(const std::string& section, const std::string& key) {
  std::string k = section + "\n" + key;
  for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return k;
}

// Finds the raw value of section/key: the text after "=" up to the line end.
bool lookup(const char* section, const char* key, std::string* raw) {
  {
    std::lock_guard<std::mutex> lock(gOverridesMutex);
    auto it = gOverrides.find(overrideKey(section, key));
    if (it != gOverrides.end()) {
      *raw = it->second;
      return true;
    }
  }
  std::ifstream in(KQPlatformInfo::configPath());
  if (!in) return false;
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string t = trimmed(line);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t[0] == '[') {
      const size_t close = t.find(']');
      inSection = close != std::string::npos &&
                  strcasecmp(trimmed(t.substr(1, close - 1)).c_str(), section) == 0;
      continue;
    }
    if (!inSection) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (strcasecmp(trimmed(line.substr(0, eq)).c_str(), key) != 0) continue;
    const std::string rest = line.substr(eq + 1);
    const size_t b = rest.find_first_not_of(" \t");
    *raw = b == std::string::npos ? std::string() : rest.substr(b);
    return true;
  }
  return false;
}

}  // namespace

void KQPlatformInfo::setOverride(const std::string& section, const std::string& key,
                                 const std::string& value) {
  std::lock_guard<std::mutex> lock(gOverridesMutex);
  gOverrides[overrideKey(section, key)] = value;
}

void KQPlatformInfo::clearOverride(const std::string& section, const std::string& key) {
  std::lock_guard<std::mutex> lock(gOverridesMutex);
  gOverrides.erase(overrideKey(section, key));
}

std::string KQPlatformInfo::configPath() {
  const char* env = std::getenv("KQBLK_CONFIG");
  return env && *env ? env : kDefaultConfigPath;
}

bool KQPlatformInfo::getNumber(const char* section, const char* key, uint64_t* value) {
  std::string raw;
  if (!lookup(section, key, &raw)) return false;
  const std::string t = trimmed(raw);
  if (t.empty()) return false;
  char* end = nullptr;
  const bool negative = t[0] == '-';
  errno = 0;
  const unsigned long long v = negative ? static_cast<unsigned long long>(std::strtoll(t.c_str(), &end, 0))
                                        : std::strtoull(t.c_str(), &end, 0);
  if (errno != 0 || end == t.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

bool KQPlatformInfo::getNumber(const char* section, const char* key, int64_t* value) {
  uint64_t v = 0;
  if (!getNumber(section, key, &v)) return false;
  *value = static_cast<int64_t>(v);
  return true;
}

bool KQPlatformInfo::getNumber(const char* section, const char* key, uint32_t* value) {
  uint64_t v = 0;
  if (!getNumber(section, key, &v)) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

bool KQPlatformInfo::getNumber(const char* section, const char* key, int32_t* value) {
  uint64_t v = 0;
  if (!getNumber(section, key, &v)) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

bool KQPlatformInfo::getString(const char* section, const char* key, std::string* value) {
  std::string raw;
  if (!lookup(section, key, &raw)) return false;
  *value = raw;
  return true;
}

bool KQPlatformInfo::getStringTrim(const char* section, const char* key, std::string* value) {
  std::string raw;
  if (!lookup(section, key, &raw)) return false;
  *value = trimmed(raw);
  return true;
}

std::string KQPI_PlatformBase::getBaseHomeDirectory() {
  std::string dir;
  if (!KQPlatformInfo::getStringTrim("Base", "dBASEHOME", &dir)) return std::string();
  return dir;
}
