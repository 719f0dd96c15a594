#include "kqblk_matchers.h"

#include <cerrno>
#include <cstring>
#include <iterator>
#include <regex>

#include "kq_fs.h"
#include "kq_log.h"
#include "kqblk_blkid.h"
#include "kqblk_disk.h"

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

}  // namespace

bool kqblk_blkidDevMatch(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
                         std::list<boost::shared_ptr<KqBlkDisk>>) {
  static const char kFunc[] = "kqblk_blkidDevMatch";
  const char* spec = entry.get().mnt_fsname;
  EvDebug::Debug(kFunc, "Comparing [%s] and [%s]", spec, record.device.c_str());
  try {
    return kqblk_blkid(record.device).hasTag(spec);
  } catch (const CUxError& e) {
    EvDebug::Error(kFunc, "Caught exception %s.\n", e.AsString().c_str());
    return false;
  }
}

bool kqblk_lvmDevMatch(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
                       std::list<boost::shared_ptr<KqBlkDisk>>) {
  EvDebug::Debug("kqblk_lvmDevMatch", "Comparing [%s] and [%s]", record.device.c_str(),
                 entry.get().mnt_fsname);
  // "/dev/kq-ID-group/volume": the guest's group and volume follow the
  // second dash.
  std::string name = record.device;
  const size_t first = name.find('-');
  if (first == std::string::npos) return false;
  const size_t second = name.find('-', first + 1);
  if (second == std::string::npos) return false;
  name = name.substr(second + 1);
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
