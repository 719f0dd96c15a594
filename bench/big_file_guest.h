// The guest the read benchmarks share: one ext4 partition holding a 1 GiB
// file of pseudo-random bytes, and a timed whole-file read of it.
#pragma once

#include <cstdint>
#include <string>

#include "support/disk_image.h"
#include "support/temp_dir.h"

const uint64_t kBigFileBytes = 1ull << 30;

// Partitions `image` (at least 1.2 GiB) and fills /big.bin on its ext4.
void makeBigFileGuest(const TempDir& dir, DiskImage& image);
// Reads the whole file at `path` (kBigFileBytes) in 1 MiB reads; MB/s.
double readBigFileMBps(const std::string& path);
