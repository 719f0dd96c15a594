// kqblkctl cleanup and list: the driver's devices as this machine has them,
// and the sweep of those whose serving process is gone.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <list>

#include "kq_fs.h"
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
    "  --force     also take down the devices of requests that are still running\n";
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

std::vector<DeviceView> devices() {
  std::list<std::string> nodes;
  KqBlkDiskUtils::getKqBlkDevs(nodes);
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
  try {
    for (const DeviceView& d : devices()) {
      if (d.server && !force) {
        std::printf("%s: left alone, served by process %d\n", d.node.c_str(), static_cast<int>(d.server));
        continue;
      }
      KqBlkDiskUtils::cleanupAll(root, d.node, force);
      std::printf("%s: taken down\n", d.node.c_str());
    }
  } catch (const KqException& e) {
    ctlSay("cleanup failed: %s", e.getMessage().c_str());
    status = kCtlFailed;
  }
  // A request whose id nobody holds has ended: its directories may go.
  for (const CtlRequest& request : ctlRecordedRequests()) {
    KqNamedMutex held(ctlRequestLockName(request.id));
    if (status != kCtlOk || !held.tryLock()) continue;
    ctlRemoveRequestDirectories(request);
    ctlForgetRequest(request.id);
    std::printf("request %s: its directories removed\n", request.id.c_str());
  }
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
