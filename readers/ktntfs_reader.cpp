// The hard-disk reader plugin: serves a raw image file or a block device.
// Recently read source blocks are kept, so the 4 KiB recalls of a sequential
// read cost one source read per block.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <vector>
#include <algorithm>

#include "kq_config.h"
#include "kq_hard_disk_reader.h"

namespace {

const uint32_t kDefaultBlockSize = 1048576;
const uint32_t kMinBlockSize = 4096;
const uint32_t kMaxBlockSize = 64u << 20;
const size_t kCachedBlocks = 16;
const uint64_t kPrefetchBlocks = 4;

struct Block {
  uint64_t index;
  std::vector<uint8_t> data;  // shorter than the block size at the end of the disk
};

class RawImageReader : public IHardDiskReader {
 public:
  ~RawImageReader() override { close(); }

  void setContext(uint64_t, const char*, const char*) override {}
  // The options stay the caller's: a test may change them while the disk runs.
  void setContextRecord(const HLXReaderOptions* options) override { m_options = options; }
  void setCapacity(int64_t sectors) override { m_presetSectors = sectors; }
  void setSectorSize(uint32_t) override {}
  void setDiskName(const std::string*) override {}

  uint64_t getCapacity() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fd >= 0 ? m_sizeBytes / 512 : static_cast<uint64_t>(m_presetSectors);
  }

  CUxError open(std::vector<Disk_t>* disks, int count, int) override {
    if (disks == nullptr || count < 1 || disks->empty()) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "no disk to open");
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    closeLocked();
    const std::string& path = (*disks)[0].path;
    m_fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (m_fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
      m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);  // writes then fail
    }
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot open %s", path.c_str());
    struct stat st;
    if (fstat(m_fd, &st) != 0) return failOpen(errno, path);
    if (S_ISBLK(st.st_mode)) {
      uint64_t bytes = 0;
      if (ioctl(m_fd, BLKGETSIZE64, &bytes) != 0) return failOpen(errno, path);
      m_sizeBytes = bytes;
    } else if (S_ISREG(st.st_mode)) {
      m_sizeBytes = static_cast<uint64_t>(st.st_size);
    } else {
      return failOpen(EINVAL, path);
    }
    m_blockSize = kDefaultBlockSize;
    KQPlatformInfo::getNumber("VirtualServer", "SnapBlocklevelExtentSize", &m_blockSize);
    if (m_blockSize < kMinBlockSize || m_blockSize > kMaxBlockSize || m_blockSize % 4096 != 0) {
      m_blockSize = kDefaultBlockSize;
    }
    m_readCalls = 0;
    return CUxError();
  }

  CUxError close() override {
    std::lock_guard<std::mutex> lock(m_mutex);
    closeLocked();
    return CUxError();
  }

  CUxError read(int64_t offset, void* buffer, uint32_t bytes, int) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t call = m_readCalls++;
    const HLXReaderOptions options = m_options ? *m_options : HLXReaderOptions();
    if (options.failReadsFrom >= 0 && call >= options.failReadsFrom &&
        (options.failReadCount == 0 ||
         call < options.failReadsFrom + static_cast<int64_t>(options.failReadCount))) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "injected read failure %lld",
                                     static_cast<long long>(call));
    }
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FX_HERE, EBADF, "disk not open");
    if (offset < 0 || static_cast<uint64_t>(offset) + bytes > m_sizeBytes) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "read beyond the disk");
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint64_t pos = static_cast<uint64_t>(offset);
    const uint64_t end = pos + bytes;
    while (pos < end) {
      const Block* block = nullptr;
      CUxError err = blockAt(pos / m_blockSize, block);
      if (err.IsError()) return err;
      const uint64_t within = pos % m_blockSize;
      const uint64_t n = std::min<uint64_t>(end - pos, block->data.size() - within);
      std::memcpy(out, block->data.data() + within, n);
      out += n;
      pos += n;
    }
    return CUxError();
  }

  CUxError write(uint64_t sector, const void* buffer, uint32_t sectors) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0) return FXErrorUtil::ErrorErrNo(FX_HERE, EBADF, "disk not open");
    const uint64_t offset = sector * 512;
    const uint64_t bytes = static_cast<uint64_t>(sectors) * 512;
    if (offset + bytes > m_sizeBytes) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "write beyond the disk");
    }
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    for (uint64_t done = 0; done < bytes;) {
      const ssize_t n = pwrite(m_fd, in + done, bytes - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return FXErrorUtil::ErrorErrNo(FX_HERE, n < 0 ? errno : EIO, "write failed");
      done += static_cast<uint64_t>(n);
    }
    // Keep cached blocks coherent with what was written.
    for (Block& block : m_blocks) {
      const uint64_t start = block.index * m_blockSize;
      const uint64_t stop = start + block.data.size();
      const uint64_t from = std::max(start, offset);
      const uint64_t to = std::min(stop, offset + bytes);
      if (from < to) std::memcpy(block.data.data() + (from - start), in + (from - offset), to - from);
    }
    return CUxError();
  }

 private:
  CUxError failOpen(int err, const std::string& path) {
    closeLocked();
    return FXErrorUtil::ErrorErrNo(FX_HERE, err, "cannot use %s as a disk", path.c_str());
  }

  void closeLocked() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_blocks.clear();
  }

  // The block with this index, from the cache or the source (most recent first).
  CUxError blockAt(uint64_t index, const Block*& out) {
    for (auto it = m_blocks.begin(); it != m_blocks.end(); ++it) {
      if (it->index == index) {
        m_blocks.splice(m_blocks.begin(), m_blocks, it);
        out = &m_blocks.front();
        return CUxError();
      }
    }
    const uint64_t start = index * m_blockSize;
    const uint64_t length = std::min<uint64_t>(m_blockSize, m_sizeBytes - start);
    if (index == m_lastSourceBlock + 1) {
      // A sequential run: have the kernel fetch the next blocks while the
      // recalls of this one are served.
      posix_fadvise(m_fd, static_cast<off_t>(start + length),
                    static_cast<off_t>(kPrefetchBlocks) * m_blockSize, POSIX_FADV_WILLNEED);
    }
    m_lastSourceBlock = index;
    Block block{index, std::vector<uint8_t>(length)};
    if (m_options && m_options->delayMicros) usleep(m_options->delayMicros);
    for (uint64_t done = 0; done < length;) {
      const ssize_t n = pread(m_fd, block.data.data() + done, length - done,
                              static_cast<off_t>(start + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return FXErrorUtil::ErrorErrNo(FX_HERE, n < 0 ? errno : EIO, "source read failed");
      done += static_cast<uint64_t>(n);
    }
    m_blocks.push_front(std::move(block));
    if (m_blocks.size() > kCachedBlocks) m_blocks.pop_back();
    out = &m_blocks.front();
    return CUxError();
  }

  std::mutex m_mutex;
  int m_fd = -1;
  uint64_t m_sizeBytes = 0;
  int64_t m_presetSectors = 0;
  uint32_t m_blockSize = kDefaultBlockSize;
  const HLXReaderOptions* m_options = nullptr;
  int64_t m_readCalls = 0;
  std::list<Block> m_blocks;
  uint64_t m_lastSourceBlock = UINT64_MAX - 1;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int CreateHardDiskReaderObject(
    ProductType_t, DiskType_t, IHardDiskReader** reader) {
  if (reader == nullptr) return -1;
  *reader = new (std::nothrow) RawImageReader();
  return *reader ? 0 : -1;
}
