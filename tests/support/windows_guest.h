// A phony Windows guest disk: an NTFS system volume whose SYSTEM hive
// (Windows/System32/config/SYSTEM) maps C: to itself and D: to a second
// NTFS volume, on an MBR or a GPT disk.
#pragma once

#include <string>

#include "support/disk_image.h"

struct WindowsGuest {
  enum class Table { Mbr, Gpt };
  static constexpr uint32_t kSignature = 0x1234abcd;  // the MBR variant's
  static constexpr const char* kSystemGuid = "3f1e3d3c-8c2b-4a6f-9d59-1a2b3c4d5e6f";
  static constexpr const char* kDataGuid = "7a6b5c4d-3e2f-4a1b-8c9d-0e1f2a3b4c5d";
  static constexpr uint64_t kSystemStart = 2048;  // sectors
  static constexpr uint64_t kDataStart = 51200;

  WindowsGuest(const std::string& path, Table table);
  DiskImage image;
};
