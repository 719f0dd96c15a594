// The hard-disk reader plugin: serves the source a disk path names through a
// BlockSource, with test options to slow or fail reads.
#include <cerrno>
#include <mutex>
#include <new>
#include <vector>

#include "kq_config.h"
#include "kq_hard_disk_reader.h"
#include "ktntfs_block_source.h"
#include "ktntfs_open_source.h"

namespace {

const uint32_t kDefaultBlockSize = 1048576;
const uint32_t kMinBlockSize = 4096;
const uint32_t kMaxBlockSize = 64u << 20;

class SourceReader : public IHardDiskReader {
 public:
  void setContext(uint64_t, const char*, const char*) override {}
  // The options stay the caller's: a test may change them while the disk runs.
  void setContextRecord(const HLXReaderOptions* options) override {
    m_options = options;
    m_source.setOptions(options);
  }
  void setCapacity(int64_t sectors) override { m_presetSectors = sectors; }
  void setSectorSize(uint32_t) override {}
  void setDiskName(const std::string*) override {}

  uint64_t getCapacity() override {
    return m_source.isOpen() ? m_source.size() / 512 : static_cast<uint64_t>(m_presetSectors);
  }

  CUxError open(std::vector<Disk_t>* disks, int count, int) override {
    if (disks == nullptr || count < 1 || disks->empty()) {
      return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "no disk to open");
    }
    uint32_t blockSize = kDefaultBlockSize;
    KQPlatformInfo::getNumber("VirtualServer", "SnapBlocklevelExtentSize", &blockSize);
    if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize || blockSize % 4096 != 0) {
      blockSize = kDefaultBlockSize;
    }
    std::unique_ptr<Source> source;
    CUxError err = openSource((*disks)[0].path, m_options ? m_options->format : std::string(),
                              source);
    if (err.IsError()) return err;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readCalls = 0;
    m_source.open(std::move(source), blockSize);
    return CUxError();
  }

  CUxError close() override {
    m_source.close();
    return CUxError();
  }

  CUxError read(int64_t offset, void* buffer, uint32_t bytes, int) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      const int64_t call = m_readCalls++;
      const int64_t failFrom = m_options ? m_options->failReadsFrom : -1;
      const uint32_t failCount = m_options ? m_options->failReadCount : 0;
      if (failFrom >= 0 && call >= failFrom &&
          (failCount == 0 || call < failFrom + static_cast<int64_t>(failCount))) {
        return FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "injected read failure %lld",
                                       static_cast<long long>(call));
      }
    }
    if (offset < 0) return FXErrorUtil::ErrorErrNo(FX_HERE, EINVAL, "negative offset");
    return m_source.read(static_cast<uint64_t>(offset), buffer, bytes);
  }

  CUxError write(uint64_t sector, const void* buffer, uint32_t sectors) override {
    return m_source.write(sector * 512, buffer, static_cast<uint64_t>(sectors) * 512);
  }

 private:
  std::mutex m_mutex;
  BlockSource m_source;
  int64_t m_presetSectors = 0;
  const HLXReaderOptions* m_options = nullptr;
  int64_t m_readCalls = 0;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int CreateHardDiskReaderObject(
    ProductType_t, DiskType_t, IHardDiskReader** reader) {
  if (reader == nullptr) return -1;
  *reader = new (std::nothrow) SourceReader();
  return *reader ? 0 : -1;
}
