// The disk object for a request's disk source: a reader-backed disk for an
// image, a block device or an NBD URI; the machine's own disk used in place.
#include <cctype>

#include "kqblk_guestdisk.h"
#include "kqblk_request.h"
#include "kqblk_vminfodisk.h"

namespace {

// The reader reads its options from the context, which must outlive the disk.
class SourceDisk : public KqBlkVMInfoDisk {
 public:
  SourceDisk(const KqBlkDiskSource& source, const std::string& storeDir, const std::string& namePrefix)
      : KqBlkVMInfoDisk(source.path, storeDir) {
    setIdPrefix(namePrefix);  // the device's name is made from it here
    setDiskParams(1 << 20, static_cast<int64_t>(source.bytes), 512, source.path);
    m_context.readerOptions.format = source.format;
    HLXCtxSpecialOpts options;
    options.vmContext = &m_context;
    setSpecialOpts(CTX_OTYPE_VMINFO, options);
  }

 private:
  HLXVMContext m_context;
};

// The kernel names the partitions of a disk whose name ends in a digit
// (loop0, nvme0n1) with a "p" between: loop0p1, not loop01.
class MachineDisk : public KqBlkGuestDisk {
 public:
  MachineDisk(const std::string& path, const std::string& storeDir) : KqBlkGuestDisk(path, storeDir) {
    // No device of ours is made, so no prefix; its name is its path.
    setDiskPath(path);
    setDiskUUID(path);
  }
  std::string getPartPrefix() override {
    return !m_diskPath.empty() && std::isdigit(static_cast<unsigned char>(m_diskPath.back())) ? "p" : "";
  }
};

}  // namespace

std::unique_ptr<KqBlkDisk> kqblk_makeDisk(const KqBlkDiskSource& source, const std::string& storeDir,
                                          const std::string& namePrefix) {
  if (source.machineDisk) return std::make_unique<MachineDisk>(source.path, storeDir);
  return std::make_unique<SourceDisk>(source, storeDir, namePrefix);
}
