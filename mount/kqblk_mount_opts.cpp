// The file-system type is read from the device with libblkid in-process: no
// shell command line is built from the device path, which for a logical
// volume carries the guest's group and volume names.
#include "kq_error.h"
#include "kq_log.h"
#include "kqblk_blkid.h"
#include "kqblk_mount_utils.h"

namespace {
const char* const kFunc = "kqblk_mountOptsForDevice";
const char* const kBaseOptions = "nosuid,nodev,noexec";
}  // namespace

bool kqblk_mountOptsForDevice(const std::string& device, std::string& options,
                              std::string& fsType) {
  options = std::string("-o ") + kBaseOptions + " ";
  std::string type;
  try {
    kqblk_blkid blkid(device);
    blkid.getTag("TYPE", type);
    EvDebug::Debug(kFunc, "Read the file system type [%s] of %s successfully", type.c_str(),
                   device.c_str());
  } catch (const CUxError& e) {
    EvDebug::Debug(kFunc, "Failed to read the file system type of %s, err:%s", device.c_str(),
                   e.AsString().c_str());
  }
  // XFS refuses a second file system with a UUID already mounted; copies of
  // one guest disk share theirs.
  if (type.find("xfs") != std::string::npos) {
    options = std::string("-o nouuid,") + kBaseOptions + " ";
  }
  if (!type.empty()) fsType = type;
  EvDebug::Debug(kFunc, "Using mount options [%s] for FS [%s]", options.c_str(), fsType.c_str());
  return true;
}
