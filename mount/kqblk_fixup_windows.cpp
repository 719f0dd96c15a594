// The Windows guest's layout: each volume described from its block-id tags,
// its drive letter read from the guest's SYSTEM hive, and the volume moved
// from its MountDir directory to a directory named by the letter.
//
// The letters are guest data. The parser hands back only plain names (no
// "/", not "." or ".."), and the moves are made with system calls, not
// shell command lines. A target directory must be new: a letter that names
// something already in the mount root (another volume's MountDir directory,
// a letter given twice by cloned disks) never mounts over it; that volume
// stays where it is.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "kq_guid.h"
#include "kq_hive.h"
#include "kq_log.h"
#include "kq_shell.h"
#include "kq_string.h"
#include "kqblk_blkid.h"
#include "kqblk_disk.h"
#include "kqblk_disk_utils.h"

namespace {

const char* const kFunc = "KqBlkDiskUtils::fixupMountPoints_Windows";
const int64_t kTagSectorSize = 512;  // block-id gives offsets and sizes in 512-byte units

typedef std::list<boost::shared_ptr<KqBlkDisk>> DiskList;

// A tag value as a number: digits of `base` only (no sign, blanks or "0x"),
// at most `max`. Anything else is thrown.
uint64_t tagNumber(const std::string& text, int base, uint64_t max) {
  bool digits = !text.empty();
  for (unsigned char c : text) digits = digits && (base == 16 ? std::isxdigit(c) : std::isdigit(c));
  if (!digits) throw std::invalid_argument("not a number: [" + text + "]");
  const unsigned long long value = std::stoull(text, nullptr, base);
  if (value > max) throw std::out_of_range("number too large: [" + text + "]");
  return value;
}

// The disk signature of the disk among `disks` that holds partition
// `device`; 0 when none does or its disk carries none.
uint32_t diskSignatureOf(const std::string& device, const DiskList& disks) {
  for (const boost::shared_ptr<KqBlkDisk>& disk : disks) {
    if (!disk) continue;
    const std::string devPath = disk->getDevPath();
    const std::string prefix = disk->getPartPrefix();
    std::list<slice> slices;
    getPartitions(devPath.c_str(), &slices);
    uint32_t signature = 0;
    for (const slice& s : slices) {
      if (FXString::Format("%s%s%d", devPath.c_str(), prefix.c_str(), s.number) != device) continue;
      std::string text;
      if (kqblk_blkid(devPath).getTag("DISK_SIGNATURE", text)) {
        signature = static_cast<uint32_t>(tagNumber(text, 16, 0xffffffffu));
        break;
      }
    }
    if (signature != 0) return signature;
  }
  return 0;
}

DiskPartInfo describeVolume(const std::string& device, const DiskList& disks) {
  DiskPartInfo volume(0);
  volume.device = device;
  kqblk_blkid blkid(device);
  std::string text;
  if (blkid.getTag("PART_ENTRY_SCHEME", text) && text == "dos") {
    volume.isMBR = true;
    volume.signature = diskSignatureOf(device, disks);
  }
  if (blkid.getTag("PART_ENTRY_UUID", text)) {
    FXMisc::ConvertStringToUuid(text, &volume.partitionGuid);
  }
  if (blkid.getTag("PART_ENTRY_TYPE", text)) {
    FXMisc::ConvertStringToUuid(text, &volume.partitionTypeGuid);
  }
  if (blkid.getTag("PART_ENTRY_NUMBER", text)) {
    volume.partitionNumber = static_cast<uint32_t>(tagNumber(text, 10, 0xffffffffu));
  }
  const uint64_t maxSectors = std::numeric_limits<int64_t>::max() / kTagSectorSize;
  if (blkid.getTag("PART_ENTRY_OFFSET", text)) {
    volume.offset = static_cast<int64_t>(tagNumber(text, 10, maxSectors)) * kTagSectorSize;
  }
  if (blkid.getTag("PART_ENTRY_SIZE", text)) {
    volume.length = static_cast<int64_t>(tagNumber(text, 10, maxSectors)) * kTagSectorSize;
  }
  return volume;
}

bool failed(const std::string& operation) {
  const std::string why = std::strerror(errno);
  EvDebug::Error(kFunc, "Failed to run %s err:[%s]  out:[%s]", operation.c_str(), why.c_str(), "");
  return false;
}

// Moves the volume mounted on `from` to the new directory `to`: make it,
// bind the volume there, unmount the old place and remove its directory.
bool moveVolume(const std::string& from, const std::string& to) {
  const std::string qFrom = KqShellQuote(from);
  const std::string qTo = KqShellQuote(to);
  std::string op = "mkdir " + qTo;
  if (::mkdir(to.c_str(), 0755) != 0) return failed(op);
  // Mount through a descriptor of the directory just made, never through a
  // name that could have been replaced meanwhile.
  const int target = ::open(to.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (target < 0) return failed(op);
  op = "mount -o bind " + qFrom + " " + qTo;
  EvDebug::Debug(kFunc, "binding mountpoint using %s ", op.c_str());
  const std::string targetPath = "/proc/self/fd/" + std::to_string(target);
  const int rc = ::mount(from.c_str(), targetPath.c_str(), nullptr, MS_BIND, nullptr);
  const int mountErrno = errno;
  ::close(target);
  errno = mountErrno;
  if (rc != 0) return failed(op);
  op = "umount " + qFrom;
  EvDebug::Debug(kFunc, "binding mountpoint using %s ", op.c_str());
  if (::umount2(from.c_str(), UMOUNT_NOFOLLOW) != 0) return failed(op);
  op = "rmdir " + qFrom;
  if (::rmdir(from.c_str()) != 0) return failed(op);
  return true;
}

}  // namespace

bool KqBlkDiskUtils::fixupMountPoints_Windows(const std::string& /*mountRoot*/,
                                              std::list<kqblk_mountpoint>& mountPoints,
                                              const DiskList& disks) {
  std::list<std::string> devices;
  std::list<std::string> mountPaths;
  std::list<DiskPartInfo> volumes;
  for (const kqblk_mountpoint& mp : mountPoints) {
    if (!mp.error.empty()) continue;
    devices.push_back(mp.device);
    mountPaths.push_back(mp.mountPath);
    volumes.push_back(describeVolume(mp.device, disks));
    EvDebug::Debug(kFunc, "Adding - %s", volumes.back().AsString().c_str());
  }

  GUID guid;
  GetNewGuid(&guid);
  std::list<std::string> letters;
  std::string hivePath;
  CSysHiveParser parser(FXString::AsString(guid), devices, mountPaths, volumes, false);
  const CUxError err = parser.GetDriveLetters(letters, hivePath);
  if (err.IsError()) {
    EvDebug::Error(kFunc, "Failed to get drive letters - %s\n", err.AsString().c_str());
    return false;
  }
  EvDebug::Debug(kFunc, "Found %zd drive letters in hive path %s\n", letters.size(),
                 hivePath.c_str());
  if (letters.size() != volumes.size()) {
    EvDebug::Debug(kFunc,
                   "Number of drive letters found (%zd) is different than the number of "
                   "volumes (%zd)",
                   letters.size(), volumes.size());
    return false;
  }

  int n = 0;
  auto letter = letters.begin();
  for (const kqblk_mountpoint& mp : mountPoints) {
    if (!mp.error.empty()) continue;
    ++n;
    if (letter->empty()) *letter = FXString::Format("Volume%d", n);
    EvDebug::Debug(kFunc, "[%s] => [%s]", mp.mountPath.c_str(), letter->c_str());
    ++letter;
  }

  letter = letters.begin();
  for (kqblk_mountpoint& mp : mountPoints) {
    if (!mp.error.empty()) continue;
    const std::string& name = *letter++;
    const size_t slash = mp.mountPath.rfind('/');
    if (slash == std::string::npos) {
      EvDebug::Error(kFunc, "Failed to place [%s]: not an absolute directory",
                     mp.mountPath.c_str());
      continue;
    }
    const std::string target = FXPath::Append(mp.mountPath.substr(0, slash), name);
    if (moveVolume(mp.mountPath, target)) mp.mountPath = target;
  }
  return true;
}
