// kqblkctl mount: a request's disks exposed, discovered, mounted and laid
// out as the guest saw them, served until a stop signal, then taken down.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>

#include "kq_config.h"
#include "kq_error.h"
#include "kq_fs.h"
#include "kq_sync.h"
#include "kqblk_cache_manager.h"
#include "kqblk_disk_utils.h"
#include "kqblk_made_dirs.h"
#include "kqblk_vg_identity.h"
#include "kqblkctl_commands.h"
#include "kqblkctl_common.h"
#include "kqblkctl_requests.h"

namespace {

const char kUsage[] =
    "usage: kqblkctl mount [--id ID] [--root DIR] [--store DIR] [--read-only] [--no-fixup]\n"
    "                      [--write-back] [--json] [--key-file FILE]... [--format FMT] DISK...\n"
    "Exposes each DISK (an image file or block device read through the reader plugin,\n"
    "or guest:/dev/sdX, a disk of this machine), mounts every file system found on\n"
    "them as the guest saw it, prints where, and serves until SIGINT or SIGTERM;\n"
    "then takes everything down again.\n"
    "  --id ID       the request's name (letters, digits, '.', '_', '-'; default: unique)\n"
    "  --root DIR    where the mounts go (default /run/kqblk/mnt/ID)\n"
    "  --store DIR   where recalled and changed data go (default /var/lib/kqblk/ID)\n"
    "  --read-only   make every device read-only before mounting it\n"
    "  --no-fixup    leave each file system on its own directory (no guest layout)\n"
    "  --write-back  at the end, write the guest's changes back to the source disks, once\n"
    "                its own LVM and btrfs identities are back on them\n"
    "  --json        print the records as one JSON document\n"
    "  --key-file FILE  a key for the guest's LUKS volumes: the file's whole content;\n"
    "                may be given more than once, each key is tried on each volume\n"
    "  --format FMT  the format of the DISKs after it: raw, qcow2, qcow, vmdk, vhdx, vpc,\n"
    "                vdi or qed (default: by the file name's extension, .qcow2, .qcow,\n"
    "                .vmdk, .vhdx, .vhd, .vdi, .qed; raw for any other name)\n";

struct Options {
  std::string id, root, store;
  bool readOnly = false, noFixup = false, writeBack = false, json = false;
  std::vector<CtlDiskSpec> disks;
  std::list<std::string> keys;  // the contents of the --key-file files
};

// A key file's content, bounded as cryptsetup bounds key files.
bool readKeyFile(const std::string& file, std::string& key, std::string& why) {
  const size_t kMaxKey = 8u << 20;
  std::FILE* f = std::fopen(file.c_str(), "rbe");
  if (f == nullptr) {
    why = file + ": " + std::strerror(errno);
    return false;
  }
  key.clear();
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && key.size() <= kMaxKey) key.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed || key.empty() || key.size() > kMaxKey) {
    why = file + ": " + (failed ? "cannot be read" : key.empty() ? "empty" : "larger than 8 MiB");
    return false;
  }
  return true;
}

bool validId(const std::string& id) {
  if (id.empty() || id.size() > 32) return false;
  for (char c : id) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
  }
  return id[0] != '.' && id[0] != '-';
}

std::string uniqueId() {
  char id[40];
  std::snprintf(id, sizeof id, "r%lx%x", static_cast<unsigned long>(std::time(nullptr)),
                static_cast<unsigned>(::getpid()));
  return id;
}

// Parses the arguments; an exit status other than kCtlOk ends the command.
int parse(const std::vector<std::string>& args, Options& o) {
  std::string format;  // for the disks that follow
  bool formatUsed = true;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if ((a == "--id" || a == "--root" || a == "--store") && hasValue) {
      (a == "--id" ? o.id : a == "--root" ? o.root : o.store) = args[++i];
    } else if (a == "--read-only") {
      o.readOnly = true;
    } else if (a == "--no-fixup") {
      o.noFixup = true;
    } else if (a == "--write-back") {
      o.writeBack = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--key-file" && hasValue) {
      std::string key, why;
      if (!readKeyFile(args[++i], key, why)) {
        ctlSay("--key-file %s", why.c_str());
        return kCtlBadInput;
      }
      o.keys.push_back(key);
    } else if (a == "--format" && hasValue) {
      format = args[++i];
      formatUsed = false;
    } else if (a.rfind("-", 0) == 0) {
      std::fputs(kUsage, stderr);
      return kCtlBadInput;
    } else {
      CtlDiskSpec spec;
      std::string why;
      if (!ctlParseDisk(a, format, spec, why)) {
        ctlSay("%s", why.c_str());
        return kCtlBadInput;
      }
      o.disks.push_back(spec);
      formatUsed = true;
    }
  }
  if (!formatUsed) {
    ctlSay("--format %s: no DISK follows it", format.c_str());
    return kCtlBadInput;
  }
  if (o.disks.empty()) {
    std::fputs(kUsage, stderr);
    return kCtlBadInput;
  }
  if (o.id.empty()) o.id = uniqueId();
  if (!validId(o.id)) {
    ctlSay("%s: not a usable request id", o.id.c_str());
    return kCtlBadInput;
  }
  if (o.root.empty()) o.root = "/run/kqblk/mnt/" + o.id;
  if (o.store.empty()) o.store = "/var/lib/kqblk/" + o.id;
  return kCtlOk;
}

// The mount root: a new or empty directory on a writable file system.
bool prepareRoot(const std::string& root, std::string& why) {
  if (!ctlPrepareDirectory("the mount root", root, why)) return false;
  struct statvfs vfs;
  if (::statvfs(root.c_str(), &vfs) != 0 || (vfs.f_flag & ST_RDONLY) || ::access(root.c_str(), W_OK) != 0) {
    why = root + ": " + std::strerror(EROFS);
    return false;
  }
  KQFindData entry;
  if (KQFindFirstFile(root, &entry)) {
    why = root + ": not empty";
    return false;
  }
  return true;
}

// One exposed disk and the request it serves.
struct Request {
  Options options;
  std::vector<std::unique_ptr<KqBlkDisk>> disks;
  std::unique_ptr<LVMConfig> lvm;
  std::list<kqblk_mountpoint> records;
  std::list<kqblk_vg> groups;
  std::list<kqblk_layer> layers;  // what was found on the disks and what became of it
  // Per disk, in the order of `disks`: the guest's identities as found, kept
  // for a write-back.
  std::vector<std::list<kqblk_vg_identity>> identities;
};

// Rows of four columns, the last one left unpadded, each cell printable.
void printRows(std::vector<std::array<std::string, 4>> rows) {
  for (auto& row : rows) {
    for (std::string& cell : row) cell = ctlPrintable(cell);
  }
  size_t width[3] = {0, 0, 0};
  for (const auto& row : rows) {
    for (size_t c = 0; c < 3; ++c) width[c] = std::max(width[c], row[c].size());
  }
  for (const auto& row : rows) {
    std::printf("%-*s  %-*s  %-*s  %s\n", static_cast<int>(width[0]), row[0].c_str(),
                static_cast<int>(width[1]), row[1].c_str(), static_cast<int>(width[2]),
                row[2].c_str(), row[3].c_str());
  }
}

void printTable(const Request& r, const std::string& tree) {
  std::vector<std::array<std::string, 4>> rows = {{"DEVICE", "GUEST PATH", "MOUNTED AT", "ERROR"}};
  for (const kqblk_mountpoint& m : r.records) {
    const bool placed = m.error.empty();
    const std::string device = m.subvolume.empty() ? m.device : m.device + " (" + m.subvolume + ")";
    rows.push_back({device, placed ? m.guestPath : "-",
                    placed ? (m.bindPath.empty() ? m.mountPath : m.bindPath) : "-", m.error});
  }
  printRows(rows);
  for (const kqblk_vg& g : r.groups) {
    std::printf("volume group %s (the guest's %s)\n", g.name.c_str(), g.guestName.c_str());
  }
  std::printf("\n");
  rows = {{"DEVICE", "LAYER", "DONE", "WHY"}};
  for (const kqblk_layer& l : r.layers) rows.push_back({l.device, l.layer.empty() ? "-" : l.layer, l.done, l.why});
  printRows(rows);
  std::printf("tree: %s\n", tree.c_str());
}

void printJson(const Request& r, const std::string& tree) {
  std::printf("{\"id\":%s,\"root\":%s,\"tree\":%s,\"mounts\":[", ctlJson(r.options.id).c_str(),
              ctlJson(r.options.root).c_str(), ctlJson(tree).c_str());
  const char* sep = "";
  for (const kqblk_mountpoint& m : r.records) {
    std::printf("%s{\"device\":%s,\"mountPath\":%s,\"guestPath\":%s,\"bindPath\":%s,"
                "\"isRoot\":%s,\"isBound\":%s,\"volumeGroup\":%s,\"subvolume\":%s,\"error\":%s}",
                sep, ctlJson(m.device).c_str(), ctlJson(m.mountPath).c_str(),
                ctlJson(m.guestPath).c_str(), ctlJson(m.bindPath).c_str(),
                m.isRoot ? "true" : "false", m.isBound ? "true" : "false",
                ctlJson(m.volumeGroup).c_str(), ctlJson(m.subvolume).c_str(),
                ctlJson(m.error).c_str());
    sep = ",";
  }
  std::printf("],\"layers\":[");
  sep = "";
  for (const kqblk_layer& l : r.layers) {
    std::printf("%s{\"device\":%s,\"layer\":%s,\"done\":%s,\"why\":%s}", sep,
                ctlJson(l.device).c_str(), ctlJson(l.layer).c_str(), ctlJson(l.done).c_str(),
                ctlJson(l.why).c_str());
    sep = ",";
  }
  std::printf("],\"volumeGroups\":[");
  sep = "";
  for (const kqblk_vg& g : r.groups) {
    std::printf("%s{\"name\":%s,\"guestName\":%s}", sep, ctlJson(g.name).c_str(),
                ctlJson(g.guestName).c_str());
    sep = ",";
  }
  std::printf("]}\n");
}

// Where the guest's tree is: its root file system laid out, else the mount root.
std::string treeOf(const Request& r) {
  for (const kqblk_mountpoint& m : r.records) {
    if (m.isRoot && m.isBound) return m.mountPath;
  }
  return r.options.root;
}

// Exposes every disk; false, said why, at the first that fails.
bool expose(Request& r) {
  for (const CtlDiskSpec& spec : r.options.disks) {
    try {
      std::unique_ptr<KqBlkDisk> disk = ctlMakeDisk(spec, r.options.store, r.options.id + "-");
      disk->connect();
      r.disks.push_back(std::move(disk));
      KqBlkDisk& d = *r.disks.back();
      const std::string device = d.createKqBlkDev();
      d.startThread();
      // The machine's own disk is a device already; only ours wait for the driver.
      if (!spec.guest) d.waitForDeviceReady();
      ctlSay("exposed %s as %s", spec.text.c_str(), device.c_str());
    } catch (...) {
      ctlSay("%s: cannot expose it: %s", spec.text.c_str(), kqCurrentExceptionText().c_str());
      return false;
    }
  }
  return true;
}

// Runs one step of the teardown, saying why when it threw; what it leaves
// shows in the step's own result.
template <typename Step>
void tearDownStep(const char* what, Step step) {
  try {
    step();
  } catch (...) {
    ctlSay("taking down %s failed: %s", what, kqCurrentExceptionText().c_str());
  }
}

// Unmounts `records`, each record's children first; a write-back then
// takes back the directories made for each once it is free. False, said
// why, when one stays mounted.
bool unmount(Request& r, std::list<kqblk_mountpoint> records, const std::string& tree) {
  records.sort([](const kqblk_mountpoint& a, const kqblk_mountpoint& b) {
    return a.bindPath.compare(b.bindPath) > 0;
  });
  bool clean = true;
  for (const kqblk_mountpoint& record : records) {
    std::list<kqblk_mountpoint> one{record};
    tearDownStep("the mounts", [&] { KqBlkDiskUtils::cleanupMountPoints(r.options.root, one); });
    for (const kqblk_mountpoint& m : one) {
      ctlSay("still mounted: %s (%s)", m.mountPath.c_str(), m.error.c_str());
      clean = false;
    }
    if (one.empty() && r.options.writeBack) kqblk_removeMadeDirs(tree, record.madeDirs);
  }
  return clean;
}

// Takes down whatever the request made, in the order each layer needs;
// false, said why, when something stays. A layer that fails does not keep
// the next from going. A write-back comes last, once no mount and no group
// uses the disks and the guest's own identities are back on them: none of
// the take-over reaches the source.
bool takeDown(Request& r) {
  bool clean = true;
  // Records with an error were never mounted: nothing to unmount.
  std::list<kqblk_mountpoint> others, root;
  std::vector<std::string> made;
  for (const kqblk_mountpoint& m : r.records) {
    if (!m.error.empty()) continue;
    (m.isRoot ? root : others).push_back(m);
    made.insert(made.end(), m.madeDirs.begin(), m.madeDirs.end());
  }
  const std::string tree = root.empty() ? std::string() : root.front().mountPath;
  clean = unmount(r, others, tree);
  // A directory shared by several (the lost-and-found) goes once all are free.
  if (clean && r.options.writeBack) kqblk_removeMadeDirs(tree, made);
  clean = unmount(r, root, tree) && clean;
  if (r.lvm && !r.groups.empty()) {
    // The guest's own names back, or exported where a name is taken.
    bool released = false;
    tearDownStep("the volume groups", [&] {
      released = KqBlkDiskUtils::cleanupVGs(r.groups, r.lvm.get(), true) == 0 ||
                 KqBlkDiskUtils::cleanupVGs(r.groups, r.lvm.get(), false) == 0;
    });
    if (!released) {
      for (const kqblk_vg& g : r.groups) ctlSay("volume group %s not released", g.name.c_str());
      clean = false;
    }
  }
  // Arrays stopped and LUKS volumes closed, so that the disks are free.
  for (auto& d : r.disks) {
    if (d->hasDevice() && !KqBlkDiskUtils::takeDownStackedDevices(d->getDevPath())) {
      ctlSay("%s: an md array or LUKS volume on it stays", d->getDevPath().c_str());
      clean = false;
    }
  }
  if (r.options.writeBack) {
    const bool inUse = !clean;
    for (size_t i = 0; i < r.disks.size(); ++i) {
      KqBlkDisk& d = *r.disks[i];
      // A disk whose own identity cannot be put back keeps its changes.
      std::string why = inUse ? "the disks are still in use" : std::string();
      if (!inUse && i < r.identities.size()) kqblk_restoreIdentities(r.identities[i], why);
      bool written = false;
      if (why.empty()) tearDownStep("the write-back", [&] { written = d.writeBackChanges(); });
      if (!written) {
        ctlSay("%s: the changes were not written back%s%s", d.getDiskPath().c_str(),
               why.empty() ? "" : ": ", why.c_str());
        clean = false;
      }
    }
  }
  for (auto& d : r.disks) {
    try {
      d->stopThread();
      if (d->hasDevice()) d->destroyKqBlkDev();
    } catch (...) {
      ctlSay("%s: %s", d->getDiskPath().c_str(), kqCurrentExceptionText().c_str());
      clean = false;
    }
  }
  r.lvm.reset();
  ctlRemoveRequestDirectories({r.options.id, r.options.root, r.options.store});
  return clean;
}

int serve(Request& r) {
  const auto start = std::chrono::steady_clock::now();
  ctlSay("loading the driver");
  if (!ctlLoadDriver()) return kCtlNoDriver;
  CacheManager cache;
  KqBlkDisk::setCacheManager(&cache);
  int status = kCtlOk;
  if (!expose(r)) status = kCtlFailed;
  if (status == kCtlOk && !ctlStopRequested()) {
    ctlSay("discovering and mounting");
    std::list<std::string> devices;
    std::list<boost::shared_ptr<KqBlkDisk>> handles;
    for (auto& d : r.disks) {
      // LVM's filter admits only our driver's nodes: a disk of this machine
      // gives its name, which no node there has, so LVM leaves it alone.
      devices.push_back(d->hasDevice() ? d->getDevPath() : d->getDiskUUID());
      handles.emplace_back(d.get(), [](KqBlkDisk*) {});
    }
    CUxError err;
    try {
      KqBlkDiskUtils::setConfigDir(r.options.store.c_str(), false);
      r.lvm.reset(KqBlkDiskUtils::initLVMConfig("lvm", devices));
      // What the take-over is about to change, kept to be put back before a write-back.
      for (const auto& h : handles) {
        if (r.options.writeBack) r.identities.push_back(kqblk_keepIdentities(h));
      }
      KqBlkDiskUtils::discoverAndMount(r.options.root, r.options.id, handles, r.records, r.groups,
                                       true, &err, *r.lvm);
      r.layers = KqBlkDiskUtils::reportLayers(handles, r.records, r.groups);
    } catch (...) {
      err = FXErrorUtil::ErrorErrNo(FX_HERE, EIO, "%s", kqCurrentExceptionText().c_str());
    }
    bool anyMounted = false;
    for (const kqblk_mountpoint& m : r.records) anyMounted |= m.error.empty();
    if (err.IsError()) {
      ctlSay("discovery failed: %s", err.AsString().c_str());
      status = kCtlFailed;
    } else if (!anyMounted) {
      ctlSay("nothing on the disks could be mounted%s%s",
             r.records.empty() ? "" : ": ", r.records.empty() ? "" : r.records.front().error.c_str());
      for (const kqblk_layer& l : r.layers) {
        ctlSay("%s", ctlPrintable(l.device + ": " + (l.layer.empty() ? "-" : l.layer) + " " + l.done +
                                  (l.why.empty() ? "" : ": " + l.why))
                         .c_str());
      }
      status = kCtlBadInput;
    }
  }
  if (status == kCtlOk && ctlStopRequested()) {
    ctlSay("stopped before the guest was mounted");
    status = kCtlFailed;
  }
  if (status == kCtlOk) {
    const std::string tree = treeOf(r);
    r.options.json ? printJson(r, tree) : printTable(r, tree);
    std::fflush(stdout);
    ctlSay("serving; stop with SIGINT or SIGTERM");
    ctlWaitForStop();
  }
  ctlSay("taking down");
  uint64_t extents = 0, bytes = 0;
  for (auto& d : r.disks) {
    extents += d->recalledExtents();
    bytes += d->recalledBytes();
  }
  if (!takeDown(r) && status == kCtlOk) status = kCtlFailed;
  KqBlkDisk::setCacheManager(nullptr);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ctlSay("recalled %llu extents (%llu bytes) in %.1f s", static_cast<unsigned long long>(extents),
         static_cast<unsigned long long>(bytes), seconds);
  return status;
}

}  // namespace

int ctlMount(const std::vector<std::string>& args) {
  Request r;
  const int parsed = parse(args, r.options);
  if (parsed != kCtlOk) return parsed < 0 ? kCtlOk : parsed;
  // One request per id and per root at a time, also across processes.
  KqNamedMutex idLock(ctlRequestLockName(r.options.id));
  KqNamedMutex rootLock("kqblkctl-root-" + r.options.root);
  if (!idLock.tryLock()) {
    ctlSay("request id %s is in use by another kqblkctl mount", r.options.id.c_str());
    return kCtlBadInput;
  }
  if (!rootLock.tryLock()) {
    ctlSay("%s is in use by another kqblkctl mount", r.options.root.c_str());
    return kCtlBadInput;
  }
  std::string why;
  if (!prepareRoot(r.options.root, why)) {
    ctlSay("%s", why.c_str());
    return kCtlBadInput;
  }
  if (!ctlPrepareDirectory("the store directory", r.options.store, why)) {
    ctlSay("%s", why.c_str());
    ::rmdir(r.options.root.c_str());  // empty; nothing below a refused store is touched
    return kCtlBadInput;
  }
  const CtlRequest recorded{r.options.id, r.options.root, r.options.store};
  // The id is ours now: what a killed request of the same id left goes.
  CUxDirectory::Remove(r.options.store + "/lvm", true, false);
  ctlRecordRequest(recorded);
  KqBlkDiskUtils::setKqBlkRO(r.options.readOnly);
  KqBlkDiskUtils::setLuksKeys(std::move(r.options.keys), r.options.writeBack);
  if (r.options.noFixup) KQPlatformInfo::setOverride("Session", "sHLXFixupMounts", "N");
  const int status = serve(r);
  ctlForgetRequest(r.options.id);
  return status;
}
