// Extent stores. One store is one directory holding three files:
//
//   header  512 bytes: magic, version, extent size, store size, extent count,
//           bitmap length, the store's name and an FNV-1a checksum
//   data    a sparse file of extentCount * extentSize bytes; extent e lives
//           at e * extentSize
//   bitmap  one bit per extent (extent e is bit e % 8 of byte e / 8), set
//           once the extent's data is in the data file
//
// An extent's data is always written before its bit, and a bit is cleared
// before its data is punched out, so a crash of the process never shows a
// present extent with garbage. The bitmap is also kept in memory; every bit
// change is written through at once (one byte). The directory is flock'ed
// while a store object has it open, so one store directory is open at most
// once on the machine.
#include "kqblk_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <streambuf>
#include <unordered_map>

#include "kqblk_cache_manager.h"
#include "kqblk_store_impl.h"

namespace kqblk_store {
const char kHeaderFile[] = "header";
const char kDataFile[] = "data";
const char kBitmapFile[] = "bitmap";
}  // namespace kqblk_store

using namespace kqblk_store;

namespace {

const char kMagic[8] = {'K', 'Q', 'B', 'L', 'K', 'S', 'T', '1'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 512;
constexpr size_t kNameOffset = 48;
constexpr size_t kNameMax = 400;
constexpr size_t kChecksumOffset = kHeaderSize - 8;
constexpr int32_t kMinExtentSize = 512;
constexpr int32_t kMaxExtentSize = 64 << 20;
// At most 2^33 extents: an in-memory bitmap of at most 1 GiB (32 TiB of
// 4 KiB extents), whatever a header claims.
constexpr int64_t kMaxExtents = int64_t(1) << 33;
constexpr int32_t kBitsPerChunk = 32768;
constexpr size_t kBytesPerChunk = kBitsPerChunk / 8;
constexpr size_t kStripes = 64;
const char kExtentTag[] = "/data#";
const char kTempTag[] = "/tmp#";

void putU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void putU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t getU32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t getU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint64_t fnv1a(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ULL;
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 1099511628211ULL;
  }
  return h;
}

int64_t extentsFor(int64_t size, int32_t extentSize) {
  return size / extentSize + (size % extentSize ? 1 : 0);
}

struct Geometry {
  int32_t extentSize = 0;
  int64_t size = 0;
  int64_t extentCount = 0;
  uint64_t bitmapBytes = 0;
  std::string name;
};

// Empty when the geometry is acceptable, else why not.
std::string checkGeometry(int64_t size, int64_t extentSize) {
  if (extentSize < kMinExtentSize || extentSize > kMaxExtentSize || extentSize % 512 != 0) {
    return "extent size " + std::to_string(extentSize) + " is not a multiple of 512 from " +
           std::to_string(kMinExtentSize) + " to " + std::to_string(kMaxExtentSize);
  }
  if (size < 0 || size > INT64_MAX - extentSize) return "size " + std::to_string(size) + " is invalid";
  if (extentsFor(size, static_cast<int32_t>(extentSize)) > kMaxExtents) {
    return "size " + std::to_string(size) + " needs more than " + std::to_string(kMaxExtents) +
           " extents";
  }
  return std::string();
}

std::array<uint8_t, kHeaderSize> encodeHeader(const Geometry& g) {
  std::array<uint8_t, kHeaderSize> b{};
  std::memcpy(b.data(), kMagic, sizeof kMagic);
  putU32(&b[8], kVersion);
  putU32(&b[12], kHeaderSize);
  putU32(&b[16], static_cast<uint32_t>(g.extentSize));
  putU32(&b[20], static_cast<uint32_t>(g.name.size()));
  putU64(&b[24], static_cast<uint64_t>(g.size));
  putU64(&b[32], static_cast<uint64_t>(g.extentCount));
  putU64(&b[40], g.bitmapBytes);
  std::memcpy(&b[kNameOffset], g.name.data(), g.name.size());
  putU64(&b[kChecksumOffset], fnv1a(b.data(), kChecksumOffset));
  return b;
}

// Reads a header; empty when it is valid, else why not. Nothing read from
// the file is trusted before it is checked.
std::string decodeHeader(const uint8_t* b, Geometry& g) {
  if (std::memcmp(b, kMagic, sizeof kMagic) != 0) return "bad magic";
  if (getU64(&b[kChecksumOffset]) != fnv1a(b, kChecksumOffset)) return "bad checksum";
  if (getU32(&b[8]) != kVersion) return "unsupported version " + std::to_string(getU32(&b[8]));
  if (getU32(&b[12]) != kHeaderSize) return "bad header size";
  const uint64_t extentSize = getU32(&b[16]);
  const uint64_t nameLength = getU32(&b[20]);
  const uint64_t size = getU64(&b[24]);
  const uint64_t extentCount = getU64(&b[32]);
  const uint64_t bitmapBytes = getU64(&b[40]);
  if (size > static_cast<uint64_t>(INT64_MAX)) return "bad size";
  std::string why = checkGeometry(static_cast<int64_t>(size), static_cast<int64_t>(extentSize));
  if (!why.empty()) return why;
  g.extentSize = static_cast<int32_t>(extentSize);
  g.size = static_cast<int64_t>(size);
  g.extentCount = extentsFor(g.size, g.extentSize);
  if (extentCount != static_cast<uint64_t>(g.extentCount)) return "extent count does not match size";
  g.bitmapBytes = static_cast<uint64_t>((g.extentCount + 7) / 8);
  if (bitmapBytes != g.bitmapBytes) return "bitmap length does not match extent count";
  if (nameLength > kNameMax) return "name too long";
  g.name.assign(reinterpret_cast<const char*>(&b[kNameOffset]), nameLength);
  return std::string();
}

CUxError errnoError(const FXCodeLocation& where, int err, const std::string& text) {
  return FXErrorUtil::ErrorErrNo(where, err, "%s", text.c_str());
}

// Repeats a positioned transfer until all of it is done. False with errno
// set on failure; a transfer that makes no progress (end of file) sets EIO.
template <typename Transfer, typename Byte>
bool transferAll(Transfer transfer, int fd, Byte* p, size_t length, off_t offset) {
  while (length > 0) {
    const ssize_t n = transfer(fd, p, length, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool pwriteAll(int fd, const void* data, size_t length, off_t offset) {
  return transferAll(::pwrite, fd, static_cast<const char*>(data), length, offset);
}

bool preadAll(int fd, void* data, size_t length, off_t offset) {
  return transferAll(::pread, fd, static_cast<char*>(data), length, offset);
}

int openDirectory(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

struct DirEntry {
  std::string name;
  bool isDirectory;
};

// The entries of an open directory, "." and ".." left out; false on error.
bool listDirectory(int dirFd, std::vector<DirEntry>& out) {
  const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  out.clear();
  while (struct dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    const bool isDir =
        ::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    out.push_back({e->d_name, isDir});
  }
  ::closedir(dir);
  return true;
}

// Opens a regular file of the store without following links; -1 with errno.
int openStoreFile(int dirFd, const char* name, int flags, off_t* length) {
  const int fd = ::openat(dirFd, name, flags | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  if (length) *length = st.st_size;
  return fd;
}

// Reads and checks the header of the store open at dirFd.
CUxError readHeader(int dirFd, const std::string& path, Geometry& g) {
  off_t length = 0;
  const int fd = openStoreFile(dirFd, kHeaderFile, O_RDONLY, &length);
  if (fd < 0) {
    const int err = errno;
    return errnoError(FX_HERE, err, path + " holds no store header");
  }
  std::array<uint8_t, kHeaderSize> b{};
  const bool read = length == static_cast<off_t>(kHeaderSize) && preadAll(fd, b.data(), b.size(), 0);
  ::close(fd);
  if (!read) return errnoError(FX_HERE, EINVAL, "store header of " + path + " is truncated");
  const std::string why = decodeHeader(b.data(), g);
  if (!why.empty()) return errnoError(FX_HERE, EINVAL, "store header of " + path + " is invalid: " + why);
  return CUxError();
}

// The in-memory bytes of a temporary file: a page-aligned buffer of one
// extent used as the put area. Writing past it marks the file too long (and
// fails the stream).
class TempBuffer : public std::streambuf {
 public:
  explicit TempBuffer(size_t extentSize)
      : m_size(extentSize),
        m_data(static_cast<char*>(std::aligned_alloc(4096, (extentSize + 4095) / 4096 * 4096))) {
    if (!m_data) throw std::bad_alloc();
    reset();
  }
  ~TempBuffer() override { std::free(m_data); }
  TempBuffer(const TempBuffer&) = delete;
  TempBuffer& operator=(const TempBuffer&) = delete;

  const char* data() const { return m_data; }
  size_t length() const { return static_cast<size_t>(pptr() - pbase()); }
  bool overflowed() const { return m_overflowed; }
  void reset() {
    setp(m_data, m_data + m_size);
    m_overflowed = false;
  }

 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    m_overflowed = true;
    return traits_type::eof();
  }

 private:
  size_t m_size;
  char* m_data;
  bool m_overflowed = false;
};

class TempStream : public std::ostream {
 public:
  explicit TempStream(size_t extentSize) : std::ostream(nullptr), m_buffer(extentSize) {
    rdbuf(&m_buffer);
  }
  const TempBuffer& buffer() const { return m_buffer; }
  void reset() {
    m_buffer.reset();
    clear();
  }

 private:
  TempBuffer m_buffer;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::string, KqBlkRecallStore*> stores;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: stores may outlive statics
  return *r;
}

}  // namespace

// ---------------------------------------------------------------------------
// Names and registry shared with the cache manager.

namespace kqblk_store {

std::string extentName(const std::string& storeKey, int64_t extent) {
  std::string name = storeKey == "/" ? std::string() : storeKey;
  name += kExtentTag;
  name += std::to_string(extent);
  return name;
}

bool parseExtentName(const std::string& name, std::string& storeKey, int64_t& extent) {
  const size_t pos = name.rfind(kExtentTag);
  if (pos == std::string::npos) return false;
  const size_t digits = pos + sizeof kExtentTag - 1;
  const size_t count = name.size() - digits;
  if (count == 0 || count > 18) return false;
  int64_t value = 0;
  for (size_t i = digits; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    value = value * 10 + (name[i] - '0');
  }
  storeKey = pos == 0 ? std::string("/") : name.substr(0, pos);
  extent = value;
  return true;
}

std::string canonicalDirectory(const std::string& path) {
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    std::string out(real);
    ::free(real);
    return out;
  }
  std::string out;
  size_t i = 0;
  while (i <= path.size()) {
    const size_t slash = path.find('/', i);
    const size_t end = slash == std::string::npos ? path.size() : slash;
    const std::string part = path.substr(i, end - i);
    if (!part.empty() && part != ".") {
      if (!out.empty() || path[0] == '/') out += '/';
      out += part;
    }
    if (slash == std::string::npos) break;
    i = slash + 1;
  }
  if (out.empty()) return path.empty() ? path : (path[0] == '/' ? "/" : ".");
  return out;
}

bool withOpenStore(const std::string& storeKey, const std::function<void(KqBlkRecallStore&)>& fn) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const auto it = r.stores.find(storeKey);
  if (it == r.stores.end()) return false;
  fn(*it->second);
  return true;
}

}  // namespace kqblk_store

// ---------------------------------------------------------------------------
// The store.

struct KqBlkRecallStore::Impl {
  std::string path;  // as given
  std::string key;   // canonical directory path, the registry's key
  std::string name;
  int64_t size = 0;
  int32_t extentSize = 0;
  int64_t extentCount = 0;

  int dirFd = -1;  // flock'ed while the store is open
  int dataFd = -1;
  int bitmapFd = -1;

  // Readers and writers of an extent take its stripe shared, dropExtents
  // exclusive, so a drop never interleaves with a write or a read.
  mutable std::array<std::shared_mutex, kStripes> stripes;

  // The bitmap in memory, its count of present extents per chunk of
  // kBitsPerChunk bits, and the total; written through under the lock.
  mutable std::mutex bitLock;
  std::vector<uint8_t> bits;
  std::vector<uint32_t> chunkCounts;
  int64_t present = 0;

  std::mutex tempLock;
  std::unordered_map<std::string, std::shared_ptr<TempStream>> temps;
  uint64_t tempSequence = 0;
  // Streams whose temporary file is gone and that nobody else holds: making
  // an ostream costs more than the move-in's own write, so they are reused.
  std::vector<std::shared_ptr<TempStream>> spareStreams;

  // Takes a temporary file's stream back (tempLock held).
  void recycle(std::shared_ptr<TempStream> temp) {
    if (temp.use_count() == 1 && spareStreams.size() < 16) {
      temp->reset();
      spareStreams.push_back(std::move(temp));
    }
  }

  // Batches moved-in extents (see setStagedRun); null when they are
  // written one by one. Replaced only under stageLock.
  mutable std::mutex stageLock;
  std::unique_ptr<KqBlkRunWriter> runs;

  // The stripes of `count` extents from `first`. Every taker takes them in
  // ascending order, so shared takers and dropExtents never deadlock.
  std::array<bool, kStripes> stripesOf(int64_t first, int64_t count) const {
    std::array<bool, kStripes> need{};
    for (int64_t i = 0; i < std::min<int64_t>(count, kStripes); ++i) {
      need[static_cast<size_t>((first + i) % kStripes)] = true;
    }
    return need;
  }
  // Holds those stripes shared while the result lives.
  std::vector<std::shared_lock<std::shared_mutex>> shareStripes(int64_t first,
                                                                int64_t count) const {
    const std::array<bool, kStripes> need = stripesOf(first, count);
    std::vector<std::shared_lock<std::shared_mutex>> guards;
    for (size_t i = 0; i < kStripes; ++i) {
      if (need[i]) guards.emplace_back(stripes[i]);
    }
    return guards;
  }

  // Writes a run of whole extents and marks them present.
  CUxError writeRun(int64_t first, int64_t count, const char* data) {
    const auto guards = shareStripes(first, count);
    if (!pwriteAll(dataFd, data, static_cast<size_t>(count * extentSize),
                   static_cast<off_t>(first) * extentSize)) {
      const int err = errno;
      return errnoError(FX_HERE, err, "cannot write extents " + std::to_string(first) + "+" +
                                          std::to_string(count) + " of " + path);
    }
    return changeBits(first, count, true);
  }

  // The bitmap file mapped shared: a bit set in it is in the page cache at
  // once, after its extent's data, without a write call per extent.
  uint8_t* bitmapMap = nullptr;
  size_t bitmapMapLength = 0;

  bool mapBitmap(size_t length) {
    if (length == 0) return true;
    void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, bitmapFd, 0);
    if (p == MAP_FAILED) return false;
    bitmapMap = static_cast<uint8_t*>(p);
    bitmapMapLength = length;
    return true;
  }

  // Writes bytes [from, to] of the in-memory bitmap through (bitLock held).
  bool writeBits(size_t from, size_t to) {
    if (bitmapMap) {
      std::memcpy(bitmapMap + from, &bits[from], to - from + 1);
      return true;
    }
    return pwriteAll(bitmapFd, &bits[from], to - from + 1, static_cast<off_t>(from));
  }

  ~Impl() {
    runs.reset();  // its last run goes to the files closed below
    if (bitmapMap) ::munmap(bitmapMap, bitmapMapLength);
    for (int fd : {dataFd, bitmapFd, dirFd}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // What openExtentFile answers for an absent extent, made once.
  CUxError absentError;
  CacheManager::RecentUse recentUse;

  bool inRange(int64_t extent) const { return extent >= 0 && extent < extentCount; }
  std::shared_mutex& stripe(int64_t extent) const {
    return stripes[static_cast<uint64_t>(extent) % kStripes];
  }
  bool testBit(int64_t extent) const {  // bitLock held
    return (bits[static_cast<size_t>(extent >> 3)] >> (extent & 7)) & 1;
  }

  // Sets an extent's bit and writes its byte through.
  CUxError setBit(int64_t extent) {
    std::lock_guard<std::mutex> lock(bitLock);
    if (testBit(extent)) return CUxError();
    const size_t at = static_cast<size_t>(extent >> 3);
    const uint8_t old = bits[at];
    bits[at] = static_cast<uint8_t>(old | (1u << (extent & 7)));
    if (!writeBits(at, at)) {
      const int err = errno;
      bits[at] = old;
      return errnoError(FX_HERE, err, "cannot write the bitmap of " + path);
    }
    ++chunkCounts[static_cast<size_t>(extent / kBitsPerChunk)];
    ++present;
    return CUxError();
  }

  // Sets or clears the bits of `count` extents from `first`; one write of
  // the bytes concerned.
  CUxError changeBits(int64_t first, int64_t count, bool set) {
    std::lock_guard<std::mutex> lock(bitLock);
    const int64_t last = first + count - 1;
    const size_t from = static_cast<size_t>(first >> 3), to = static_cast<size_t>(last >> 3);
    const std::vector<uint8_t> old(bits.begin() + from, bits.begin() + to + 1);
    for (int64_t e = first; e <= last; ++e) {
      const uint8_t mask = static_cast<uint8_t>(1u << (e & 7));
      uint8_t& byte = bits[static_cast<size_t>(e >> 3)];
      byte = set ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
    }
    if (std::equal(old.begin(), old.end(), bits.begin() + from)) return CUxError();
    if (!writeBits(from, to)) {
      const int err = errno;
      std::copy(old.begin(), old.end(), bits.begin() + from);
      return errnoError(FX_HERE, err, "cannot write the bitmap of " + path);
    }
    for (int64_t e = first; e <= last; ++e) {
      const bool was = (old[static_cast<size_t>(e >> 3) - from] >> (e & 7)) & 1;
      if (was == set) continue;
      uint32_t& chunk = chunkCounts[static_cast<size_t>(e / kBitsPerChunk)];
      if (set) {
        ++chunk;
        ++present;
      } else {
        --chunk;
        --present;
      }
    }
    return CUxError();
  }

  CUxError rangeError(const FXCodeLocation& where, int64_t extent) const {
    return errnoError(where, EINVAL,
                      "extent " + std::to_string(extent) + " is outside store " + path + " (" +
                          std::to_string(extentCount) + " extents)");
  }

  // Takes a bitmap read from the file (or a fresh one) and counts it.
  void loadBitmap(std::vector<uint8_t> loaded) {
    bits = std::move(loaded);
    // Bits past the last extent mean nothing; never trust them.
    if (extentCount % 8 != 0 && !bits.empty()) {
      bits.back() &= static_cast<uint8_t>((1u << (extentCount % 8)) - 1);
    }
    chunkCounts.assign(static_cast<size_t>((extentCount + kBitsPerChunk - 1) / kBitsPerChunk), 0);
    present = 0;
    for (size_t i = 0; i < bits.size(); ++i) {
      const int n = __builtin_popcount(bits[i]);
      chunkCounts[i / kBytesPerChunk] += static_cast<uint32_t>(n);
      present += n;
    }
  }
};

namespace {

// Opens the store directory into `dirFd` and locks it against a second
// opener (this or another process). A file system without flock is
// accepted as it is.
CUxError openLockedDirectory(const std::string& path, int& dirFd) {
  dirFd = openDirectory(path);
  if (dirFd < 0) {
    const int err = errno;
    return errnoError(FX_HERE, err, "cannot open store directory " + path);
  }
  if (::flock(dirFd, LOCK_EX | LOCK_NB) == 0) return CUxError();
  const int err = errno;
  if (err == EWOULDBLOCK) return errnoError(FX_HERE, EBUSY, "store " + path + " is already open");
  if (err == ENOLCK || err == EINVAL || err == EBADF) return CUxError();
  return errnoError(FX_HERE, err, "cannot lock store " + path);
}

// Enters a new store into the registry; EBUSY when its key is taken.
CUxError registerStore(KqBlkRecallStore* store, const std::string& key) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!r.stores.emplace(key, store).second) {
    return errnoError(FX_HERE, EBUSY, "store " + key + " is already open");
  }
  return CUxError();
}

}  // namespace

KqBlkBackingStore::~KqBlkBackingStore() = default;

KqBlkRecallStore::KqBlkRecallStore(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {
  m_impl->absentError = errnoError(FX_HERE, ENOENT, "the extent asked for is not in store " + m_impl->path);
}

KqBlkRecallStore* KqBlkRecallStore::create(const std::string& path, const std::string& name,
                                           int64_t size, int32_t extentSize, CUxError& error) {
  error.Success();
  const std::string why = checkGeometry(size, extentSize);
  if (!why.empty()) {
    error = errnoError(FX_HERE, EINVAL, "cannot create store " + path + ": " + why);
    return nullptr;
  }
  if (name.size() > kNameMax) {
    error = errnoError(FX_HERE, ENAMETOOLONG, "store name of " + path + " is too long");
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->name = name;
  impl->size = size;
  impl->extentSize = extentSize;
  impl->extentCount = extentsFor(size, extentSize);
  error = openLockedDirectory(path, impl->dirFd);
  if (error.IsError()) return nullptr;
  std::vector<DirEntry> entries;
  if (!listDirectory(impl->dirFd, entries)) {
    const int err = errno;
    error = errnoError(FX_HERE, err, "cannot list store directory " + path);
    return nullptr;
  }
  if (!entries.empty()) {
    error = errnoError(FX_HERE, ENOTEMPTY, "store directory " + path + " is not empty");
    return nullptr;
  }
  impl->key = canonicalDirectory(path);

  Geometry g;
  g.extentSize = extentSize;
  g.size = size;
  g.extentCount = impl->extentCount;
  g.bitmapBytes = static_cast<uint64_t>((impl->extentCount + 7) / 8);
  g.name = name;
  const int flags = O_RDWR | O_CREAT | O_EXCL;
  auto fail = [&](const FXCodeLocation& where, const std::string& text) {
    const int err = errno;
    for (const char* file : {kHeaderFile, kDataFile, kBitmapFile}) ::unlinkat(impl->dirFd, file, 0);
    error = errnoError(where, err, text);
    return nullptr;
  };
  impl->dataFd = openStoreFile(impl->dirFd, kDataFile, flags, nullptr);
  if (impl->dataFd < 0 ||
      ::ftruncate(impl->dataFd, static_cast<off_t>(impl->extentCount) * extentSize) != 0) {
    return fail(FX_HERE, "cannot make the data file of store " + path);
  }
  impl->bitmapFd = openStoreFile(impl->dirFd, kBitmapFile, flags, nullptr);
  if (impl->bitmapFd < 0 || ::ftruncate(impl->bitmapFd, static_cast<off_t>(g.bitmapBytes)) != 0 ||
      !impl->mapBitmap(g.bitmapBytes)) {
    return fail(FX_HERE, "cannot make the bitmap of store " + path);
  }
  // The header comes last: a directory without one is no store.
  const int headerFd = openStoreFile(impl->dirFd, kHeaderFile, flags, nullptr);
  if (headerFd < 0) return fail(FX_HERE, "cannot make the header of store " + path);
  const auto header = encodeHeader(g);
  const bool written = pwriteAll(headerFd, header.data(), header.size(), 0);
  ::close(headerFd);
  if (!written) return fail(FX_HERE, "cannot write the header of store " + path);
  impl->loadBitmap(std::vector<uint8_t>(g.bitmapBytes, 0));

  std::string key = impl->key;
  KqBlkRecallStore* store = new KqBlkRecallStore(std::move(impl));
  error = registerStore(store, key);
  if (error.IsError()) {
    for (const char* file : {kHeaderFile, kDataFile, kBitmapFile}) {
      ::unlinkat(store->m_impl->dirFd, file, 0);
    }
    store->m_impl->key.clear();  // not ours to unregister
    delete store;
    return nullptr;
  }
  return store;
}

KqBlkRecallStore* KqBlkRecallStore::open(const std::string& path, CUxError& error) {
  error.Success();
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  error = openLockedDirectory(path, impl->dirFd);
  if (error.IsError()) return nullptr;
  Geometry g;
  error = readHeader(impl->dirFd, path, g);
  if (error.IsError()) return nullptr;
  impl->name = g.name;
  impl->size = g.size;
  impl->extentSize = g.extentSize;
  impl->extentCount = g.extentCount;

  off_t length = 0;
  impl->dataFd = openStoreFile(impl->dirFd, kDataFile, O_RDWR, &length);
  if (impl->dataFd < 0) {
    const int err = errno;
    error = errnoError(FX_HERE, err, "cannot open the data file of store " + path);
    return nullptr;
  }
  if (length != static_cast<off_t>(g.extentCount) * g.extentSize) {
    error = errnoError(FX_HERE, EINVAL, "data file of store " + path + " has the wrong length");
    return nullptr;
  }
  impl->bitmapFd = openStoreFile(impl->dirFd, kBitmapFile, O_RDWR, &length);
  if (impl->bitmapFd < 0) {
    const int err = errno;
    error = errnoError(FX_HERE, err, "cannot open the bitmap of store " + path);
    return nullptr;
  }
  if (length != static_cast<off_t>(g.bitmapBytes)) {
    error = errnoError(FX_HERE, EINVAL, "bitmap of store " + path + " has the wrong length");
    return nullptr;
  }
  std::vector<uint8_t> loaded(g.bitmapBytes);
  if (!loaded.empty() && !preadAll(impl->bitmapFd, loaded.data(), loaded.size(), 0)) {
    const int err = errno;
    error = errnoError(FX_HERE, err, "cannot read the bitmap of store " + path);
    return nullptr;
  }
  impl->loadBitmap(std::move(loaded));
  if (!impl->mapBitmap(g.bitmapBytes)) {
    const int err = errno;
    error = errnoError(FX_HERE, err, "cannot map the bitmap of store " + path);
    return nullptr;
  }
  impl->key = canonicalDirectory(path);

  std::string key = impl->key;
  KqBlkRecallStore* store = new KqBlkRecallStore(std::move(impl));
  error = registerStore(store, key);
  if (error.IsError()) {
    store->m_impl->key.clear();
    delete store;
    return nullptr;
  }
  return store;
}

KqBlkRecallStore::~KqBlkRecallStore() {
  if (!m_impl || m_impl->key.empty()) return;
  flushStaged();  // recalled data the cache manager already counts
  {
    // Waits for an eviction running on this store to end.
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    const auto it = r.stores.find(m_impl->key);
    if (it != r.stores.end() && it->second == this) r.stores.erase(it);
  }
  CacheManager::ForgetStore(m_impl->key);
}

int32_t KqBlkRecallStore::getExtentSize() const { return m_impl->extentSize; }
int64_t KqBlkRecallStore::getSize() const { return m_impl->size; }
const std::string& KqBlkRecallStore::getPath() const { return m_impl->path; }
const std::string& KqBlkRecallStore::getName() const { return m_impl->name; }
int64_t KqBlkRecallStore::getExtentCount() const { return m_impl->extentCount; }

int64_t KqBlkRecallStore::getPresentCount() const {
  std::lock_guard<std::mutex> lock(m_impl->bitLock);
  return m_impl->present;
}

bool KqBlkRecallStore::hasExtent(int64_t extent) const {
  if (!m_impl->inRange(extent)) return false;
  std::lock_guard<std::mutex> lock(m_impl->bitLock);
  return m_impl->testBit(extent);
}

CUxError KqBlkRecallStore::readExtent(int64_t extent, void* buffer) const {
  Impl& s = *m_impl;
  if (!s.inRange(extent)) return s.rangeError(FX_HERE, extent);
  std::shared_lock<std::shared_mutex> guard(s.stripe(extent));
  {
    std::lock_guard<std::mutex> lock(s.bitLock);
    if (!s.testBit(extent)) {
      return errnoError(FX_HERE, ENOENT,
                        "extent " + std::to_string(extent) + " is not in store " + s.path);
    }
  }
  if (!preadAll(s.dataFd, buffer, static_cast<size_t>(s.extentSize),
                static_cast<off_t>(extent) * s.extentSize)) {
    const int err = errno;
    return errnoError(FX_HERE, err, "cannot read extent " + std::to_string(extent) + " of " + s.path);
  }
  return CUxError();
}

CUxError KqBlkRecallStore::readExtents(int64_t first, int64_t count, void* buffer) const {
  Impl& s = *m_impl;
  if (count <= 0) return CUxError();
  if (!s.inRange(first)) return s.rangeError(FX_HERE, first);
  if (count > s.extentCount - first) return s.rangeError(FX_HERE, s.extentCount);
  const auto guards = s.shareStripes(first, count);
  {
    std::lock_guard<std::mutex> lock(s.bitLock);
    for (int64_t e = first; e < first + count; ++e) {
      if (!s.testBit(e)) {
        return errnoError(FX_HERE, ENOENT,
                          "extent " + std::to_string(e) + " is not in store " + s.path);
      }
    }
  }
  if (!preadAll(s.dataFd, buffer, static_cast<size_t>(count * s.extentSize),
                static_cast<off_t>(first) * s.extentSize)) {
    const int err = errno;
    return errnoError(FX_HERE, err, "cannot read extents " + std::to_string(first) + "+" +
                                        std::to_string(count) + " of " + s.path);
  }
  return CUxError();
}

void KqBlkExtentHold::release() {
  while (m_count > 0) m_locks[--m_count]->unlock_shared();
}

void KqBlkRecallStore::holdExtents(int64_t first, int64_t count, KqBlkExtentHold& hold) const {
  static_assert(KqBlkExtentHold::kMaxLocks == kStripes, "a hold takes every stripe at most");
  Impl& s = *m_impl;
  hold.release();
  if (count <= 0) return;
  const std::array<bool, kStripes> need = s.stripesOf(first, count);
  for (size_t i = 0; i < kStripes; ++i) {
    if (!need[i]) continue;
    s.stripes[i].lock_shared();
    hold.m_locks[hold.m_count++] = &s.stripes[i];
  }
}

int KqBlkRecallStore::dataDescriptor() const { return m_impl->dataFd; }

const std::string& kqblk_store::storeKey(KqBlkRecallStore& store) { return store.impl().key; }

void KqBlkRecallStore::noteRead(int64_t first, int64_t count) {
  CacheManager::TouchExtents(m_impl->key, first, count, m_impl->recentUse);
}

CUxError KqBlkRecallStore::writeExtent(int64_t extent, const void* buffer) {
  Impl& s = *m_impl;
  if (!s.inRange(extent)) return s.rangeError(FX_HERE, extent);
  std::shared_lock<std::shared_mutex> guard(s.stripe(extent));
  if (!pwriteAll(s.dataFd, buffer, static_cast<size_t>(s.extentSize),
                 static_cast<off_t>(extent) * s.extentSize)) {
    const int err = errno;
    return errnoError(FX_HERE, err, "cannot write extent " + std::to_string(extent) + " of " + s.path);
  }
  return s.setBit(extent);
}

CUxError KqBlkRecallStore::dropExtent(int64_t extent) { return dropExtents(extent, 1); }

CUxError KqBlkRecallStore::dropExtents(int64_t first, int64_t count) {
  Impl& s = *m_impl;
  if (count <= 0) return CUxError();
  if (!s.inRange(first)) return s.rangeError(FX_HERE, first);
  if (count > s.extentCount - first) return s.rangeError(FX_HERE, s.extentCount);
  {
    // A staged extent is written first, so that what is dropped is gone
    // for good (a later write would bring it back behind the cache's back).
    std::lock_guard<std::mutex> lock(s.stageLock);
    if (s.runs) {
      const KqBlkPendingRuns pending = s.runs->pending();
      for (int i = 0; i < 2; ++i) {
        if (pending.count[i] > 0 && pending.first[i] < first + count &&
            first < pending.first[i] + pending.count[i]) {
          s.runs->flush();
          break;
        }
      }
    }
  }
  // The range's stripes, exclusive, in the same ascending order.
  const std::array<bool, kStripes> need = s.stripesOf(first, count);
  std::vector<std::unique_lock<std::shared_mutex>> guards;
  for (size_t i = 0; i < kStripes; ++i) {
    if (need[i]) guards.emplace_back(s.stripes[i]);
  }
  CUxError err = s.changeBits(first, count, false);
  if (err.IsError()) return err;
  if (::fallocate(s.dataFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(first) * s.extentSize,
                  static_cast<off_t>(count) * s.extentSize) != 0) {
    const int e = errno;
    // Without hole punching the extents are still gone (their bits are
    // clear); only their space stays in use.
    if (e != EOPNOTSUPP) {
      return errnoError(FX_HERE, e, "cannot free extents " + std::to_string(first) + "+" +
                                        std::to_string(count) + " of " + s.path);
    }
  }
  return CUxError();
}

CUxError KqBlkRecallStore::openExtentFile(int64_t extent, int /*flags*/, int& fd) {
  fd = -1;
  Impl& s = *m_impl;
  // The service thread asks this of every extent before recalling it, and
  // nearly always the answer is no: keep that answer free of formatting.
  if (s.inRange(extent) && !hasExtent(extent)) return s.absentError;
  thread_local std::vector<char> buffer;
  buffer.resize(static_cast<size_t>(s.extentSize));
  CUxError err = readExtent(extent, buffer.data());
  if (err.IsError()) return err;
  int memfd = ::memfd_create("kqblk-extent", MFD_CLOEXEC);
  if (memfd < 0 && errno == ENOSYS) {
    memfd = ::openat(s.dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  }
  if (memfd < 0) {
    const int e = errno;
    return errnoError(FX_HERE, e, "cannot make a file for extent " + std::to_string(extent));
  }
  // pwrite leaves the descriptor's offset at 0, the extent's first byte.
  if (!pwriteAll(memfd, buffer.data(), buffer.size(), 0)) {
    const int e = errno;
    ::close(memfd);
    return errnoError(FX_HERE, e, "cannot fill the file of extent " + std::to_string(extent));
  }
  fd = memfd;
  return CUxError();
}

CUxError KqBlkRecallStore::getExtentFileName(int64_t extent, std::string& name) {
  if (!m_impl->inRange(extent)) return m_impl->rangeError(FX_HERE, extent);
  name = extentName(m_impl->key, extent);
  return CUxError();
}

CUxError KqBlkRecallStore::openTempFile(std::string& tempName,
                                        std::shared_ptr<std::ostream>& stream) {
  Impl& s = *m_impl;
  std::lock_guard<std::mutex> lock(s.tempLock);
  std::shared_ptr<TempStream> temp;
  if (s.spareStreams.empty()) {
    temp = std::make_shared<TempStream>(static_cast<size_t>(s.extentSize));
  } else {
    temp = std::move(s.spareStreams.back());
    s.spareStreams.pop_back();
  }
  tempName = s.key + kTempTag + std::to_string(++s.tempSequence);
  s.temps[tempName] = temp;
  stream = temp;
  return CUxError();
}

CUxError KqBlkRecallStore::moveInExtentFile(const std::string& tempName, int64_t extent) {
  Impl& s = *m_impl;
  std::shared_ptr<TempStream> temp;
  {
    std::lock_guard<std::mutex> lock(s.tempLock);
    const auto it = s.temps.find(tempName);
    if (it == s.temps.end()) {
      return errnoError(FX_HERE, ENOENT, "no temporary file " + tempName + " in " + s.path);
    }
    temp = it->second;
  }
  const TempBuffer& b = temp->buffer();
  if (b.overflowed() || b.length() != static_cast<size_t>(s.extentSize)) {
    return errnoError(FX_HERE, EINVAL,
                      "temporary file " + tempName + " holds " +
                          (b.overflowed() ? std::string("more than ") : std::string()) +
                          std::to_string(b.length()) + " bytes, an extent " +
                          std::to_string(s.extentSize));
  }
  CUxError err;
  {
    std::lock_guard<std::mutex> lock(s.stageLock);
    if (s.runs && s.inRange(extent)) {
      s.runs->add(extent, b.data());
    } else {
      err = writeExtent(extent, b.data());
    }
  }
  if (err.IsError()) return err;  // the temporary file stays for removeTempFile
  std::lock_guard<std::mutex> lock(s.tempLock);
  s.temps.erase(tempName);
  s.recycle(std::move(temp));
  return CUxError();
}

void KqBlkRecallStore::setStagedRun(int64_t extents) {
  Impl& s = *m_impl;
  std::lock_guard<std::mutex> lock(s.stageLock);
  s.runs.reset();  // writes what it still holds
  if (extents <= 0) return;
  try {
    s.runs.reset(new KqBlkRunWriter(
        static_cast<size_t>(s.extentSize), extents,
        [&s](int64_t first, int64_t count, const char* data) { return s.writeRun(first, count, data); }));
  } catch (const std::exception&) {
    // No memory or no thread for it: extents are written one by one.
  }
}

CUxError KqBlkRecallStore::flushStaged() {
  std::lock_guard<std::mutex> lock(m_impl->stageLock);
  return m_impl->runs ? m_impl->runs->flush() : CUxError();
}

KqBlkPendingRuns KqBlkRecallStore::stagedRuns() const {
  std::lock_guard<std::mutex> lock(m_impl->stageLock);
  return m_impl->runs ? m_impl->runs->pending() : KqBlkPendingRuns();
}

CUxError KqBlkRecallStore::removeTempFile(const std::string& tempName) {
  Impl& s = *m_impl;
  std::lock_guard<std::mutex> lock(s.tempLock);
  const auto it = s.temps.find(tempName);
  if (it == s.temps.end()) {
    return errnoError(FX_HERE, ENOENT, "no temporary file " + tempName + " in " + s.path);
  }
  std::shared_ptr<TempStream> temp = std::move(it->second);
  s.temps.erase(it);
  s.recycle(std::move(temp));
  return CUxError();
}

CUxError KqBlkRecallStore::getExtentBitmap(std::vector<std::vector<uint8_t>>& chunks,
                                           int32_t& bitsPerChunk) {
  Impl& s = *m_impl;
  bitsPerChunk = kBitsPerChunk;
  std::lock_guard<std::mutex> lock(s.bitLock);
  chunks.assign(s.chunkCounts.size(), std::vector<uint8_t>());
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (s.chunkCounts[i] == 0) continue;
    // Always a whole chunk: the last one is padded with zero bytes.
    chunks[i].assign(kBytesPerChunk, 0);
    const size_t from = i * kBytesPerChunk;
    const size_t n = std::min(kBytesPerChunk, s.bits.size() - from);
    std::memcpy(chunks[i].data(), s.bits.data() + from, n);
  }
  return CUxError();
}

CUxError KqBlkRecallStore::clear() {
  {
    std::lock_guard<std::mutex> lock(m_impl->tempLock);
    m_impl->temps.clear();
    m_impl->spareStreams.clear();
  }
  {
    std::lock_guard<std::mutex> lock(m_impl->stageLock);
    if (m_impl->runs) m_impl->runs->discard();
  }
  CacheManager::ForgetStore(m_impl->key);
  return CUxError();
}

CUxError KqBlkRecallStore::sync() {
  Impl& s = *m_impl;
  CUxError staged = flushStaged();
  if (staged.IsError()) return staged;
  if (::fdatasync(s.dataFd) != 0) {
    const int e = errno;
    return errnoError(FX_HERE, e, "cannot flush the data file of " + s.path);
  }
  std::lock_guard<std::mutex> lock(s.bitLock);
  if (::fdatasync(s.bitmapFd) != 0) {
    const int e = errno;
    return errnoError(FX_HERE, e, "cannot flush the bitmap of " + s.path);
  }
  return CUxError();
}

CUxError KqBlkBackingStore::remove(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return CUxError();
    const int err = errno;
    return errnoError(FX_HERE, err, "cannot examine store directory " + path);
  }
  if (!S_ISDIR(st.st_mode)) return errnoError(FX_HERE, ENOTDIR, path + " is not a store directory");
  const int dirFd = openDirectory(path);
  if (dirFd < 0) {
    const int err = errno;
    return errnoError(FX_HERE, err, "cannot open store directory " + path);
  }
  const std::string key = canonicalDirectory(path);
  bool openHere = false;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    openHere = r.stores.count(key) != 0;
  }
  // A store open in this process loses its files (its descriptors stay
  // valid); one held by another live process is left alone.
  if (!openHere && ::flock(dirFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(dirFd);
    return errnoError(FX_HERE, EBUSY, "store " + path + " is in use by another process");
  }
  std::vector<DirEntry> entries;
  if (!listDirectory(dirFd, entries)) {
    const int err = errno;
    ::close(dirFd);
    return errnoError(FX_HERE, err, "cannot list store directory " + path);
  }
  Geometry g;
  if (readHeader(dirFd, path, g).IsError()) {
    // No valid header: only the remains of a store (its own file names) go.
    for (const DirEntry& e : entries) {
      if (e.name != kHeaderFile && e.name != kDataFile && e.name != kBitmapFile) {
        ::close(dirFd);
        return errnoError(FX_HERE, EINVAL, path + " is not a store directory");
      }
    }
  }
  CacheManager::ForgetStore(key);
  CUxError result;
  for (const DirEntry& e : entries) {
    if (e.isDirectory) {  // never ours: left in place, never entered
      result = errnoError(FX_HERE, ENOTEMPTY, "store directory " + path + " holds directory " + e.name);
      continue;
    }
    if (::unlinkat(dirFd, e.name.c_str(), 0) != 0 && errno != ENOENT) {
      const int err = errno;
      result = errnoError(FX_HERE, err, "cannot remove " + path + "/" + e.name);
    }
  }
  ::close(dirFd);
  if (result.IsError()) return result;
  if (::rmdir(path.c_str()) != 0) {
    const int err = errno;
    return errnoError(FX_HERE, err, "cannot remove store directory " + path);
  }
  return CUxError();
}
