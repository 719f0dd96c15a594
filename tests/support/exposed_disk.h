// A backup image exposed through a reader-backed disk and the real driver,
// taken down again when the object goes, whatever happened meanwhile.
#pragma once

#include <dirent.h>

#include <memory>
#include <string>

#include "kqblk_vminfodisk.h"

// Points `disk` at `image`, `bytes` long, read through the reader plugin
// with the options in `context`.
inline void configureDisk(KqBlkVMInfoDisk& disk, HLXVMContext& context, const std::string& image,
                          uint64_t bytes) {
  disk.setIdPrefix("test-");
  disk.setDiskParams(1 << 20, static_cast<int64_t>(bytes), 512, image);
  HLXCtxSpecialOpts options;
  options.vmContext = &context;
  disk.setSpecialOpts(CTX_OTYPE_VMINFO, options);
}

struct ExposedDisk {
  ExposedDisk(const std::string& image, uint64_t bytes, const std::string& storeDir,
              uint32_t delayMicros = 0) {
    context.readerOptions.delayMicros = delayMicros;
    disk.reset(new KqBlkVMInfoDisk(image, storeDir));
    configureDisk(*disk, context, image, bytes);
  }
  // Connects, makes the device, starts serving and waits until it is ready.
  void expose() {
    disk->connect();
    devPath = disk->createKqBlkDev();
    disk->startThread();
    disk->waitForDeviceReady();
  }
  ~ExposedDisk() {
    if (!disk) return;
    try {
      disk->stopThread();
      disk->destroyKqBlkDev();
    } catch (...) {
    }
  }
  ExposedDisk(const ExposedDisk&) = delete;
  ExposedDisk& operator=(const ExposedDisk&) = delete;

  HLXVMContext context;  // the reader reads its options from here
  std::unique_ptr<KqBlkVMInfoDisk> disk;
  std::string devPath;
};

// How many descriptors this process has open.
inline int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n - 1;  // the listing's own
}
