// kqblkctl cleanup and list: the driver's devices as this machine has them,
// and the sweep of those whose serving process is gone.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <list>
#include <set>
#include <utility>

#include "kq_error.h"
#include "kq_fs.h"
#include "kq_kernel.h"
#include "kq_log.h"
#include "kq_mounts.h"
#include "kqblk_disk_utils.h"
#include "kqblk_driver.h"
#include "kqblkctl_commands.h"
#include "kqblkctl_common.h"
#include "kqblkctl_requests.h"
#include "kq_sync.h"

namespace {

const char kCleanupUsage[] =
    "usage: kqblkctl cleanup [--root DIR] [--force]\n"
    "Takes down every kqblk device whose serving process is gone, with its mounts,\n"
    "device-mapper volumes, volume groups and stores.\n"
    "  --root DIR  the mount root the sweep reports against (default /run/kqblk/mnt)\n"
    "  --force     also take down the devices of requests that are still running\n"
    "Prints a line for each thing removed (mount, device-mapper device, volume group,\n"
    "md array, LUKS mapping, device, directory) and a last line counting them.\n";
const char kListUsage[] =
    "usage: kqblkctl list [--json]\n"
    "Lists the kqblk devices: the process serving each (or \"gone\"), their\n"
    "partitions and where they are mounted.\n";

struct DeviceView {
  std::string node, name;
  pid_t server = 0;
  std::vector<std::string> partitions;
  std::vector<std::pair<std::string, std::string>> mounts;  // device, mount point
};

// Whether the mounted file system lives on the driver device `name`, by its
// device number: the source text is whatever the mount's maker chose.
bool onDevice(const KqMountEntry& entry, const std::string& name) {
  for (const dev_t device : KqMountBlockDevices(entry, -1)) {
    for (const std::string& under : KqBlkDriverUnix::devicesUnder(major(device), minor(device))) {
      if (under == name) return true;
    }
  }
  return false;
}

// While it lives, what the library writes to standard output (its device
// listing says "Adding device ..." for each node) goes to the log, at a
// verbose level, under `function`: it is the library's debugging, and this
// command's output is its own (the listing may be JSON).
class LibraryOutputToLog {
 public:
  explicit LibraryOutputToLog(const char* function) : m_function(function) {
    std::fflush(stdout);
    m_saved = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    m_capture = ::memfd_create("kqblkctl-library-output", MFD_CLOEXEC);
    if (m_saved < 0 || m_capture < 0 || ::dup2(m_capture, STDOUT_FILENO) < 0) {
      // Nowhere else to put it: it is printed as before.
      if (m_saved >= 0) ::close(m_saved);
      if (m_capture >= 0) ::close(m_capture);
      m_saved = m_capture = -1;
    }
  }
  ~LibraryOutputToLog() {
    if (m_capture < 0) return;
    std::fflush(stdout);
    ::dup2(m_saved, STDOUT_FILENO);
    ::close(m_saved);
    std::string text;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = ::pread(m_capture, buf, sizeof buf, at)) > 0; at += n) text.append(buf, n);
    ::close(m_capture);
    for (size_t from = 0; from < text.size();) {
      const size_t end = std::min(text.find('\n', from), text.size());
      if (end > from) EvDebug::DebugLvl(m_function, 2, "%s", text.substr(from, end - from).c_str());
      from = end + 1;
    }
  }
  LibraryOutputToLog(const LibraryOutputToLog&) = delete;
  LibraryOutputToLog& operator=(const LibraryOutputToLog&) = delete;

 private:
  const char* m_function;
  int m_saved = -1, m_capture = -1;
};

std::list<std::string> driverNodes() {
  std::list<std::string> nodes;
  const LibraryOutputToLog quiet("KqBlkDiskUtils::getKqBlkDevs");
  KqBlkDiskUtils::getKqBlkDevs(nodes);
  return nodes;
}

std::vector<DeviceView> devices() {
  const std::list<std::string> nodes = driverNodes();
  std::vector<KqMountEntry> table;
  KqReadMountTable(table);
  std::vector<DeviceView> views;
  const std::string dir = KqBlkDriverUnix::nodeDirectory();
  for (const std::string& node : nodes) {
    DeviceView v;
    v.node = node;
    v.name = node.substr(dir.size() + 1);
    v.server = KqBlkDriverUnix::servingProcess(v.name);
    for (int n = 1; n < 256; ++n) {
      const std::string part = node + "p" + std::to_string(n);
      struct stat st;
      if (::lstat(part.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) v.partitions.push_back(part);
    }
    for (const KqMountEntry& entry : table) {
      if (onDevice(entry, v.name)) v.mounts.push_back({entry.source, entry.directory});
    }
    views.push_back(v);
  }
  return views;
}

// What a sweep may remove, each thing by the kernel's identity for it: a
// mount by its id and device number, a stacked device and a driver device
// by device number. Names are only shown.
struct Snapshot {
  struct Mount {
    int id;
    dev_t device;
    std::string directory;
  };
  std::vector<Mount> mounts;                 // on driver devices, in table order
  std::vector<KqStackedDevice> stacked;      // built on driver devices, each top first
  std::vector<std::pair<std::string, dev_t>> devices;  // the driver's whole-disk nodes

  bool hasDevice(const std::string& node) const {
    for (const auto& d : devices) {
      if (d.first == node) return true;
    }
    return false;
  }
};

// The device number of the driver's block node `node`; 0 when it is none.
dev_t driverDeviceNumber(const std::string& node) {
  struct stat st;
  if (::lstat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) ||
      !KqBlkDriverUnix::ownsBlockDevice(major(st.st_rdev), minor(st.st_rdev))) {
    return 0;
  }
  return st.st_rdev;
}

Snapshot snapshot() {
  Snapshot s;
  std::set<dev_t> seen;
  for (const std::string& node : driverNodes()) {
    const dev_t dev = driverDeviceNumber(node);
    if (dev == 0) continue;
    s.devices.push_back({node, dev});
    for (const KqStackedDevice& stacked : KqHoldersTopFirst(dev)) {
      if (seen.insert(stacked.dev).second) s.stacked.push_back(stacked);
    }
  }
  std::vector<KqMountEntry> table;
  KqReadMountTable(table);
  for (const KqMountEntry& entry : table) {
    for (const dev_t device : KqMountBlockDevices(entry, -1)) {
      if (!KqBlkDriverUnix::devicesUnder(major(device), minor(device)).empty()) {
        s.mounts.push_back({entry.id, entry.device, entry.directory});
        break;
      }
    }
  }
  return s;
}

// How many of each kind went, for the last line.
struct Removed {
  int mounts = 0, logicalVolumes = 0, dmDevices = 0, groups = 0, arrays = 0, luks = 0, devices = 0,
      directories = 0;

  std::string summary() const {
    const std::pair<int, const char*> kinds[] = {
        {mounts, "mount"},   {logicalVolumes, "logical volume"}, {dmDevices, "device-mapper device"},
        {groups, "volume group"}, {arrays, "md array"},       {luks, "LUKS mapping"},
        {devices, "device"}, {directories, "directory"}};
    std::string text;
    for (const auto& kind : kinds) {
      if (kind.first == 0) continue;
      std::string name = kind.second;
      if (kind.first != 1) name = name == "directory" ? "directories" : name + "s";
      text += (text.empty() ? "removed " : ", ") + std::to_string(kind.first) + " " + name;
    }
    return text.empty() ? "removed nothing" : text;
  }
};

struct RequestDirectory {
  std::string path;
  const char* what;
};

// The group name in a logical volume's device-mapper name ("kq--r1--vg-root":
// "kq-r1-vg"): LVM doubles the dashes within each name.
std::string groupOfMapping(const std::string& dmName) {
  std::string group;
  for (size_t i = 0; i < dmName.size(); ++i) {
    if (dmName[i] != '-') {
      group += dmName[i];
    } else if (i + 1 < dmName.size() && dmName[i + 1] == '-') {
      group += '-';
      ++i;
    } else {
      break;
    }
  }
  return group;
}

// Prints what of `before` is gone now, counting it into `removed`; true
// when the driver device `node` went too.
bool report(const Snapshot& before, const std::string& node, Removed& removed) {
  std::vector<KqMountEntry> table;
  KqReadMountTable(table);
  std::set<std::pair<int, dev_t>> mounted;
  for (const KqMountEntry& entry : table) mounted.insert({entry.id, entry.device});
  // Children come after their parents in the table and went before them.
  for (auto m = before.mounts.rbegin(); m != before.mounts.rend(); ++m) {
    if (mounted.count({m->id, m->device})) continue;
    std::printf("unmounted %s\n", ctlPrintable(m->directory).c_str());
    ++removed.mounts;
  }
  // A logical volume is LVM's device-mapper device, "LVM-" + the group's
  // UUID (32 characters) + its own; a group is released once none is left.
  const size_t kGroupUuid = 4 + 32;
  std::vector<std::pair<std::string, std::string>> groupsSeen;  // UUID, name
  std::set<std::string> groupsLeft;
  for (const KqStackedDevice& s : before.stacked) {
    KqStackedDevice now;
    const bool lvm = s.dmUuid.rfind("LVM-", 0) == 0 && s.dmUuid.size() >= kGroupUuid;
    const std::string group = lvm ? s.dmUuid.substr(0, kGroupUuid) : std::string();
    if (KqStackedDeviceOf(s.dev, now) && now.dmUuid == s.dmUuid && now.kernelName == s.kernelName) {
      if (lvm) groupsLeft.insert(group);
      continue;
    }
    const std::string shown = ctlPrintable(s.node());
    if (s.isMd()) {
      std::printf("stopped md array %s\n", shown.c_str());
      ++removed.arrays;
    } else if (s.dmUuid.rfind("CRYPT-", 0) == 0) {
      std::printf("closed LUKS mapping %s\n", shown.c_str());
      ++removed.luks;
    } else if (lvm) {
      std::printf("removed logical volume %s\n", shown.c_str());
      ++removed.logicalVolumes;
      bool known = false;
      for (const auto& g : groupsSeen) known |= g.first == group;
      if (!known) groupsSeen.push_back({group, groupOfMapping(s.dmName)});
    } else {
      std::printf("removed device-mapper device %s\n", shown.c_str());
      ++removed.dmDevices;
    }
  }
  for (const auto& g : groupsSeen) {
    if (groupsLeft.count(g.first)) continue;
    std::printf("released volume group %s\n", ctlPrintable(g.second).c_str());
    ++removed.groups;
  }
  bool destroyed = true;
  for (const auto& d : before.devices) {
    if (driverDeviceNumber(d.first) == d.second) {
      if (d.first == node) destroyed = false;
      continue;
    }
    std::printf("destroyed %s\n", d.first.c_str());
    ++removed.devices;
  }
  return destroyed;
}

}  // namespace

int ctlCleanup(const std::vector<std::string>& args) {
  std::string root = "/run/kqblk/mnt";
  bool force = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help") {
      std::fputs(kCleanupUsage, stdout);
      return kCtlOk;
    } else if (args[i] == "--root" && i + 1 < args.size()) {
      root = args[++i];
    } else if (args[i] == "--force") {
      force = true;
    } else {
      std::fputs(kCleanupUsage, stderr);
      return kCtlBadInput;
    }
  }
  if (!ctlLoadDriver()) return kCtlNoDriver;
  int status = kCtlOk;
  Removed removed;
  int leftAlone = 0;
  try {
    for (const DeviceView& d : devices()) {
      if (d.server && !force) {
        std::printf("%s: left alone, served by process %d\n", d.node.c_str(), static_cast<int>(d.server));
        ++leftAlone;
        continue;
      }
      // The first sweep takes the mounts and volumes of every device left
      // behind, the later ones little more than their device: each is told
      // what went while it ran.
      const Snapshot before = snapshot();
      if (!before.hasDevice(d.node)) continue;  // gone meanwhile
      std::string failure;
      try {
        const LibraryOutputToLog quiet("KqBlkDiskUtils::cleanupAll");
        KqBlkDiskUtils::cleanupAll(root, d.node, force);
      } catch (...) {
        failure = kqCurrentExceptionText();
      }
      const bool destroyed = report(before, d.node, removed);
      if (!failure.empty() || !destroyed) {
        ctlSay("%s: cleanup failed: %s", d.node.c_str(), failure.empty() ? "the device stays" : failure.c_str());
        status = kCtlFailed;
        break;
      }
    }
  } catch (...) {
    ctlSay("cleanup failed: %s", kqCurrentExceptionText().c_str());
    status = kCtlFailed;
  }
  // A request whose id nobody holds has ended: its directories may go.
  for (const CtlRequest& request : ctlRecordedRequests()) {
    KqNamedMutex held(ctlRequestLockName(request.id));
    if (status != kCtlOk || !held.tryLock()) continue;
    const RequestDirectory dirs[] = {{request.root, "mount root"}, {request.store, "store directory"}};
    struct stat st[2];
    bool existed[2];
    for (size_t i = 0; i < 2; ++i) existed[i] = ::lstat(dirs[i].path.c_str(), &st[i]) == 0;
    ctlRemoveRequestDirectories(request);
    ctlForgetRequest(request.id);
    for (size_t i = 0; i < 2; ++i) {
      if (!existed[i]) continue;
      struct stat now;
      const bool stays = ::lstat(dirs[i].path.c_str(), &now) == 0 && now.st_dev == st[i].st_dev &&
                         now.st_ino == st[i].st_ino;
      std::printf("%s %s (the %s of request %s)\n", stays ? "kept" : "removed",
                  ctlPrintable(dirs[i].path).c_str(), dirs[i].what, request.id.c_str());
      if (!stays) ++removed.directories;
    }
  }
  std::printf("cleanup: %s", removed.summary().c_str());
  if (leftAlone) std::printf("; left alone %d device%s still served", leftAlone, leftAlone == 1 ? "" : "s");
  std::printf("\n");
  return status;
}

int ctlList(const std::vector<std::string>& args) {
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--help") {
      std::fputs(kListUsage, stdout);
      return kCtlOk;
    } else if (a == "--json") {
      json = true;
    } else {
      std::fputs(kListUsage, stderr);
      return kCtlBadInput;
    }
  }
  std::vector<DeviceView> views;
  try {
    views = devices();
  } catch (const KqException& e) {
    ctlSay("%s", e.getMessage().c_str());
    return kCtlNoDriver;
  }
  if (json) {
    std::printf("[");
    const char* sep = "";
    for (const DeviceView& d : views) {
      std::printf("%s{\"device\":%s,\"server\":%d,\"partitions\":[", sep, ctlJson(d.node).c_str(),
                  static_cast<int>(d.server));
      for (size_t i = 0; i < d.partitions.size(); ++i) {
        std::printf("%s%s", i ? "," : "", ctlJson(d.partitions[i]).c_str());
      }
      std::printf("],\"mounts\":[");
      for (size_t i = 0; i < d.mounts.size(); ++i) {
        std::printf("%s{\"device\":%s,\"target\":%s}", i ? "," : "", ctlJson(d.mounts[i].first).c_str(),
                    ctlJson(d.mounts[i].second).c_str());
      }
      std::printf("]}");
      sep = ",";
    }
    std::printf("]\n");
    return kCtlOk;
  }
  std::printf("%-40s %-8s %s\n", "DEVICE", "SERVER", "PARTITIONS / MOUNTS");
  for (const DeviceView& d : views) {
    std::printf("%-40s %-8s", d.node.c_str(), d.server ? std::to_string(d.server).c_str() : "gone");
    for (const std::string& p : d.partitions) std::printf(" %s", p.c_str());
    std::printf("\n");
    for (const auto& m : d.mounts) std::printf("  %s on %s\n", m.first.c_str(), m.second.c_str());
  }
  return kCtlOk;
}
