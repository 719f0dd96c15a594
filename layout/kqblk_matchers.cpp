#include "kqblk_matchers.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <regex>

#include "kq_fs.h"
#include "kq_log.h"
#include "kqblk_blkid.h"
#include "kqblk_disk.h"
#include "kqblk_mountpoint.h"

namespace {

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Letters a..z, aa, ab... numbered from 0 the way disks are named. The
// letters come from the guest's fstab: anything but lower-case letters, or
// more of them than a 32-bit index holds, names no disk (-1).
int diskIndex(const std::string& letters) {
  const size_t kMaxLetters = 6;  // 26^7 overflows the index
  if (letters.size() > kMaxLetters) return -1;
  int64_t index = 0;
  int64_t weight = 1;
  for (size_t i = 0; i < letters.size(); ++i) {
    const char c = letters[letters.size() - 1 - i];
    if (c < 'a' || c > 'z') return -1;
    index += (i == 0 ? c - 'a' : c - 'a' + 1) * weight;
    weight *= 26;
  }
  return static_cast<int>(index);
}

// "group/volume" named by an fstab device of LVM: /dev/group/volume, or
// /dev/mapper/group-volume with each dash inside the names doubled; "" when
// it names no logical volume.
std::string volumeOfSpec(const std::string& spec) {
  const std::string mapper = "/dev/mapper/";
  if (startsWith(spec, mapper.c_str())) {
    std::string group;
    for (size_t i = mapper.size(); i < spec.size(); ++i) {
      if (spec[i] == '/') return "";
      if (spec[i] != '-') {
        group += spec[i];
      } else if (i + 1 < spec.size() && spec[i + 1] == '-') {
        group += spec[++i];
      } else {
        std::string volume = spec.substr(i + 1);
        if (volume.empty() || volume.find('/') != std::string::npos) return "";
        replaceAll(volume, "--", "-");
        return group.empty() ? "" : group + "/" + volume;
      }
    }
    return "";
  }
  if (!startsWith(spec, "/dev/")) return "";
  const std::string rest = spec.substr(5);
  const size_t slash = rest.find('/');
  if (slash == 0 || slash == std::string::npos || slash + 1 == rest.size()) return "";
  return rest.find('/', slash + 1) == std::string::npos ? rest : "";
}

// "group/volume" of a record's logical volume "/dev/kq-ID-group/volume":
// the guest's group and volume follow the second dash; "" for any other
// device.
std::string volumeOfRecord(const std::string& device) {
  const size_t first = device.find('-');
  if (first == std::string::npos) return "";
  const size_t second = device.find('-', first + 1);
  if (second == std::string::npos) return "";
  return device.substr(second + 1);
}

// udev's escapes in a link name (\x2f for "/", \x20 for a blank) decoded;
// false for a name that udev cannot have written (a raw "/", a NUL).
bool decodeUdevName(const std::string& name, std::string& decoded) {
  decoded.clear();
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '/') return false;
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
        std::isxdigit(static_cast<unsigned char>(name[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
      const char c = static_cast<char>(std::stoi(name.substr(i + 2, 2), nullptr, 16));
      if (c == '\0') return false;
      decoded += c;
      i += 3;
    } else {
      decoded += name[i];
    }
  }
  return !decoded.empty();
}

// The tag specification (NAME=value) that a link of udev's under
// /dev/disk/ stands for; "" for any other first field.
std::string tagOfUdevLink(const std::string& spec) {
  static const std::pair<const char*, const char*> kLinks[] = {
      {"/dev/disk/by-uuid/", "UUID="},
      {"/dev/disk/by-label/", "LABEL="},
      {"/dev/disk/by-partuuid/", "PARTUUID="},
      {"/dev/disk/by-partlabel/", "PARTLABEL="}};
  for (const auto& [link, tag] : kLinks) {
    std::string value;
    if (startsWith(spec, link) && decodeUdevName(spec.substr(std::strlen(link)), value)) {
      return tag + value;
    }
  }
  return "";
}

// Whether the device carries what `spec` names. A btrfs of the request has
// been given a new UUID and the label "kq-ID-" + its guest UUID, so the
// guest's UUID= still finds it through the label we wrote.
bool deviceCarries(kqblk_blkid& blkid, const std::string& spec) {
  if (blkid.hasTag(spec)) return true;
  std::string type, label;
  if (!startsWith(spec, "UUID=") || !blkid.getTag("TYPE", type) || type != FS_TYPE_BTRFS ||
      !blkid.getTag("LABEL", label) || !startsWith(label, "kq-")) {
    return false;
  }
  const std::string uuid = spec.substr(5);
  return label.size() > uuid.size() + 3 && label[label.size() - uuid.size() - 1] == '-' &&
         ::strcasecmp(label.c_str() + label.size() - uuid.size(), uuid.c_str()) == 0;
}

// /dev/disk/by-id/dm-uuid-LVM-<group UUID><volume UUID>: the take-over gave
// the group a new UUID, so the volume's own half decides.
bool namesVolumeUuid(kqblk_blkid& blkid, const std::string& spec) {
  const std::string prefix = "/dev/disk/by-id/dm-uuid-LVM-";
  const size_t kHalf = 32;
  std::string own;
  if (!startsWith(spec, prefix.c_str()) || spec.size() != prefix.size() + 2 * kHalf ||
      !blkid.getTag("DM_UUID", own) || !startsWith(own, "LVM-") || own.size() != 4 + 2 * kHalf) {
    return false;
  }
  return own.compare(4 + kHalf, kHalf, spec, prefix.size() + kHalf, kHalf) == 0;
}

}  // namespace

bool kqblk_blkidDevMatch(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
                         std::list<boost::shared_ptr<KqBlkDisk>>) {
  static const char kFunc[] = "kqblk_blkidDevMatch";
  const char* spec = entry.get().mnt_fsname;
  EvDebug::Debug(kFunc, "Comparing [%s] and [%s]", spec, record.device.c_str());
  const std::string name = spec;
  // /dev/disk/by-id/dm-name-group-volume is the mapper name of a volume.
  const std::string dmName = "/dev/disk/by-id/dm-name-";
  if (startsWith(name, dmName.c_str())) {
    const std::string volume = volumeOfRecord(record.device);
    return !volume.empty() && volumeOfSpec("/dev/mapper/" + name.substr(dmName.size())) == volume;
  }
  const std::string link = tagOfUdevLink(name);
  try {
    kqblk_blkid blkid(record.device);
    return deviceCarries(blkid, link.empty() ? name : link) || namesVolumeUuid(blkid, name);
  } catch (const CUxError& e) {
    EvDebug::Error(kFunc, "Caught exception %s.\n", e.AsString().c_str());
    return false;
  }
}

bool kqblk_lvmDevMatch(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
                       std::list<boost::shared_ptr<KqBlkDisk>>) {
  EvDebug::Debug("kqblk_lvmDevMatch", "Comparing [%s] and [%s]", record.device.c_str(),
                 entry.get().mnt_fsname);
  const std::string name = volumeOfRecord(record.device);
  // The whole volume name must agree: an ending in common ("home" in
  // "vg-home", "root" in "root2") names another volume.
  const std::string spec = entry.get().mnt_fsname;
  return !name.empty() && volumeOfSpec(spec) == name;
}

bool kqblk_heuristicDevMatch(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
                             std::list<boost::shared_ptr<KqBlkDisk>> disks) {
  static const char kFunc[] = "kqblk_heuristicDevMatch";
  const std::string spec = entry.get().mnt_fsname;
  const std::string dir = entry.get().mnt_dir;
  EvDebug::Debug(kFunc, "Comparing [%s] and [%s]", spec.c_str(), record.device.c_str());
  if (dir == "/" && record.isRoot) return true;
  if (dir == "/boot") return doesFileExist(record.mountPath, "initr.*\\.img");
  if (!startsWith(spec, "/dev/sd") && !startsWith(spec, "/dev/xvd")) return false;
  EvDebug::Debug(kFunc, "Matched [%s] disk is common disk name", spec.c_str());
  std::string number;
  std::string letters;
  for (char c : spec) (c >= '0' && c <= '9' ? number : letters) += c;
  letters.erase(0, startsWith(letters, "/dev/sd") ? 7 : 8);
  const int index = diskIndex(letters);
  if (index < 0 || static_cast<size_t>(index) >= disks.size()) {
    EvDebug::Debug(kFunc, "Index [%d] Size[%zu]", index, disks.size());
    return false;
  }
  auto disk = disks.begin();
  std::advance(disk, index);
  std::string expected = (*disk)->getDevPath();
  if (!number.empty()) expected += "p" + number;
  EvDebug::Debug(kFunc, "Estimate mapping [%s] and [%s]", spec.c_str(), expected.c_str());
  return record.device == expected;
}

const std::vector<kqblk_device_matcher> kqblk_device_matchers = {kqblk_blkidDevMatch,
                                                                 kqblk_lvmDevMatch};

bool doesFileExist(std::string folder, std::string pattern) {
  static const char kFunc[] = "doesFileExist";
  KQFindData entry;
  KQFindHandle find = KQFindFirstFile(folder, &entry);
  if (!find) {
    EvDebug::Debug(kFunc, "folderName=[%s],Error=[%s]", folder.c_str(), std::strerror(errno));
    return false;
  }
  const std::regex expression(pattern, std::regex::ECMAScript);
  do {
    if (!entry.isDirectory && std::regex_match(entry.name, expression)) return true;
  } while (KQFindNextFile(find, &entry));
  EvDebug::Debug(kFunc, "folderName=[%s],Error=[%s]", folder.c_str(), "no more entries");
  return false;
}
