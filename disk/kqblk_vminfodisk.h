// A disk whose data source is a hard-disk reader made by the reader plugin:
// it serves the service thread's reads and writes the device's changes back.
// Given a size of 0, the disk takes its source's when it connects.
#pragma once

#include "kq_hard_disk_reader.h"
#include "kqblk_disk.h"

class KqBlkVMInfoDisk : public KqBlkDisk {
 public:
  KqBlkVMInfoDisk(const std::string& diskPath, const std::string& dirPath);
  ~KqBlkVMInfoDisk() override;

  bool setDiskParams(int64_t blockExtentSize, int64_t diskSizeInBytes, uint32_t sectorSize,
                     std::string name) override;
  void setSpecialOpts(ctxOType type, HLXCtxSpecialOpts& options) override;
  void printSpecialOpts(ctxOType type, HLXCtxSpecialOpts& options, std::string& out) override;
  void connect() override;
  void disconnect() override;
  void disconnect_direct() override;
  bool readData(KqBlkDisk* disk, long long offset, long* size, UINT8** buffer) override;
  bool writeBackChanges() override;

  IHardDiskReader* createHardDiskReaderObj(ProductType_t productType, DiskType_t diskType);

 private:
  bool writeBackExtent(uint64_t extent);

  uint32_t m_blockExtentSize = 0;
  uint32_t m_sectorSize = 0;
  std::string m_diskName;
  bool m_opened = false;
  int32_t m_diskType = 0;
  IHardDiskReader* m_reader = nullptr;
};
