// Registry hives for tests. hivex edits hives but cannot make one, and no
// package ships an empty one: writeEmptyHive copies tests/fixtures/
// empty_hive.bin, the smallest hive hivex opens (a base block and one bin
// holding the root key "ROOT" and its security cell, assembled once byte by byte),
// and addHiveKey adds keys and values to it through hivex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

void writeEmptyHive(const std::string& path);

struct HiveValue {
  std::string name;
  std::vector<unsigned char> data;  // stored as REG_BINARY
};

// Adds key `key` below the root with `values`; throws std::runtime_error.
void addHiveKey(const std::string& path, const std::string& key,
                const std::vector<HiveValue>& values);

// MountedDevices data as Windows writes it: an MBR volume's disk signature
// and byte offset, or "DMIO:ID:" and a GPT partition GUID (its first three
// fields little-endian).
std::vector<unsigned char> mbrVolumeValue(uint32_t signature, uint64_t offset);
std::vector<unsigned char> gptVolumeValue(const std::string& guid);
