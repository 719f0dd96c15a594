// In-memory stores and a byte-counting cache manager for the disk tests.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <map>
#include <sstream>

#include "driver_double.h"
#include "kq_fs.h"
#include "kqblk_cache_manager.h"
#include "kqblk_store.h"

StoreDouble& storeDouble() {
  static StoreDouble s;
  return s;
}

void StoreDouble::reset() { *this = StoreDouble(); }

CacheDouble& cacheDouble() {
  static CacheDouble c;
  return c;
}

void CacheDouble::reset() { *this = CacheDouble(); }

struct KqBlkRecallStore::Impl {
  std::string path;
  std::string name;
  int64_t size = 0;
  int32_t extentSize = 4096;
  std::map<int64_t, std::string> extents;
  std::map<std::string, std::shared_ptr<std::stringstream>> temps;
  int nextTemp = 0;
};

KqBlkBackingStore::~KqBlkBackingStore() = default;

CUxError KqBlkBackingStore::remove(const std::string& path) {
  storeDouble().removed.push_back(path);
  return CUxDirectory::Remove(path, true, false);
}

KqBlkRecallStore::KqBlkRecallStore(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
KqBlkRecallStore::~KqBlkRecallStore() = default;

KqBlkRecallStore* KqBlkRecallStore::create(const std::string& path, const std::string& name,
                                           int64_t size, int32_t extentSize, CUxError& error) {
  storeDouble().created.push_back(path);
  if (storeDouble().failCreate) {
    error = FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "scripted failure");
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->name = name;
  impl->size = size;
  impl->extentSize = extentSize;
  std::ofstream(path + "/header") << name;  // a regular file for the cache walk
  return new KqBlkRecallStore(std::move(impl));
}

KqBlkRecallStore* KqBlkRecallStore::open(const std::string& path, CUxError&) {
  storeDouble().opened.push_back(path);
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  return new KqBlkRecallStore(std::move(impl));
}

int32_t KqBlkRecallStore::getExtentSize() const { return m_impl->extentSize; }
int64_t KqBlkRecallStore::getSize() const { return m_impl->size; }
const std::string& KqBlkRecallStore::getPath() const { return m_impl->path; }
const std::string& KqBlkRecallStore::getName() const { return m_impl->name; }

CUxError KqBlkRecallStore::openExtentFile(int64_t extent, int, int& fd) {
  if (!m_impl->extents.count(extent)) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "extent absent");
  }
  // A descriptor at the extent's first byte, as the real store gives.
  fd = memfd_create("extent", MFD_CLOEXEC);
  const std::string& data = m_impl->extents[extent];
  if (fd < 0 || pwrite(fd, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size())) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "memfd failed");
  }
  return CUxError();
}

CUxError KqBlkRecallStore::getExtentFileName(int64_t extent, std::string& name) {
  name = m_impl->path + "/extent." + std::to_string(extent);
  return CUxError();
}

CUxError KqBlkRecallStore::openTempFile(std::string& tempName,
                                        std::shared_ptr<std::ostream>& stream) {
  if (storeDouble().failTempFile) return FXErrorUtil::ErrorErrNo(FX_HERE, ENOSPC, "no space");
  tempName = "temp." + std::to_string(m_impl->nextTemp++);
  auto s = std::make_shared<std::stringstream>();
  m_impl->temps[tempName] = s;
  stream = s;
  return CUxError();
}

CUxError KqBlkRecallStore::moveInExtentFile(const std::string& tempName, int64_t extent) {
  auto it = m_impl->temps.find(tempName);
  if (it == m_impl->temps.end()) return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "no temp");
  m_impl->extents[extent] = it->second->str();
  m_impl->temps.erase(it);
  return CUxError();
}

CUxError KqBlkRecallStore::removeTempFile(const std::string& tempName) {
  m_impl->temps.erase(tempName);
  return CUxError();
}

CUxError KqBlkRecallStore::getExtentBitmap(std::vector<std::vector<uint8_t>>& chunks,
                                           int32_t& bitsPerChunk) {
  chunks.clear();
  bitsPerChunk = 64;
  for (const auto& e : m_impl->extents) {
    const size_t chunk = static_cast<size_t>(e.first / bitsPerChunk);
    if (chunks.size() <= chunk) chunks.resize(chunk + 1);
    if (chunks[chunk].empty()) chunks[chunk].resize(bitsPerChunk / 8);
    const int64_t bit = e.first % bitsPerChunk;
    chunks[chunk][static_cast<size_t>(bit / 8)] |= static_cast<uint8_t>(1u << (bit % 8));
  }
  return CUxError();
}

CUxError KqBlkRecallStore::clear() {
  ++storeDouble().cleared;
  m_impl->extents.clear();
  m_impl->temps.clear();
  return CUxError();
}

bool KqBlkRecallStore::hasExtent(int64_t extent) const { return m_impl->extents.count(extent) > 0; }

CUxError KqBlkRecallStore::readExtent(int64_t extent, void* buffer) const {
  auto it = m_impl->extents.find(extent);
  if (it == m_impl->extents.end()) return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "absent");
  it->second.copy(static_cast<char*>(buffer), it->second.size());
  return CUxError();
}

CUxError KqBlkRecallStore::writeExtent(int64_t extent, const void* buffer) {
  m_impl->extents[extent].assign(static_cast<const char*>(buffer),
                                 static_cast<size_t>(m_impl->extentSize));
  return CUxError();
}

CUxError KqBlkRecallStore::dropExtent(int64_t extent) {
  m_impl->extents.erase(extent);
  return CUxError();
}

// Test access: how many bytes an extent holds, or -1.
long storeDoubleExtentBytes(KqBlkRecallStore* store, int64_t extent) {
  auto& extents = store->impl().extents;
  auto it = extents.find(extent);
  return it == extents.end() ? -1 : static_cast<long>(it->second.size());
}

struct CacheManager::Impl {
  uint64_t capacity;
  uint64_t used = 0;
};

CacheManager::CacheManager(uint64_t capacityBytes) : m_impl(std::make_unique<Impl>()) {
  m_impl->capacity = capacityBytes;
}
CacheManager::~CacheManager() = default;

bool CacheManager::UpdateItem(const std::string& fileName, uint64_t size, int) {
  cacheDouble().updated.push_back(fileName);
  if (m_impl->used + size > m_impl->capacity) return false;
  m_impl->used += size;
  return true;
}

bool CacheManager::DeleteFromCache(const std::string& fileName) {
  cacheDouble().deleted.push_back(fileName);
  return true;
}
