// A guest disk image with an MBR, an ext4 and an xfs partition and known
// files on each, for tests that expose it through the driver.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/phony_guest.h"
#include "support/test_util.h"

struct GuestImage {
  // Builds the image at `path` (about 400 MiB, sparse).
  explicit GuestImage(const std::string& path);

  // Files per partition number: path inside the file system -> content.
  std::map<int, std::map<std::string, std::vector<char>>> files;
  PhonyGuest guest;
  DiskImage& image;
};

void writeFile(const std::string& path, const std::vector<char>& data);
// Writes `data` over the file's bytes at `offset`.
void writeAt(const std::string& path, uint64_t offset, const std::vector<char>& data);
