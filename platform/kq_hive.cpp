#include "kq_hive.h"

#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "kq_fd.h"
#include "kq_log.h"
#include "kq_string.h"

namespace {

const char kFunc[] = "CSysHiveParser";
const char* const kHiveComponents[] = {"Windows", "System32", "config", "SYSTEM"};
const char kDosDevices[] = "\\DosDevices\\";
const char kGptPrefix[] = "DMIO:ID:";
const size_t kMbrValueSize = 12;  // disk signature, then the partition's byte offset
const size_t kGptValueSize = 8 + 16;
const size_t kMaxHiveBytes = size_t(256) << 20;

uint64_t littleEndian(const unsigned char* p, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// The registry stores a GUID's first three fields little-endian.
std::string guidText(const unsigned char* p) {
  return FXString::Format("%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                          static_cast<unsigned>(littleEndian(p, 4)),
                          static_cast<unsigned>(littleEndian(p + 4, 2)),
                          static_cast<unsigned>(littleEndian(p + 6, 2)), p[8], p[9], p[10], p[11],
                          p[12], p[13], p[14], p[15]);
}

// The entry of directory `dir` named `name` without regard to case (the
// guest's NTFS keeps case, Windows ignores it); an exact match wins.
bool findEntry(int dir, const char* name, std::string& found) {
  const int listing = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return false;
  DIR* d = ::fdopendir(listing);
  if (d == nullptr) {
    ::close(listing);
    return false;
  }
  found.clear();
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, name) == 0) {
      found = e->d_name;
      break;
    }
    if (found.empty() && ::strcasecmp(e->d_name, name) == 0) found = e->d_name;
  }
  ::closedir(d);
  return !found.empty();
}

// Opens the SYSTEM hive below `mountPath`. Every component is guest data:
// symbolic links are never followed, so the walk cannot leave the volume.
int openHive(const std::string& mountPath, std::string& hivePath) {
  KqFd dir(::open(mountPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return -1;
  hivePath = mountPath;
  const size_t count = sizeof kHiveComponents / sizeof kHiveComponents[0];
  for (size_t i = 0; i < count; ++i) {
    std::string entry;
    if (!findEntry(dir.get(), kHiveComponents[i], entry)) return -1;
    const bool last = i + 1 == count;
    // Non-blocking: a FIFO in the hive's place must not stop us in open().
    const int next =
        ::openat(dir.get(), entry.c_str(),
                 O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (last ? O_NONBLOCK : O_DIRECTORY));
    if (next < 0) return -1;
    dir.reset(next);
    hivePath += "/" + entry;
  }
  struct stat st;
  if (::fstat(dir.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int fd = ::dup(dir.get());
  return fd;
}

// The hive's bytes, at most kMaxHiveBytes, in a sealed memory file: hivex
// maps what it opens, and an I/O error of the guest's volume under a mapping
// would end the process with SIGBUS. Real SYSTEM hives are tens of MiB; the
// boot loader loads the hive whole before the kernel runs, so Windows itself
// cannot use one near this size. -1 with `code` (an errno) and `why` set
// otherwise.
int copyHive(int hive, int& code, std::string& why) {
  struct stat st;
  if (::fstat(hive, &st) == 0 && static_cast<uint64_t>(st.st_size) > kMaxHiveBytes) {
    code = EFBIG;
    why = FXString::Format("it is larger than %zu bytes", kMaxHiveBytes);
    return -1;
  }
  KqFd copy(::memfd_create("kqblk-hive", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (copy.get() < 0) {
    code = errno;
    why = std::string("cannot make a memory file: ") + std::strerror(errno);
    return -1;
  }
  std::vector<char> buffer(1 << 20);
  size_t total = 0;
  for (;;) {
    const ssize_t n = ::read(hive, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      code = errno;
      why = std::string("cannot read it: ") + std::strerror(errno);
      return -1;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
    if (total > kMaxHiveBytes) {  // it grew, or its size was not the truth
      code = EFBIG;
      why = FXString::Format("it is larger than %zu bytes", kMaxHiveBytes);
      return -1;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(copy.get(), buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        code = errno;
        why = std::string("cannot copy it: ") + std::strerror(errno);
        return -1;
      }
      done += w;
    }
  }
  const int seals = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
  if (::fcntl(copy.get(), F_ADD_SEALS, seals) != 0) {
    code = errno;
    why = std::string("cannot seal its copy: ") + std::strerror(errno);
    return -1;
  }
  const int fd = copy.get();
  copy.release();
  return fd;
}

// A letter becomes a directory name: only a plain one will do.
bool usableLetter(const std::string& letter) {
  return !letter.empty() && letter != "." && letter != ".." &&
         letter.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

struct Mapping {
  std::map<std::pair<uint32_t, uint64_t>, std::string> mbr;  // (signature, offset) -> letter
  std::map<std::string, std::string> gpt;                     // partition GUID -> letter
};

// Reads MountedDevices: "\DosDevices\X:" values only; each names the
// volume it belongs to by MBR signature and offset or by GPT partition GUID.
CUxError readMountedDevices(hive_h* h, Mapping& mapping) {
  const hive_node_h node = hivex_node_get_child(h, hivex_root(h), "MountedDevices");
  if (node == 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "the hive has no key MountedDevices");
  }
  hive_value_h* values = hivex_node_values(h, node);
  if (values == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno ? errno : EIO,
                                   "cannot read the values of MountedDevices");
  }
  for (hive_value_h* v = values; *v != 0; ++v) {
    char* key = hivex_value_key(h, *v);
    std::string name = key ? key : "";
    std::free(key);
    if (name.compare(0, std::strlen(kDosDevices), kDosDevices) != 0) continue;
    std::string letter = name.substr(std::strlen(kDosDevices));
    if (!letter.empty() && letter.back() == ':') letter.pop_back();
    hive_type type;
    size_t length = 0;
    char* data = hivex_value_value(h, *v, &type, &length);
    if (data == nullptr) continue;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    // Several values may name one volume: the first letter in the alphabet wins.
    auto keep = [&](std::string& slot) {
      if (slot.empty() || letter < slot) slot = letter;
    };
    if (length == kMbrValueSize) {
      keep(mapping.mbr[{static_cast<uint32_t>(littleEndian(bytes, 4)), littleEndian(bytes + 4, 8)}]);
    } else if (length == kGptValueSize && std::memcmp(bytes, kGptPrefix, 8) == 0) {
      keep(mapping.gpt[guidText(bytes + 8)]);
    }
    std::free(data);
  }
  std::free(values);
  return CUxError();
}

bool isZero(const GUID& guid) {
  for (unsigned char b : guid.data) {
    if (b != 0) return false;
  }
  return true;
}

}  // namespace

std::string DiskPartInfo::AsString() const {
  return FXString::Format(
      "%s%s partition (number=%u) %son %s disk: Offset=%lld Length=%lld (GUID=%s, "
      "signature=0x%x(%u))\n",
      isLDM ? "(LDM)" : "", isMBR ? "MBR" : "GPT", partitionNumber,
      isSpanned ? "(spanned content)" : "", isDynamic ? "dynamic" : "basic",
      static_cast<long long>(offset), static_cast<long long>(length),
      FXString::AsString(partitionGuid).c_str(), signature, signature);
}

CSysHiveParser::CSysHiveParser(const std::string& guid, std::list<std::string>&,
                               std::list<std::string>& mountPaths,
                               std::list<DiskPartInfo>& volumes, bool)
    : m_guid(guid), m_mountPaths(mountPaths), m_volumes(volumes) {}

CUxError CSysHiveParser::GetDriveLetters(std::list<std::string>& letters, std::string& hivePath) {
  letters.clear();
  KqFd hive;
  for (const std::string& mountPath : m_mountPaths) {
    hive.reset(openHive(mountPath, hivePath));
    if (hive.get() >= 0) break;
  }
  if (hive.get() < 0) {
    hivePath.clear();
    return FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT,
                                   "no Windows/System32/config/SYSTEM on any of %zu volumes",
                                   m_mountPaths.size());
  }
  int code = 0;
  std::string why;
  const KqFd copy(copyHive(hive.get(), code, why));
  if (copy.get() < 0) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, code, "cannot read the hive %s: %s",
                                   hivePath.c_str(), why.c_str());
  }
  const std::string opened = "/proc/self/fd/" + std::to_string(copy.get());
  hive_h* h = hivex_open(opened.c_str(), 0);
  if (h == nullptr) {
    return FXErrorUtil::ErrorErrNo(FX_HERE, errno ? errno : EIO, "cannot read the hive %s",
                                   hivePath.c_str());
  }
  Mapping mapping;
  CUxError err = readMountedDevices(h, mapping);
  hivex_close(h);
  if (err.IsError()) {
    err.Push(FX_HERE, "in hive %s", hivePath.c_str());
    return err;
  }
  // Each volume is recognised by its own data, whatever its table kind is
  // said to be: a signature and offset for MBR, a partition GUID for GPT.
  for (const DiskPartInfo& volume : m_volumes) {
    std::string letter;
    const auto mbr = mapping.mbr.find({volume.signature, static_cast<uint64_t>(volume.offset)});
    if (volume.signature != 0 && mbr != mapping.mbr.end()) {
      letter = mbr->second;
    } else if (!isZero(volume.partitionGuid)) {
      const auto gpt = mapping.gpt.find(FXString::AsString(volume.partitionGuid));
      if (gpt != mapping.gpt.end()) letter = gpt->second;
    }
    if (!usableLetter(letter)) letter.clear();
    EvDebug::DebugLvl(kFunc, 2, "[%s] %s -> [%s]", m_guid.c_str(), volume.device.c_str(),
                      letter.c_str());
    letters.push_back(letter);
  }
  return CUxError();
}
