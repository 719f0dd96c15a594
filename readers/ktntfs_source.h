// Where a BlockSource's blocks come from: a raw file or block device, or an
// NBD export.
#pragma once

#include <cstdint>

#include "kq_error.h"

class Source {
 public:
  // Buffers handed to readAt are aligned to this and have room for the
  // length rounded up to it.
  static const uint64_t kAlign = 4096;

  virtual ~Source() = default;
  virtual uint64_t size() const = 0;
  // Reads `length` bytes at `offset`; several threads may call it at once.
  virtual CUxError readAt(uint64_t offset, uint8_t* buffer, uint64_t length) = 0;
  virtual CUxError writeAt(uint64_t offset, const uint8_t* data, uint64_t length) = 0;
};
