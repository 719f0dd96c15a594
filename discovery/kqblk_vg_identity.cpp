// Keeping and putting back a device's own LVM and btrfs identity. Every
// number read here comes from the guest: offsets and sizes are checked
// against the device and the bound on what we keep before anything is read.
#include "kqblk_vg_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kq_fd.h"
#include "kq_log.h"
#include "kq_process.h"
#include "kqblk_disk_utils.h"
#include "kqblk_lvm_config.h"

namespace {

const char kFunc[] = "kqblk_vg_identity";
const size_t kSector = 512;
// LVM looks for its label in the first four sectors.
const size_t kLabelScan = 4 * kSector;
const uint64_t kBtrfsSuper = 64 * 1024;
const size_t kBtrfsFsidAt = 0x20, kBtrfsMagicAt = 0x40, kBtrfsLabelAt = 0x12b;
const size_t kBtrfsLabelSize = 256;
const size_t kBtrfsSuperSize = kBtrfsLabelAt + kBtrfsLabelSize;

uint64_t le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool readAt(int fd, uint64_t offset, std::vector<unsigned char>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done,
                              static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool writeAt(int fd, uint64_t offset, const std::vector<unsigned char>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                               static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The block device at `device`, never through a link; -1 otherwise.
int openDevice(const std::string& device, int mode, struct stat& st) {
  const int fd = ::open(device.c_str(), mode | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode))) {
    ::close(fd);
    errno = ENOTBLK;
    return -1;
  }
  return fd;
}

// The metadata areas that the LVM label in the first sectors names, as
// (offset, size) pairs; false when there is no LVM label.
bool lvmMetadataAreas(const std::vector<unsigned char>& head,
                      std::vector<std::pair<uint64_t, uint64_t>>& areas) {
  for (size_t sector = 0; sector < kLabelScan / kSector; ++sector) {
    const unsigned char* label = head.data() + sector * kSector;
    if (std::memcmp(label, "LABELONE", 8) != 0 || le64(label + 8) != sector ||
        std::memcmp(label + 24, "LVM2 001", 8) != 0) {
      continue;
    }
    // pv_header: UUID (32), device size (8), then lists of (offset, size)
    // pairs, data areas and then metadata areas, each ended by a zero pair.
    size_t at = le32(label + 20) + 40;
    int list = 0;
    while (list < 2 && at + 16 <= kSector) {
      const uint64_t offset = le64(label + at), size = le64(label + at + 8);
      at += 16;
      if (offset == 0 && size == 0) {
        ++list;
      } else if (list == 1) {
        areas.emplace_back(offset, size);
      }
    }
    return true;
  }
  return false;
}

std::string uuidText(const unsigned char* b) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return text;
}

// The btrfs fsid and label in the primary superblock; false without btrfs.
bool btrfsIdentity(int fd, std::string& fsid, std::string& label) {
  std::vector<unsigned char> super(kBtrfsSuperSize);
  if (!readAt(fd, kBtrfsSuper, super) || std::memcmp(&super[kBtrfsMagicAt], "_BHRfS_M", 8) != 0) {
    return false;
  }
  fsid = uuidText(&super[kBtrfsFsidAt]);
  const char* text = reinterpret_cast<const char*>(&super[kBtrfsLabelAt]);
  label.assign(text, strnlen(text, kBtrfsLabelSize - 1));
  return true;
}

// Runs a tool by its argument list; false with `why` when it fails.
bool runTool(const std::vector<const char*>& args, std::string& why) {
  std::vector<const char*> argv = args;
  argv.push_back(nullptr);
  KqProcess process;
  process.TrapIO(true, true);
  std::string out, err;
  int rc = -1;
  if (!process.StartProcess(argv.data(), &err, 0) ||
      !process.WaitForProcessToEnd(&rc, &err, kqblk_systemCmdTimeout())) {
    why = err;
    return false;
  }
  process.GetIO(&out, &err);
  if (rc == 0) return true;
  while (!err.empty() && err.back() == '\n') err.pop_back();
  why = err.substr(err.rfind('\n') + 1);
  return false;
}

bool restoreLvm(int fd, const kqblk_vg_identity& identity, std::string& why) {
  bool changed = false;
  for (const kqblk_raw_area& area : identity.lvmAreas) {
    std::vector<unsigned char> now(area.bytes.size());
    if (readAt(fd, area.offset, now) && now == area.bytes) continue;
    if (!writeAt(fd, area.offset, area.bytes)) {
      why = std::string("cannot write its LVM metadata back: ") + std::strerror(errno);
      return false;
    }
    changed = true;
  }
  if (changed && ::fsync(fd) != 0) {
    why = std::string("cannot flush its LVM metadata: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool restoreBtrfs(int fd, const kqblk_vg_identity& identity, std::string& why) {
  std::string fsid, label;
  if (!btrfsIdentity(fd, fsid, label)) {
    why = "its btrfs superblock is gone";
    return false;
  }
  const char* device = identity.device.c_str();
  // blkid's cache stays untouched by the uniqueness probe of btrfstune.
  if (fsid != identity.btrfsFsid &&
      !runTool({"/usr/bin/env", "BLKID_FILE=/dev/null", "btrfstune", "-f", "-U",
                identity.btrfsFsid.c_str(), "--", device},
               why)) {
    why = "btrfstune -U " + identity.btrfsFsid + ": " + why;
    return false;
  }
  if (label != identity.btrfsLabel &&
      !runTool({"/usr/bin/env", "btrfs", "filesystem", "label", "--", device,
                identity.btrfsLabel.c_str()},
               why)) {
    why = "btrfs filesystem label: " + why;
    return false;
  }
  if (!btrfsIdentity(fd, fsid, label) || fsid != identity.btrfsFsid || label != identity.btrfsLabel) {
    why = "its btrfs fsid and label did not come back";
    return false;
  }
  return true;
}

}  // namespace

// Whether an md superblock is where one of the metadata versions puts it:
// 1.1 at the start, 1.2 at 4 KiB, 1.0 8 KiB before the end, 0.90 in the last
// 64 KiB-aligned 64 KiB.
bool mdMember(int fd, uint64_t size) {
  static const unsigned char kMagic[] = {0xfc, 0x4e, 0x2b, 0xa9};
  if (size < (128u << 10)) return false;
  const uint64_t sectors = size / 512;
  const uint64_t places[] = {0, 4096, ((sectors - 16) & ~uint64_t{7}) * 512,
                             ((sectors & ~uint64_t{127}) - 128) * 512};
  for (uint64_t at : places) {
    std::vector<unsigned char> magic(sizeof kMagic);
    if (readAt(fd, at, magic) && std::equal(magic.begin(), magic.end(), kMagic)) return true;
  }
  return false;
}

bool kqblk_keepIdentity(const std::string& device, kqblk_vg_identity& identity) {
  identity = kqblk_vg_identity();
  identity.device = device;
  struct stat st;
  KqFd fd(openDevice(device, O_RDONLY, st));
  const off_t end = fd.get() < 0 ? -1 : ::lseek(fd.get(), 0, SEEK_END);
  std::vector<unsigned char> head(kLabelScan);
  // A device we cannot read may still be taken over: it is recorded, and
  // then never written back.
  if (end < 0 || (static_cast<uint64_t>(end) >= kLabelScan && !readAt(fd.get(), 0, head))) {
    identity.error = std::string("cannot read it: ") + std::strerror(errno);
    EvDebug::Error(kFunc, "%s: %s", device.c_str(), identity.error.c_str());
    return true;
  }
  identity.deviceNumber = st.st_rdev;
  const uint64_t size = static_cast<uint64_t>(end);
  std::vector<std::pair<uint64_t, uint64_t>> areas;
  const bool lvm = size >= kLabelScan && lvmMetadataAreas(head, areas);
  const bool btrfs = btrfsIdentity(fd.get(), identity.btrfsFsid, identity.btrfsLabel);
  const bool md = !lvm && !btrfs && mdMember(fd.get(), size);
  if (!lvm && !btrfs && !md) return false;
  if (md) {
    // Assembly gives the array a new UUID and name and counts its events:
    // every superblock and bitmap lies in the first 128 KiB or the last 256 KiB.
    const uint64_t tail = std::min<uint64_t>(size, 256u << 10);
    for (const auto& [offset, length] : {std::pair<uint64_t, uint64_t>{0, 128u << 10}, {size - tail, tail}}) {
      kqblk_raw_area raw{offset, std::vector<unsigned char>(length)};
      if (!readAt(fd.get(), offset, raw.bytes)) {
        identity.error = "its md superblocks cannot be read";
        break;
      }
      identity.lvmAreas.push_back(std::move(raw));
    }
  }
  if (lvm) {
    identity.lvmAreas.push_back({0, head});
    uint64_t kept = head.size();
    for (const auto& area : areas) {
      if (area.second > kKqblkMaxKeptIdentityBytes - kept || area.first > size ||
          area.second > size - area.first) {
        identity.error = "its LVM metadata area at " + std::to_string(area.first) + " (" +
                         std::to_string(area.second) +
                         " bytes) lies outside the device or beyond what is kept";
        break;
      }
      kqblk_raw_area raw{area.first, std::vector<unsigned char>(area.second)};
      if (!readAt(fd.get(), raw.offset, raw.bytes)) {
        identity.error = "its LVM metadata area at " + std::to_string(area.first) + " cannot be read";
        break;
      }
      kept += area.second;
      identity.lvmAreas.push_back(std::move(raw));
    }
  }
  if (!identity.error.empty()) {
    identity.lvmAreas.clear();
    EvDebug::Error(kFunc, "%s: %s", device.c_str(), identity.error.c_str());
  } else {
    EvDebug::Debug(kFunc, "kept the identity of %s: %lu LVM areas, btrfs fsid [%s]",
                   device.c_str(), static_cast<unsigned long>(identity.lvmAreas.size()),
                   identity.btrfsFsid.c_str());
  }
  return true;
}

std::list<kqblk_vg_identity> kqblk_keepIdentities(const boost::shared_ptr<KqBlkDisk>& disk) {
  std::list<kqblk_vg_identity> identities;
  for (const std::string& device : KqBlkDiskUtils::getBlockDevList({disk})) {
    kqblk_vg_identity identity;
    if (kqblk_keepIdentity(device, identity)) identities.push_back(std::move(identity));
  }
  return identities;
}

bool kqblk_restoreIdentities(const std::list<kqblk_vg_identity>& identities, std::string& why) {
  for (const kqblk_vg_identity& identity : identities) {
    std::string reason = identity.error;
    if (reason.empty()) {
      struct stat st;
      KqFd fd(openDevice(identity.device, O_RDWR, st));
      if (fd.get() < 0) {
        reason = std::string("cannot open it: ") + std::strerror(errno);
      } else if (st.st_rdev != identity.deviceNumber) {
        reason = "it is no longer the device whose identity was kept";
      } else if (restoreLvm(fd.get(), identity, reason) &&
                 (identity.btrfsFsid.empty() || restoreBtrfs(fd.get(), identity, reason))) {
        EvDebug::Debug(kFunc, "restored the identity of %s", identity.device.c_str());
        continue;
      }
    }
    why = identity.device + ": the guest's identity cannot be restored: " + reason;
    EvDebug::Error(kFunc, "%s", why.c_str());
    return false;
  }
  return true;
}
