// The hard-disk reader interface: what a reader plugin ("libktntfs.so")
// makes through its CreateHardDiskReaderObject entry point.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kq_error.h"

typedef std::string CUxString;
typedef int32_t ProductType_t;
typedef int32_t DiskType_t;

// One disk for the reader to open.
struct Disk_t {
  CUxString path;
  int32_t diskType = 0;
  CUxString description;
  uint64_t flags = 0;
  uint64_t offset = 0;
  uint64_t length = 0;
};

// Settings a reader takes from its context record: the format of the disk's
// image, and for tests, reads slowed down or made to fail. The reader reads them where the caller keeps
// them, so they must outlive it.
struct HLXReaderOptions {
  // The image's format as qemu names it ("raw", "qcow2", "vmdk", ...); empty:
  // by the file name's extension, raw for any other name. Never guessed from
  // the image's bytes.
  std::string format;
  uint32_t delayMicros = 0;     // added before every read from the source
  int64_t failReadsFrom = -1;   // the read call (0-based) from which reads fail; -1 never
  uint32_t failReadCount = 0;   // how many read calls fail from there; 0 all of them
};

class IHardDiskReader {
 public:
  virtual ~IHardDiskReader() {}
  virtual void setContext(uint64_t sessionId, const char* location, const char* machineId) = 0;
  virtual void setContextRecord(const HLXReaderOptions* options) = 0;
  virtual void setCapacity(int64_t sectors) = 0;
  virtual void setSectorSize(uint32_t sectorSize) = 0;
  virtual void setDiskName(const std::string* name) = 0;
  // Capacity in 512-byte sectors.
  virtual uint64_t getCapacity() = 0;
  virtual CUxError open(std::vector<Disk_t>* disks, int count, int flags) = 0;
  virtual CUxError close() = 0;
  virtual CUxError read(int64_t offset, void* buffer, uint32_t bytes, int flags) = 0;
  virtual CUxError write(uint64_t sector, const void* buffer, uint32_t sectors) = 0;
};

// The plugin's entry point; fills *reader (null when it cannot make one).
extern "C" typedef int (*CreateHardDiskReaderObjectFn)(ProductType_t productType,
                                                       DiskType_t diskType,
                                                       IHardDiskReader** reader);
