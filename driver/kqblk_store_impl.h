// Private glue between the extent stores and the cache manager: how extent
// names are made and read back, and the process-wide registry of open stores.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class KqBlkRecallStore;

namespace kqblk_store {

// The file names inside a store directory.
extern const char kHeaderFile[];
extern const char kDataFile[];
extern const char kBitmapFile[];

// "<store key>/data#<extent>": the name of an extent as the cache manager
// knows it. The store key is the store directory's canonical path.
std::string extentName(const std::string& storeKey, int64_t extent);
// Splits an extent name; false when `name` is not one.
bool parseExtentName(const std::string& name, std::string& storeKey, int64_t& extent);

// The canonical path of an existing directory (realpath), or the path with
// repeated and trailing slashes and "." components removed when it cannot
// be resolved.
std::string canonicalDirectory(const std::string& path);

// The store's key: its directory's canonical path.
const std::string& storeKey(KqBlkRecallStore& store);

// Runs `fn` on the store open at `storeKey` while the registry is locked, so
// the store cannot be deleted meanwhile; false when no store is open there.
// Lock order: cache manager, then registry, then the store's own locks.
bool withOpenStore(const std::string& storeKey, const std::function<void(KqBlkRecallStore&)>& fn);

}  // namespace kqblk_store
