#include "support/hive_builder.h"

#include <hivex.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "kq_guid.h"

namespace {

const size_t kBaseBlock = 0x1000;
const size_t kBin = 0x1000;
const size_t kBinHeader = 0x20;
// Cell offsets count from the first bin.
const uint32_t kRootCell = kBinHeader;
const uint32_t kRootSize = 0x50 + 8;  // nk header and the name "ROOT", 8-aligned
const uint32_t kSkCell = kRootCell + kRootSize;
const uint32_t kSkSize = 0x18 + 20 + 4;  // sk header and an empty self-relative descriptor
const uint32_t kNone = 0xffffffff;

void put16(std::vector<unsigned char>& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void put32(std::vector<unsigned char>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

}  // namespace

void writeEmptyHive(const std::string& path) {
  std::vector<unsigned char> h(kBaseBlock + kBin, 0);
  // Base block.
  std::memcpy(&h[0], "regf", 4);
  put32(h, 0x04, 1);  // sequence numbers, equal: the hive is consistent
  put32(h, 0x08, 1);
  put32(h, 0x14, 1);  // format 1.3
  put32(h, 0x18, 3);
  put32(h, 0x20, 1);
  put32(h, 0x24, kRootCell);
  put32(h, 0x28, kBin);
  put32(h, 0x2c, 1);
  uint32_t sum = 0;
  for (size_t at = 0; at < 0x1fc; at += 4) {
    uint32_t word;
    std::memcpy(&word, &h[at], 4);
    sum ^= word;
  }
  put32(h, 0x1fc, sum);
  // The bin; its offset field is its position among the bins.
  const size_t bin = kBaseBlock;
  std::memcpy(&h[bin], "hbin", 4);
  put32(h, bin + 0x04, 0);
  put32(h, bin + 0x08, kBin);
  // Root key: allocated cells have negative sizes.
  const size_t nk = bin + kRootCell;
  put32(h, nk, static_cast<uint32_t>(-static_cast<int32_t>(kRootSize)));
  std::memcpy(&h[nk + 4], "nk", 2);
  put16(h, nk + 4 + 0x02, 0x2c);  // root entry, not deletable, ASCII name
  put32(h, nk + 4 + 0x1c, kNone);  // no subkeys
  put32(h, nk + 4 + 0x20, kNone);
  put32(h, nk + 4 + 0x28, kNone);  // no values
  put32(h, nk + 4 + 0x2c, kSkCell);
  put32(h, nk + 4 + 0x30, kNone);  // no class name
  put16(h, nk + 4 + 0x48, 4);
  std::memcpy(&h[nk + 4 + 0x4c], "ROOT", 4);
  // Its security cell, in a ring of one.
  const size_t sk = bin + kSkCell;
  put32(h, sk, static_cast<uint32_t>(-static_cast<int32_t>(kSkSize)));
  std::memcpy(&h[sk + 4], "sk", 2);
  put32(h, sk + 4 + 0x04, kSkCell);
  put32(h, sk + 4 + 0x08, kSkCell);
  put32(h, sk + 4 + 0x0c, 1);
  put32(h, sk + 4 + 0x10, 20);
  h[sk + 4 + 0x14] = 1;           // descriptor revision
  put16(h, sk + 4 + 0x16, 0x8000);  // self-relative
  // The rest of the bin is one free cell.
  const uint32_t used = kSkCell + kSkSize;
  put32(h, bin + used, static_cast<uint32_t>(kBin - used));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(h.data()), static_cast<std::streamsize>(h.size()));
  if (!out) throw std::runtime_error("cannot write hive " + path);
}

void addHiveKey(const std::string& path, const std::string& key,
                const std::vector<HiveValue>& values) {
  hive_h* h = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
  if (h == nullptr) throw std::runtime_error("hivex cannot open " + path + ": " + std::strerror(errno));
  const hive_node_h node = hivex_node_add_child(h, hivex_root(h), key.c_str());
  std::vector<hive_set_value> set;
  for (const HiveValue& v : values) {
    set.push_back({const_cast<char*>(v.name.c_str()), hive_t_REG_BINARY, v.data.size(),
                   reinterpret_cast<char*>(const_cast<unsigned char*>(v.data.data()))});
  }
  const bool ok = node != 0 && hivex_node_set_values(h, node, set.size(), set.data(), 0) == 0 &&
                  hivex_commit(h, nullptr, 0) == 0;
  const int err = errno;
  hivex_close(h);
  if (!ok) throw std::runtime_error("hivex cannot add " + key + " to " + path + ": " + std::strerror(err));
}

std::vector<unsigned char> mbrVolumeValue(uint32_t signature, uint64_t offset) {
  std::vector<unsigned char> v(12);
  for (int i = 0; i < 4; ++i) v[i] = static_cast<unsigned char>(signature >> (8 * i));
  for (int i = 0; i < 8; ++i) v[4 + i] = static_cast<unsigned char>(offset >> (8 * i));
  return v;
}

std::vector<unsigned char> gptVolumeValue(const std::string& guid) {
  GUID g;
  if (!FXMisc::ConvertStringToUuid(guid, &g)) throw std::runtime_error("not a GUID: " + guid);
  std::vector<unsigned char> v = {'D', 'M', 'I', 'O', ':', 'I', 'D', ':'};
  for (int i : {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15}) v.push_back(g.data[i]);
  return v;
}
