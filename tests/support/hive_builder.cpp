#include "support/hive_builder.h"

#include <hivex.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "kq_guid.h"

void writeEmptyHive(const std::string& path) {
  std::ifstream in(KQBLK_EMPTY_HIVE, std::ios::binary);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  if (!in || !out) throw std::runtime_error("cannot write hive " + path);
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
