// A phony Windows guest disk: an NTFS system volume whose SYSTEM hive
// (Windows/System32/config/SYSTEM) maps C: to itself and D: to a second
// NTFS volume, on an MBR or a GPT disk.
#pragma once

#include <string>

#include "support/phony_guest.h"

struct WindowsGuest {
  enum class Table { Mbr, Gpt };

  WindowsGuest(const std::string& path, Table table);
  PhonyGuest guest;
  DiskImage& image;
};
