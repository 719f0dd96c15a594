// Configuration lookup: an INI file ("[Section]", "key = value" lines; "#" and
// ";" start comments). The file is KQBLK_CONFIG when set, else
// /etc/kqblk/kqblk.conf; it is read at every lookup so changes apply at once.
// A missing file means every key is missing. Section and key names ignore case.
#pragma once

#include <cstdint>
#include <string>

class KQPlatformInfo {
 public:
  // Each returns true when the key exists (and holds a number, for getNumber)
  // and only then writes the value. The 32-bit forms narrow the 64-bit value.
  static bool getNumber(const char* section, const char* key, uint64_t* value);
  static bool getNumber(const char* section, const char* key, int64_t* value);
  static bool getNumber(const char* section, const char* key, uint32_t* value);
  static bool getNumber(const char* section, const char* key, int32_t* value);
  // The text after "=", leading blanks removed.
  static bool getString(const char* section, const char* key, std::string* value);
  // The same with blanks at both ends removed.
  static bool getStringTrim(const char* section, const char* key, std::string* value);

  static std::string configPath();
  // A value this process uses in place of the file's, for as long as it
  // runs (a command-line switch over the configured default).
  static void setOverride(const std::string& section, const std::string& key,
                          const std::string& value);
  static void clearOverride(const std::string& section, const std::string& key);
};

class KQPI_PlatformBase {
 public:
  // dBASEHOME of section "Base", trimmed; empty when it is not configured.
  static std::string getBaseHomeDirectory();
};
