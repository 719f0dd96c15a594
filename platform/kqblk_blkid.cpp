// Block-id tags of one device. The device is probed once, directly and
// read-only, with libblkid's low-level prober: a blkid cache could answer
// from stale entries or from a device other than the one asked about.
#include "kqblk_blkid.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "kq_error.h"
#include "kq_log.h"

namespace {

const char* const kLogTag = "kqblk_blkid";

// The descriptor and the prober of one probe, released on every path.
class DeviceProbe {
 public:
  explicit DeviceProbe(const std::string& device) {
    m_fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
      throw FXErrorUtil::ErrorErrNo(FX_HERE, errno, "Cannot open %s", device.c_str());
    }
    m_probe = blkid_new_probe();
    if (!m_probe) {
      throw FXErrorUtil::ErrorErrNo(FX_HERE, ENOMEM, "Cannot allocate a probe for %s",
                                    device.c_str());
    }
    if (blkid_probe_set_device(m_probe, m_fd, 0, 0) != 0) {
      throw FXErrorUtil::ErrorErrNo(FX_HERE, errno ? errno : EIO, "Cannot probe %s",
                                    device.c_str());
    }
  }
  ~DeviceProbe() {
    if (m_probe) blkid_free_probe(m_probe);
    if (m_fd >= 0) close(m_fd);
  }
  DeviceProbe(const DeviceProbe&) = delete;
  DeviceProbe& operator=(const DeviceProbe&) = delete;

  blkid_probe get() const { return m_probe; }
  int fd() const { return m_fd; }

 private:
  int m_fd = -1;
  blkid_probe m_probe = nullptr;
};

void enableChains(blkid_probe pr, bool superblocks) {
  // The same chains and flags as `blkid -p`, so that the tags read the same.
  blkid_probe_enable_superblocks(pr, superblocks ? 1 : 0);
  if (superblocks) {
    blkid_probe_set_superblocks_flags(
        pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_SECTYPE |
                BLKID_SUBLKS_USAGE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_BADCSUM);
  }
  blkid_probe_enable_partitions(pr, 1);
  blkid_probe_set_partitions_flags(pr, BLKID_PARTS_ENTRY_DETAILS);
}

void collectValues(blkid_probe pr, std::map<std::string, std::string>& tags) {
  const int count = blkid_probe_numof_values(pr);
  for (int i = 0; i < count; ++i) {
    const char* name = nullptr;
    const char* data = nullptr;
    size_t len = 0;
    if (blkid_probe_get_value(pr, i, &name, &data, &len) != 0 || !name || !data) continue;
    // Values come from the disk: stop at the first NUL within the stated length.
    tags[name] = std::string(data, strnlen(data, len));
  }
}

bool isHex(const std::string& text) {
  for (unsigned char c : text) {
    if (!std::isxdigit(c)) return false;
  }
  return !text.empty();
}

// The MBR signature as 8 hexadecimal digits: the whole disk's PTUUID, or for
// a partition of an MBR disk the prefix of its PART_ENTRY_UUID ("%08x-%02x"),
// which libblkid builds from the containing disk's signature. A partition
// takes its disk's signature even when it holds an MBR-like table itself
// (an extended container does).
bool diskSignature(const std::map<std::string, std::string>& tags, std::string& signature) {
  auto value = [&tags](const char* name) -> std::string {
    auto it = tags.find(name);
    return it == tags.end() ? std::string() : it->second;
  };
  std::string candidate;
  if (tags.count("PART_ENTRY_SCHEME")) {
    if (value("PART_ENTRY_SCHEME") != "dos") return false;
    const std::string uuid = value("PART_ENTRY_UUID");
    const size_t dash = uuid.find('-');
    if (dash == std::string::npos) return false;
    candidate = uuid.substr(0, dash);
  } else {
    if (value("PTTYPE") != "dos") return false;
    candidate = value("PTUUID");
  }
  if (candidate.size() != 8 || !isHex(candidate)) return false;
  signature = candidate;
  return true;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool isTagName(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (!std::isupper(c) && !std::isdigit(c) && c != '_') return false;
  }
  return true;
}

// A device-mapper device's own UUID ("LVM-" + group UUID + volume UUID for
// a logical volume), as the kernel gives it; false for any other device.
bool deviceMapperUuid(int fd, std::string& uuid) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  const std::string path = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                           std::to_string(minor(st.st_rdev)) + "/dm/uuid";
  std::ifstream file(path);
  char text[160] = {0};  // device-mapper UUIDs have at most 128 characters
  if (!file.getline(text, sizeof text) || text[0] == '\0') return false;
  uuid = text;
  return true;
}

}  // namespace

kqblk_blkid::kqblk_blkid(const std::string& device) : m_device(device) {
  DeviceProbe probe(device);
  blkid_probe pr = probe.get();

  enableChains(pr, true);
  errno = 0;
  int rc = blkid_do_safeprobe(pr);
  if (rc == -2) {
    // Several file system signatures: no TYPE can be trusted, but the
    // partition entry facts still can, so probe those alone.
    EvDebug::DebugLvl(kLogTag, 2, "Ambivalent file system signatures on %s", device.c_str());
    enableChains(pr, false);
    errno = 0;
    rc = blkid_do_safeprobe(pr);
  }
  if (rc < 0) {
    throw FXErrorUtil::ErrorErrNo(FX_HERE, errno ? errno : EIO, "Cannot probe %s",
                                  device.c_str());
  }
  if (rc == 0) collectValues(pr, m_tags);

  m_tags["DEVNAME"] = device;
  std::string dmUuid;
  if (deviceMapperUuid(probe.fd(), dmUuid)) m_tags["DM_UUID"] = dmUuid;
  std::string signature;
  if (diskSignature(m_tags, signature)) m_tags["DISK_SIGNATURE"] = signature;
  EvDebug::DebugLvl(kLogTag, 3, "%s carries %zu tags", device.c_str(), m_tags.size());
}

bool kqblk_blkid::getTag(const std::string& name, std::string& value) {
  auto it = m_tags.find(name);
  if (it == m_tags.end()) return false;
  value = it->second;
  return true;
}

bool kqblk_blkid::hasTag(const std::string& specification) {
  const size_t eq = specification.find('=');
  if (eq == std::string::npos) return false;
  std::string name = specification.substr(0, eq);
  std::string wanted = specification.substr(eq + 1);
  if (!isTagName(name)) return false;
  if (wanted.size() >= 2 && (wanted.front() == '"' || wanted.front() == '\'') &&
      wanted.back() == wanted.front()) {
    wanted = wanted.substr(1, wanted.size() - 2);
  }
  if (wanted.empty()) return false;

  // fstab's names for the partition entry's own tags.
  bool caseless = false;
  if (name == "PARTUUID") {
    name = "PART_ENTRY_UUID";
    caseless = true;
  } else if (name == "PARTLABEL") {
    name = "PART_ENTRY_NAME";
  } else if (name == "UUID") {
    caseless = true;
  }
  auto it = m_tags.find(name);
  if (it == m_tags.end()) return false;
  return caseless ? equalsIgnoreCase(it->second, wanted) : it->second == wanted;
}
