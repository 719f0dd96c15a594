// Extent stores behind a driver device: the private store (what was written
// to the device) and the recall store (what was fetched from the source).
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "kq_error.h"

class KqBlkBackingStore {
 public:
  virtual ~KqBlkBackingStore();
  // Deletes a store directory and everything the store kept in it.
  static CUxError remove(const std::string& path);
};

class KqBlkRecallStore : public KqBlkBackingStore {
 public:
  // A new store of `size` bytes in the existing empty directory `path`.
  static KqBlkRecallStore* create(const std::string& path, const std::string& name, int64_t size,
                                  int32_t extentSize, CUxError& error);
  // The store left in `path`.
  static KqBlkRecallStore* open(const std::string& path, CUxError& error);
  ~KqBlkRecallStore() override;

  int32_t getExtentSize() const;
  int64_t getSize() const;
  const std::string& getPath() const;
  const std::string& getName() const;

  // A readable descriptor positioned at the extent's first byte; an error
  // unless the extent is present. The caller closes it.
  CUxError openExtentFile(int64_t extent, int flags, int& fd);
  // The extent's name within the store, as the cache manager knows it.
  CUxError getExtentFileName(int64_t extent, std::string& name);
  // A new temporary file: bytes written to the stream are kept until
  // moveInExtentFile makes them an extent, or removeTempFile drops them.
  CUxError openTempFile(std::string& tempName, std::shared_ptr<std::ostream>& stream);
  CUxError moveInExtentFile(const std::string& tempName, int64_t extent);
  CUxError removeTempFile(const std::string& tempName);
  // Extents present: chunk i, byte j, bit k (least significant first) stands
  // for extent i * bitsPerChunk + 8j + k; an empty chunk has none.
  CUxError getExtentBitmap(std::vector<std::vector<uint8_t>>& chunks, int32_t& bitsPerChunk);
  // Drops the store's state before deletion.
  CUxError clear();

  // Whole-extent access for the driver engine.
  bool hasExtent(int64_t extent) const;
  // Reads a present extent (getExtentSize() bytes) into buffer.
  CUxError readExtent(int64_t extent, void* buffer) const;
  // Stores a whole extent and marks it present (data before the mark).
  CUxError writeExtent(int64_t extent, const void* buffer);
  // Forgets an extent and frees its space (the cache manager's eviction).
  CUxError dropExtent(int64_t extent);

  // Number of extents the store spans, and how many of them are present.
  int64_t getExtentCount() const;
  int64_t getPresentCount() const;
  // Flushes the data file, then the presence bitmap, to stable storage.
  // (Without it, extents and bits survive a crash of the process but not
  // necessarily a crash of the machine.)
  CUxError sync();

  struct Impl;
  Impl& impl() { return *m_impl; }

 private:
  explicit KqBlkRecallStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};
