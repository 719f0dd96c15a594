#include "support/guest_image.h"

#include <fstream>
#include <stdexcept>

namespace {

using Files = std::map<std::string, std::vector<char>>;

const std::map<int, Files>& guestFiles() {
  static const std::map<int, Files> kFiles = {
      {1,
       {{"etc/hostname", {'g', 'u', 'e', 's', 't', '\n'}},
        {"big.bin", randomBytes(3 << 20, 1)},
        {"small.bin", randomBytes(5000, 2)}}},
      {2, {{"docs/readme.txt", {'x', 'f', 's', '\n'}}, {"big.bin", randomBytes(2 << 20, 3)}}}};
  return kFiles;
}

PhonyFiles asText(const Files& files) {
  PhonyFiles out;
  for (const auto& [path, bytes] : files)
    out.emplace_back(path, std::string(bytes.begin(), bytes.end()));
  return out;
}

std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

void writeFile(const std::string& path, const std::vector<char>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

void writeAt(const std::string& path, uint64_t offset, const std::vector<char>& data) {
  std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
  out.seekp(static_cast<std::streamoff>(offset)).write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

// xfs wants at least 300 MiB.
GuestImage::GuestImage(const std::string& path)
    : files(guestFiles()),
      guest(directoryOf(path),
            {{{path.substr(path.rfind('/') + 1), 400, "label: dos\nlabel-id: 0x7e57d15c\n",
               {{"start=2048, size=163840, type=83", {{"ext4", "guestroot", ""}, asText(files[1])}},
                {"start=165888, size=647168, type=83", {{"xfs", "data", ""}, asText(files[2])}}}}}}),
      image(guest.disk(0)) {}
