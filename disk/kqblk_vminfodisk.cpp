#include "kqblk_vminfodisk.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "kq_config.h"
#include "kq_library.h"
#include "kqblk_store.h"

namespace {
const char kFile[] = "kqblk_vminfodisk";
const char kReaderLibrary[] = "libktntfs.so";
const char kReaderFactory[] = "CreateHardDiskReaderObject";
const ProductType_t kProductType = 3;
const DiskType_t kDiskType = 27;
const uint32_t kDefaultBlockExtentSize = 1048576;
const size_t kWriteBackExtentSize = 4096;
const uint64_t kSectorsPerExtent = kWriteBackExtentSize / 512;

std::string withoutTrailingBackslash(std::string path) {
  if (!path.empty() && path.back() == '\\') path.pop_back();
  return path;
}
}  // namespace

KqBlkVMInfoDisk::KqBlkVMInfoDisk(const std::string& diskPath, const std::string& dirPath)
    : KqBlkDisk(diskPath, dirPath) {
  m_state = STATE_INIT;
  m_connected = false;
}

KqBlkVMInfoDisk::~KqBlkVMInfoDisk() {
  // The service thread reads through the reader: stop it before the reader goes.
  if (m_state == STATE_MONITORING || m_thread.isJoinable()) {
    try {
      KqBlkDisk::stopThread();
    } catch (...) {
    }
  }
  if (m_reader) {
    m_reader->close();
    delete m_reader;
    m_reader = nullptr;
  }
}

bool KqBlkVMInfoDisk::setDiskParams(int64_t blockExtentSize, int64_t diskSizeInBytes,
                                    uint32_t sectorSize, std::string name) {
  if (hasDevice()) {
    m_log.Error("KqBlkVMInfoDisk::setDiskParams", "disk %s has a device: its parameters stay",
                m_diskName.c_str());
    return false;
  }
  m_blockExtentSize = static_cast<uint32_t>(blockExtentSize);
  m_sectorSize = sectorSize;
  m_diskName = name;
  setDiskUUID(name);
  // A zero sector size would divide by zero; such a disk has no sectors.
  m_numSectors = sectorSize ? diskSizeInBytes / static_cast<int64_t>(sectorSize) : 0;
  m_diskBytes = m_numSectors * static_cast<int64_t>(sectorSize);
  return true;
}

void KqBlkVMInfoDisk::setSpecialOpts(ctxOType, HLXCtxSpecialOpts& options) {
  static const char kFunc[] = "virtual void KqBlkVMInfoDisk::setSpecialOpts(ctxOType, HLXCtxSpecialOpts&)";
  HLXVMContext* context = options.vmContext;
  if (context == nullptr || context->instanceType != HLX_INSTANCE_TYPE_VMINFO) {
    m_log.Debug(kFunc, "InstanceType [%d] not supported for Live Browse for vminfo disk",
                context ? context->instanceType : -1);
    return;
  }
  m_diskType = kDiskType;
  if (m_reader) {
    // A second call replaces the reader instead of leaking it.
    m_reader->close();
    delete m_reader;
    m_opened = false;
  }
  m_reader = createHardDiskReaderObj(kProductType, kDiskType);
  if (m_reader == nullptr) return;
  m_reader->setCapacity(m_numSectors);
  m_reader->setDiskName(&m_diskName);
  m_reader->setSectorSize(m_sectorSize);
  m_reader->setContext(context->sessionId, context->location.c_str(),
                       context->machineId.c_str());
  m_reader->setContextRecord(&context->readerOptions);
}

void KqBlkVMInfoDisk::printSpecialOpts(ctxOType, HLXCtxSpecialOpts&, std::string&) {}

IHardDiskReader* KqBlkVMInfoDisk::createHardDiskReaderObj(ProductType_t productType,
                                                          DiskType_t diskType) {
  static const char kFunc[] =
      "IHardDiskReader* KqBlkVMInfoDisk::createHardDiskReaderObj(ProductType_t, DiskType_t)";
  CUxLibrary library(false);  // stays loaded for the life of the process
  if (library.Load(kReaderLibrary).IsError()) {
    m_log.Error(kFunc, "ERROR: LoadLibrary(%s) failed", kReaderLibrary);
    return nullptr;
  }
  CreateHardDiskReaderObjectFn factory = nullptr;
  if (library.GetAddress(kReaderFactory, &factory).IsError()) {
    m_log.Error(kFunc, "ERROR: GetProcAddressA failed");
    return nullptr;
  }
  IHardDiskReader* reader = nullptr;
  factory(productType, diskType, &reader);
  if (reader == nullptr) m_log.Error(kFunc, "ERROR: lpfnCreateHardDiskReaderObject returned NULL");
  return reader;
}

void KqBlkVMInfoDisk::connect() {
  static const char kFunc[] = "virtual void KqBlkVMInfoDisk::connect()";
  KqBlkDisk::connect();
  if (!m_opened && m_reader) {
    std::vector<Disk_t> disks(1);
    disks[0].path = withoutTrailingBackslash(m_diskName);
    disks[0].diskType = m_diskType;
    m_blockExtentSize = kDefaultBlockExtentSize;
    KQPlatformInfo::getNumber("VirtualServer", "SnapBlocklevelExtentSize", &m_blockExtentSize);
    CUxError err = m_reader->open(&disks, 1, 0);
    if (err.IsError()) {
      m_connected = false;
      throw KqException("KqBlkVMInfoDisk::connect",
                        m_diskName + " : open failed. Error: " + err.AsString(), kFile, __LINE__,
                        -1);
    }
    if (m_numSectors == 0 && m_sectorSize != 0) {
      // A disk given no size has its source's (an NBD export, an image).
      m_numSectors = static_cast<int64_t>(m_reader->getCapacity() * 512 / m_sectorSize);
      m_diskBytes = m_numSectors * static_cast<int64_t>(m_sectorSize);
    }
    m_log.Debug(kFunc, "%s disk opened successfully\n", m_diskName.c_str());
    m_opened = true;
  }
  m_connected = true;
  m_state = STATE_CONNECTED;
  m_log.Debug(kFunc, "%s disk connected\n", m_diskName.c_str());
}

void KqBlkVMInfoDisk::disconnect() {
  KqBlkDisk::disconnect();
  if (m_opened && m_reader) {
    m_reader->close();
    delete m_reader;
    m_reader = nullptr;
    m_opened = false;
  }
  m_connected = false;
  m_log.DebugLvl("virtual void KqBlkVMInfoDisk::disconnect()", 0, "%s disk disconnected",
                 m_diskName.c_str());
}

void KqBlkVMInfoDisk::disconnect_direct() {
  m_log.DebugLvl("virtual void KqBlkVMInfoDisk::disconnect_direct()", 0, "NO OP");
}

bool KqBlkVMInfoDisk::readData(KqBlkDisk*, long long offset, long* size, UINT8** buffer) {
  static const char kFunc[] =
      "virtual bool KqBlkVMInfoDisk::readData(KqBlkDisk*, long long int, long int*, UINT8**)";
  if (m_state != STATE_CONNECTED) {
    throwNeedState("KqBlkVMInfoDisk::readData", " cannot read", STATE_CONNECTED, kFile, __LINE__);
  }
  if (m_reader == nullptr || !m_opened) {
    // Connected without a source: nothing can be read.
    m_log.Error(kFunc, "No reader for disk %s", m_diskName.c_str());
    return false;
  }
  long count = *size / 512;
  const long long start = offset / 512;
  const uint64_t capacity = m_reader->getCapacity();
  if (start < 0 || static_cast<uint64_t>(start) + static_cast<uint64_t>(count) > capacity) {
    m_log.DebugLvl(kFunc, -1, "Attempt to read out of bounds data: Capacity : %llu, sector %lld:%ld\n",
                   static_cast<unsigned long long>(capacity), start, count);
    if (start < 0 || capacity <= static_cast<uint64_t>(start)) return false;
    count = static_cast<long>(capacity - static_cast<uint64_t>(start));
    m_log.DebugLvl(kFunc, -1, "Trimmed read to fit disk bounds: Capacity : %llu, sector %lld:%ld\n",
                   static_cast<unsigned long long>(capacity), start, count);
    // The rest of the buffer lies beyond the disk: it reads as zeros.
    std::fill(*buffer + count * 512, *buffer + *size, 0);
  }
  CUxError err = m_reader->read(offset, *buffer, static_cast<uint32_t>(count * 512), 1);
  if (err.IsError()) {
    m_log.Error(kFunc, "Read failed @ offset %lld:%ld %s", offset, count, err.AsString().c_str());
    return false;
  }
  m_log.DebugLvl(kFunc, 3, "Lib disk read @ offset %lld:%ld", offset, count);
  return true;
}

bool KqBlkVMInfoDisk::writeBackChanges() {
  static const char kFunc[] = "virtual bool KqBlkVMInfoDisk::writeBackChanges()";
  KqBlkRecallStore* store = getPrivateStore();
  if (store == nullptr) {
    m_log.Error(kFunc, "private store NULL!");
    return false;
  }
  std::vector<std::vector<uint8_t>> chunks;
  int32_t bitsPerChunk = 0;
  CUxError err = store->getExtentBitmap(chunks, bitsPerChunk);
  if (err.IsError()) {
    m_log.Error(kFunc, "Failed to get changed bitmap [%s]", err.AsString().c_str());
    return false;
  }
  // Connecting marks the disk state 1; a disk that has a device must come
  // back to state 2 afterwards, or the device could never be destroyed.
  const bool hadDevice = m_state == STATE_DEVICE_CREATED;
  if (m_state != STATE_CONNECTED) {
    connect();
    if (!m_connected) {
      m_log.Error(kFunc, "Failed to connect VixDIsk [%s].", m_diskPath.c_str());
      return false;
    }
  }
  if (m_reader == nullptr || !m_opened) {
    m_log.Error(kFunc, "No reader to write disk %s back to", m_diskName.c_str());
    if (hadDevice) m_state = STATE_DEVICE_CREATED;
    return false;
  }
  uint64_t extent = 0;
  for (const std::vector<uint8_t>& chunk : chunks) {
    if (chunk.empty()) {
      extent += static_cast<uint64_t>(bitsPerChunk);
      continue;
    }
    for (int32_t j = 0; j < bitsPerChunk / 8; ++j) {
      const uint8_t byte = static_cast<size_t>(j) < chunk.size() ? chunk[static_cast<size_t>(j)] : 0;
      for (int k = 0; k < 8; ++k, ++extent) {
        if ((byte >> k) & 1) {
          if (!writeBackExtent(extent)) {
            disconnect_direct();
            if (hadDevice) m_state = STATE_DEVICE_CREATED;
            return false;
          }
        }
      }
    }
  }
  disconnect_direct();
  if (hadDevice) m_state = STATE_DEVICE_CREATED;
  return true;
}

bool KqBlkVMInfoDisk::writeBackExtent(uint64_t extent) {
  static const char kFunc[] = "virtual bool KqBlkVMInfoDisk::writeBackChanges()";
  m_log.DebugLvl(kFunc, 2, "Writing back extent#[%llu]", static_cast<unsigned long long>(extent));
  int fd = -1;
  CUxError err = getPrivateStore()->openExtentFile(static_cast<int64_t>(extent), 0, fd);
  if (err.IsError()) {
    m_log.Error(kFunc, "Failed to open extent [%llu] for writing back to vCenter. Error: [%s]",
                static_cast<unsigned long long>(extent), err.AsString().c_str());
    return false;
  }
  UINT8 buffer[kWriteBackExtentSize] = {};
  size_t filled = 0;
  while (filled < sizeof buffer) {
    const ssize_t n = ::read(fd, buffer + filled, sizeof buffer - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int saved = errno;
      ::close(fd);
      m_log.Error(kFunc, "Failed to read extent [%llu] - errno [%d]",
                  static_cast<unsigned long long>(extent), saved);
      return false;
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  ::close(fd);
  const uint64_t sector = extent * kSectorsPerExtent;
  // The last extent of a disk whose size is no multiple of it lies partly
  // past the disk's end: only its part inside goes back.
  const uint64_t capacity = m_reader->getCapacity();
  if (sector >= capacity) {
    m_log.Error(kFunc, "Extent [%llu] lies beyond the disk's end (%llu sectors)",
                static_cast<unsigned long long>(extent),
                static_cast<unsigned long long>(capacity));
    return false;
  }
  const uint64_t sectors = std::min<uint64_t>(kSectorsPerExtent, capacity - sector);
  err = m_reader->write(sector, buffer, static_cast<uint32_t>(sectors));
  if (err.IsError()) {
    m_log.Error(kFunc, "Write failed @ sector %llu, Error: [%s]",
                static_cast<unsigned long long>(sector), err.AsString().c_str());
    return false;
  }
  m_log.DebugLvl(kFunc, 2, "Lib disk write @ sector %llu", static_cast<unsigned long long>(sector));
  m_writtenBackBytes += sectors * 512;
  return true;
}
