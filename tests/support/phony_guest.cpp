#include "support/phony_guest.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/admin_lvm.h"
#include "support/hive_builder.h"
#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"
#include "support/test_util.h"

namespace {

// A volume of the description and the device it was made on.
struct Placed {
  const PhonyVolume* volume;
  std::string device;
};

std::string probe(const std::string& device, const std::string& tag) {
  std::string value = runTool("blkid -p -o value -s " + tag + " " + shellQuote(device));
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

// LVM doubles the dashes of group and volume names in /dev/mapper.
std::string mapperName(const std::string& name) {
  std::string out;
  for (char c : name) out += c == '-' ? "--" : std::string(1, c);
  return out;
}

// The LUKS volumes the builder opens and fills ("luks" is a bare header).
bool isOpenedLuks(const std::string& type) { return type == "luks1" || type == "luks2"; }

void format(const Placed& placed) {
  const std::string& type = placed.volume->fs.type;
  if (type.empty() || type == "lvm" || type == "md" || isOpenedLuks(type)) return;
  if (type == "swap") {
    runTool("mkswap -q " + shellQuote(placed.device));
    return;
  }
  makeFileSystem(placed.device, placed.volume->fs);
}

// A name as udev writes it below /dev/disk: anything but letters, digits
// and "#+-.:=@_" as \xHH.
std::string udevEscaped(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    out += std::isalnum(c) || std::strchr("#+-.:=@_", c) ? std::string(1, static_cast<char>(c)) : hex;
  }
  return out;
}

// A logical volume's device-mapper UUID, as the kernel shows it.
std::string dmUuid(const std::string& device) {
  struct stat st;
  if (::stat(device.c_str(), &st) != 0) throw std::runtime_error("no " + device);
  std::string uuid = fileText("/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                              std::to_string(minor(st.st_rdev)) + "/dm/uuid");
  while (!uuid.empty() && uuid.back() == '\n') uuid.pop_back();
  return uuid;
}

std::string fstabName(const Placed& p) {
  const std::string& name = p.volume->fstabName;
  if (name == "UUID") return "UUID=" + probe(p.device, "UUID");
  if (name == "LABEL") return "LABEL=" + p.volume->fs.label;
  if (name == "by-uuid") return "/dev/disk/by-uuid/" + probe(p.device, "UUID");
  if (name == "by-label") return "/dev/disk/by-label/" + udevEscaped(p.volume->fs.label);
  if (name == "by-partuuid") return "/dev/disk/by-partuuid/" + probe(p.device, "PART_ENTRY_UUID");
  if (name == "by-partlabel") {
    return "/dev/disk/by-partlabel/" + udevEscaped(probe(p.device, "PART_ENTRY_NAME"));
  }
  if (name == "dm-name") return "/dev/disk/by-id/dm-name-" + p.device.substr(p.device.rfind('/') + 1);
  if (name == "dm-uuid") return "/dev/disk/by-id/dm-uuid-" + dmUuid(p.device);
  return name;
}

std::string fstab(const std::vector<Placed>& all) {
  std::string text = "# /etc/fstab of a phony guest\n";
  for (const Placed& p : all) {
    const PhonyVolume& v = *p.volume;
    const std::string name = v.mountPoint.empty() && v.subvolumes.empty() ? "" : fstabName(p);
    if (!v.mountPoint.empty()) {
      text += name + " " + v.mountPoint + " " + v.fs.type + " defaults 0 " +
              (v.mountPoint == "/" ? "1" : "2") + "\n";
    }
    for (const PhonySubvolume& sv : v.subvolumes) {
      if (sv.mountPoint.empty()) continue;
      const std::string options =
          !sv.options.empty() ? sv.options : sv.isDefault ? "defaults" : "subvol=/" + sv.path;
      text += name + " " + sv.mountPoint + " btrfs " + options + " 0 0\n";
    }
  }
  return text;
}

// MountedDevices as Windows keeps it: each lettered volume by its MBR disk
// signature and byte offset, or by its GPT partition GUID.
void writeSystemHive(const std::string& path, const std::vector<Placed>& all) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  writeEmptyHive(path);
  std::vector<HiveValue> letters;
  for (const Placed& p : all) {
    if (!p.volume->driveLetter) continue;
    const std::string name = std::string("\\DosDevices\\") + p.volume->driveLetter + ":";
    if (probe(p.device, "PART_ENTRY_SCHEME") == "gpt") {
      letters.push_back({name, gptVolumeValue(probe(p.device, "PART_ENTRY_UUID"))});
    } else {
      const uint32_t signature =
          std::stoul(probe(p.device, "PART_ENTRY_UUID").substr(0, 8), nullptr, 16);
      letters.push_back(
          {name,
           mbrVolumeValue(signature, std::stoull(probe(p.device, "PART_ENTRY_OFFSET")) * 512)});
    }
  }
  addHiveKey(path, "MountedDevices", letters);
}

// Puts the volume's files on it, with the fstab on a Linux root and the
// SYSTEM hive on a Windows C:.
void fill(const Placed& placed, const std::vector<Placed>& all) {
  const PhonyVolume& v = *placed.volume;
  if (v.fs.type.empty() || v.fs.type == "swap" || v.fs.type == "lvm" || v.fs.type == "md" || isOpenedLuks(v.fs.type)) {
    return;
  }
  PhonyFiles files = v.files;
  if (v.mountPoint == "/") files.emplace_back("etc/fstab", fstab(all));
  const bool system = v.driveLetter == 'C';
  if (files.empty() && !system && v.subvolumes.empty()) return;
  TempDir mnt;
  ScopedMount mounted(placed.device, mnt.path(), "rw", v.fs.type == "ntfs" ? "ntfs-3g" : "");
  writeFiles(mnt.path(), files);
  if (system) writeSystemHive(mnt / "Windows/System32/config/SYSTEM", all);
  for (const PhonySubvolume& sv : v.subvolumes) {
    const std::string path = mnt / sv.path;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    runTool(sv.snapshotOf.empty()
                ? "btrfs -q subvolume create " + shellQuote(path)
                : "btrfs -q subvolume snapshot " + shellQuote(mnt / sv.snapshotOf) + " " + shellQuote(path));
    PhonyFiles own = sv.files;
    if (sv.mountPoint == "/") own.emplace_back("etc/fstab", fstab(all));
    writeFiles(path, own);
    if (sv.isDefault) runTool("btrfs -q subvolume set-default " + shellQuote(path));
  }
  mounted.unmount();
}

// The layers below file systems that the description's volumes sit on:
// LUKS volumes formatted and opened, md arrays made; what they hold joins
// `all`. Everything goes again with the object.
class StackedLayers {
 public:
  StackedLayers(const std::string& directory, const std::vector<PhonyArray>& arrays,
                const std::vector<std::unique_ptr<LoopDevice>>& loops, std::vector<Placed>& all) {
    try {
      for (size_t i = 0, end = all.size(); i < end; ++i) {
        if (isOpenedLuks(all[i].volume->fs.type)) openLuks(directory, all[i], all);
      }
      for (size_t n = 0; n < arrays.size(); ++n) makeArray(n, arrays[n], loops, all);
    } catch (...) {
      close();
      throw;
    }
  }
  ~StackedLayers() { close(); }
  StackedLayers(const StackedLayers&) = delete;
  StackedLayers& operator=(const StackedLayers&) = delete;
  const std::vector<std::string>& opened() const { return m_opened; }
  const std::vector<std::string>& arrays() const { return m_arrays; }

 private:
  void openLuks(const std::string& directory, const Placed& placed, std::vector<Placed>& all) {
    const PhonyVolume& v = *placed.volume;
    const std::string keyFile = directory + "/luks-key-" + std::to_string(m_opened.size());
    writeFiles(directory, {{keyFile.substr(directory.size() + 1), v.key}});
    // Few iterations: the key derivation would take seconds in an emulated VM.
    runTool("cryptsetup luksFormat -q --type " + v.fs.type + " --pbkdf pbkdf2 --pbkdf-force-iterations 1000" +
            (v.fs.uuid.empty() ? "" : " --uuid " + shellQuote(v.fs.uuid)) + " --key-file " +
            shellQuote(keyFile) + " " + shellQuote(placed.device));
    const std::string name = "phony-luks" + std::to_string(m_opened.size());
    runTool("cryptsetup open --key-file " + shellQuote(keyFile) + " " + shellQuote(placed.device) + " " + name);
    ::unlink(keyFile.c_str());
    m_opened.push_back(name);
    if (!v.inside.empty()) {
      all.push_back({&v.inside.front(), "/dev/mapper/" + name});
      format(all.back());
    }
  }

  void makeArray(size_t n, const PhonyArray& a, const std::vector<std::unique_ptr<LoopDevice>>& loops,
                 std::vector<Placed>& all) {
    const std::string node = "/dev/md" + std::to_string(110 + n);
    std::string command = "mdadm --create " + node + " --run --assume-clean --level " + a.level +
                          " --metadata " + a.metadata + " --raid-devices " +
                          std::to_string(a.members.size() + static_cast<size_t>(a.missing)) +
                          (a.metadata == "0.90" ? "" : " --homehost guest --name " + std::to_string(n)) +
                          (a.uuid.empty() ? "" : " --uuid " + shellQuote(a.uuid));
    for (const auto& [disk, number] : a.members) command += " " + shellQuote(loops.at(disk)->partitionPath(number));
    for (int i = 0; i < a.missing; ++i) command += " missing";
    runTool(command);
    m_arrays.push_back(node);
    all.push_back({&a.volume, node});
    format(all.back());
  }

  void close() {
    for (const std::string& node : m_arrays) runToolQuietly("mdadm --stop " + node);
    for (const std::string& name : m_opened) runToolQuietly("cryptsetup close " + name);
    m_arrays.clear();
    m_opened.clear();
  }

  static void runToolQuietly(const std::string& command) {
    try {
      runTool(command);
    } catch (...) {
    }
  }

  std::vector<std::string> m_opened;  // device-mapper names
  std::vector<std::string> m_arrays;  // nodes
};

// The groups' volumes, formatted and filled with the rest while active.
void makeGroups(const std::string& directory, const std::vector<PhonyGroup>& spec,
                const std::vector<std::unique_ptr<LoopDevice>>& loops, const StackedLayers& stacked,
                std::vector<Placed>& all, PhonyGuest& guest) {
  std::vector<std::string> members;
  for (const PhonyGroup& g : spec) {
    for (const auto& [disk, number] : g.members) {
      members.push_back(disk == kPhonyArray        ? stacked.arrays().at(number)
                        : disk == kPhonyOpenedLuks ? "/dev/mapper/" + stacked.opened().at(number)
                        : number                   ? loops.at(disk)->partitionPath(number)
                                                   : loops.at(disk)->path());
    }
  }
  const AdminLvm lvm(directory + "/lvm-admin", members);
  // Whatever happens, nothing stays active once the loop devices go.
  const ScopeExit deactivate([&] {
    for (const PhonyGroup& g : spec) {
      try {
        lvm("vgchange -an " + shellQuote(g.name));
      } catch (...) {
      }
    }
  });
  size_t used = 0;
  for (const PhonyGroup& g : spec) {
    std::string pvs;
    for (size_t i = 0; i < g.members.size(); ++i) pvs += " " + shellQuote(members.at(used++));
    lvm("pvcreate -y" + pvs);
    lvm("vgcreate " + shellQuote(g.name) + pvs);
    for (const PhonyLogicalVolume& lv : g.volumes) {
      // Thin pools and volumes take neither wiping option; a thin volume names its pool.
      const bool thinVolume = lv.size.find(" -T ") != std::string::npos;
      const bool thin = thinVolume || lv.size.find("thin-pool") != std::string::npos;
      lvm("lvcreate -y " + std::string(thin ? "" : "-Wy -Zy ") + lv.size + " -n " + shellQuote(lv.name) +
          (thinVolume ? "" : " " + shellQuote(g.name)));
      all.push_back({&lv.volume, "/dev/mapper/" + mapperName(g.name) + "-" + mapperName(lv.name)});
      format(all.back());
    }
  }
  for (const Placed& p : all) fill(p, all);
  for (const PhonyGroup& g : spec) {
    for (const std::string& command : g.thenRun) lvm(command);
  }
  std::istringstream groups(lvm("vgs --noheadings -o vg_name,vg_uuid"));
  std::string name, uuid;
  while (groups >> name >> uuid) guest.groupUuids[name] = uuid;
  std::istringstream pvs(lvm("pvs --noheadings -o vg_name,pv_uuid"));
  while (pvs >> name >> uuid) guest.pvUuids.emplace(name, uuid);
}

}  // namespace

ScopedMount::ScopedMount(const std::string& device, const std::string& directory,
                         const std::string& options, const std::string& type)
    : m_directory(directory) {
  std::filesystem::create_directories(directory);
  runTool("mount " + (type.empty() ? "" : "-t " + shellQuote(type) + " ") + "-o " +
          shellQuote(options) + " " + shellQuote(device) + " " + shellQuote(directory));
  m_mounted = true;
}

ScopedMount::~ScopedMount() {
  if (m_mounted && umount2(m_directory.c_str(), 0) != 0) {
    umount2(m_directory.c_str(), MNT_DETACH);  // never leave a mount behind
  }
  rmdir(m_directory.c_str());
}

void ScopedMount::unmount() {
  if (!m_mounted) return;
  if (umount2(m_directory.c_str(), 0) != 0) {
    throw std::runtime_error("umount " + m_directory + ": " + std::strerror(errno));
  }
  m_mounted = false;
}

void writeFiles(const std::string& top, const PhonyFiles& files) {
  for (const auto& [path, content] : files) {
    const std::filesystem::path target = top + "/" + path;
    std::filesystem::create_directories(target.parent_path());
    if (path.back() == '/') continue;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!(out << content).flush()) throw std::runtime_error("cannot write " + target.string());
  }
}

void fillFileSystem(const std::string& device, const FileSystemSpec& fs, const PhonyFiles& files) {
  const PhonyVolume volume{fs, files, "", "", 0};
  makeFileSystem(device, fs);
  fill({&volume, device}, {});
}

PhonyGuest::PhonyGuest(const std::string& directory, const PhonyGuestSpec& spec) {
  std::vector<std::unique_ptr<LoopDevice>> loops;
  std::vector<Placed> all;
  for (const PhonyDisk& d : spec.disks) {
    m_disks.push_back(std::make_unique<DiskImage>(directory + "/" + d.file, d.mebibytes));
    loops.push_back(std::make_unique<LoopDevice>(m_disks.back()->path()));
    if (d.table.empty()) {
      all.push_back({&d.partitions.at(0).volume, loops.back()->path()});
      continue;
    }
    std::string script = d.table;
    for (const PhonyPartition& p : d.partitions) script += p.entry + "\n";
    m_disks.back()->partition(script);
    const std::vector<int> numbers = loops.back()->addPartitions();
    for (size_t i = 0; i < d.partitions.size(); ++i) {
      all.push_back({&d.partitions[i].volume, loops.back()->partitionPath(numbers.at(i))});
    }
  }
  for (const Placed& p : all) format(p);
  const StackedLayers stacked(directory, spec.arrays, loops, all);

  if (spec.groups.empty()) {
    for (const Placed& p : all) fill(p, all);
  } else {
    makeGroups(directory, spec.groups, loops, stacked, all, *this);
  }
}

std::vector<std::string> PhonyGuest::paths() const {
  std::vector<std::string> out;
  for (const auto& d : m_disks) out.push_back(d->path());
  return out;
}
