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
#include "kqblk_request.h"
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
  if (!kqblk_validRequestId(o.id)) {
    ctlSay("%s: not a usable request id", o.id.c_str());
    return kCtlBadInput;
  }
  if (o.root.empty()) o.root = "/run/kqblk/mnt/" + o.id;
  if (o.store.empty()) o.store = "/var/lib/kqblk/" + o.id;
  return kCtlOk;
}

// Paths as people write them: "/boot" for the record's "//boot".
std::string normalPath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c != '/' || out.empty() || out.back() != '/') out += c;
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// A device as the table shows it: "disk1p2" for the second partition of
// the first disk given; any other (a volume, an array) without "/dev/".
std::string shortDevice(const KqBlkRequest& request, const std::string& device) {
  const std::vector<std::string> disks = request.devices();
  for (size_t i = 0; i < disks.size(); ++i) {
    if (device.rfind(disks[i], 0) == 0) return "disk" + std::to_string(i + 1) + device.substr(disks[i].size());
  }
  return device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
}

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

// A failed mount's real cause beside its fixed text.
std::string errorShown(const kqblk_mountpoint& m) {
  return m.cause.empty() ? m.error : m.cause + " (" + m.error + ")";
}

void printTable(const KqBlkRequest& r) {
  std::vector<std::array<std::string, 4>> rows = {{"DEVICE", "GUEST PATH", "MOUNTED AT", "ERROR"}};
  for (const kqblk_mountpoint& m : r.records()) {
    const bool placed = m.error.empty();
    const std::string device = shortDevice(r, m.device);
    rows.push_back({m.subvolume.empty() ? device : device + " (" + m.subvolume + ")",
                    placed ? normalPath(m.guestPath) : "-",
                    placed ? normalPath(m.bindPath.empty() ? m.mountPath : m.bindPath) : "-", errorShown(m)});
  }
  printRows(rows);
  for (const kqblk_vg& g : r.groups()) {
    std::printf("volume group %s (the guest's %s)\n", g.name.c_str(), g.guestName.c_str());
  }
  std::printf("\n");
  rows = {{"DEVICE", "LAYER", "DONE", "WHY"}};
  for (const kqblk_layer& l : r.layers()) {
    rows.push_back({shortDevice(r, l.device), l.layer.empty() ? "-" : l.layer, l.done, l.why});
  }
  printRows(rows);
  const std::vector<std::string> devices = r.devices();
  for (size_t i = 0; i < devices.size(); ++i) {
    std::printf("disk%zu: %s (%s)\n", i + 1, devices[i].c_str(), r.options().disks[i].path.c_str());
  }
  std::printf("tree: %s\n", r.tree().c_str());
}

void printJson(const KqBlkRequest& r) {
  const KqBlkRequestOptions& o = r.options();
  std::printf("{\"id\":%s,\"root\":%s,\"tree\":%s,\"mounts\":[", ctlJson(o.id).c_str(),
              ctlJson(o.mountRoot).c_str(), ctlJson(r.tree()).c_str());
  const char* sep = "";
  for (const kqblk_mountpoint& m : r.records()) {
    std::printf("%s{\"device\":%s,\"deviceShown\":%s,\"mountPath\":%s,\"mountPathShown\":%s,"
                "\"guestPath\":%s,\"guestPathShown\":%s,\"bindPath\":%s,"
                "\"isRoot\":%s,\"isBound\":%s,\"volumeGroup\":%s,\"subvolume\":%s,\"error\":%s,"
                "\"cause\":%s}",
                sep, ctlJson(m.device).c_str(), ctlJson(shortDevice(r, m.device)).c_str(),
                ctlJson(m.mountPath).c_str(),
                ctlJson(normalPath(m.bindPath.empty() ? m.mountPath : m.bindPath)).c_str(),
                ctlJson(m.guestPath).c_str(), ctlJson(normalPath(m.guestPath)).c_str(),
                ctlJson(m.bindPath).c_str(), m.isRoot ? "true" : "false", m.isBound ? "true" : "false",
                ctlJson(m.volumeGroup).c_str(), ctlJson(m.subvolume).c_str(), ctlJson(m.error).c_str(),
                ctlJson(m.cause).c_str());
    sep = ",";
  }
  std::printf("],\"layers\":[");
  sep = "";
  for (const kqblk_layer& l : r.layers()) {
    std::printf("%s{\"device\":%s,\"layer\":%s,\"done\":%s,\"why\":%s}", sep,
                ctlJson(l.device).c_str(), ctlJson(l.layer).c_str(), ctlJson(l.done).c_str(),
                ctlJson(l.why).c_str());
    sep = ",";
  }
  std::printf("],\"volumeGroups\":[");
  sep = "";
  for (const kqblk_vg& g : r.groups()) {
    std::printf("%s{\"name\":%s,\"guestName\":%s}", sep, ctlJson(g.name).c_str(),
                ctlJson(g.guestName).c_str());
    sep = ",";
  }
  std::printf("]}\n");
}

// Thrown from the progress report when a stop signal came before the
// guest was up: the request ends there and takes itself down.
struct StopRequested {};

// Progress on standard error: on a terminal one line rewritten in place,
// with the bytes recalled and their rate; otherwise a line per step.
class ProgressLine {
 public:
  ProgressLine() : m_terminal(::isatty(STDERR_FILENO) == 1) {}
  ~ProgressLine() { finish(); }

  void operator()(const KqBlkProgress& p) {
    // A write-back moves bytes to the sources; every other step recalls them.
    const bool writing = p.step == KqBlkStep::WritingBack;
    const uint64_t bytes = writing ? p.bytesWrittenBack : p.bytesRecalled;
    if (!p.tick && p.step != KqBlkStep::Done) {
      m_stepStart = std::chrono::steady_clock::now();
      m_stepBytes = bytes;
    }
    if (m_terminal) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - m_stepStart).count();
      const double mib = static_cast<double>(bytes - m_stepBytes) / (1 << 20);
      std::fprintf(stderr, "\r\033[Kkqblkctl: %s%s%s: %.1f MiB %s, %.1f MiB/s", kqblkStepName(p.step),
                   p.disk.empty() ? "" : " ", ctlPrintable(p.disk).c_str(), static_cast<double>(bytes) / (1 << 20),
                   writing ? "written back" : "recalled", seconds > 0.2 ? mib / seconds : 0.0);
      m_open = true;
      if (p.step == KqBlkStep::Done || p.step == KqBlkStep::Serving) finish();
    } else if (!p.tick && p.step != KqBlkStep::Done) {
      ctlSay("%s%s%s", kqblkStepName(p.step), p.disk.empty() ? "" : " ", ctlPrintable(p.disk).c_str());
    }
  }
  void finish() {
    if (m_open) std::fputc('\n', stderr);
    m_open = false;
  }

 private:
  const bool m_terminal;
  bool m_open = false;
  std::chrono::steady_clock::time_point m_stepStart = std::chrono::steady_clock::now();
  uint64_t m_stepBytes = 0;
};

int serve(const Options& o, const CtlRequest& recorded) {
  KqBlkRequestOptions ro;
  ro.id = o.id;
  ro.mountRoot = o.root;
  ro.storeDir = o.store;
  ro.keys = o.keys;
  ro.readOnly = o.readOnly;
  ro.layout = !o.noFixup;
  ro.writeBack = o.writeBack;
  if (!ctlDriverBaseDir(ro.baseDir)) return kCtlNoDriver;
  for (const CtlDiskSpec& spec : o.disks) ro.disks.push_back({spec.path, spec.format, spec.bytes, spec.guest});
  KqBlkRequest request(ro);
  auto progress = std::make_shared<ProgressLine>();
  bool serving = false;
  bool recordedIt = false;
  request.setProgress([&](const KqBlkProgress& p) {
    if (!p.tick && !serving && ctlStopRequested()) throw StopRequested();
    // Its directories are the request's now: recorded for a later cleanup.
    if (p.step == KqBlkStep::LoadingDriver && !recordedIt) {
      ctlRecordRequest(recorded);
      recordedIt = true;
    }
    (*progress)(p);
  });
  int status = kCtlOk;
  if (!request.start()) {
    progress->finish();
    if (ctlStopRequested()) {
      ctlSay("stopped before the guest was mounted");
    } else {
      ctlSay("%s", ctlPrintable(request.error()).c_str());
    }
    status = request.failedStep() == KqBlkStep::Checking        ? kCtlBadInput
             : request.failedStep() == KqBlkStep::LoadingDriver ? kCtlNoDriver
                                                                : kCtlFailed;
  } else {
    serving = true;
    const std::vector<std::string> devices = request.devices();
    for (size_t i = 0; i < devices.size(); ++i) {
      ctlSay("exposed %s as %s", ctlPrintable(o.disks[i].text).c_str(), devices[i].c_str());
    }
    bool anyMounted = false;
    for (const kqblk_mountpoint& m : request.records()) anyMounted |= m.error.empty();
    if (!anyMounted) {
      ctlSay("nothing on the disks could be mounted%s%s", request.records().empty() ? "" : ": ",
             request.records().empty() ? "" : ctlPrintable(errorShown(request.records().front())).c_str());
      for (const kqblk_layer& l : request.layers()) {
        ctlSay("%s", ctlPrintable(l.device + ": " + (l.layer.empty() ? "-" : l.layer) + " " + l.done +
                                  (l.why.empty() ? "" : ": " + l.why))
                         .c_str());
      }
      status = kCtlBadInput;
    } else {
      o.json ? printJson(request) : printTable(request);
      std::fflush(stdout);
      ctlSay("serving; stop with SIGINT or SIGTERM");
      ctlWaitForStop();
    }
    ctlSay("taking down");
    const KqBlkRecallStats stats = request.recallStats();
    if (!request.tearDown()) {
      progress->finish();
      ctlSay("%s", ctlPrintable(request.error()).c_str());
      if (status == kCtlOk) status = kCtlFailed;
    }
    ctlSay("recalled %llu extents (%llu bytes) in %.1f s", static_cast<unsigned long long>(stats.extents),
           static_cast<unsigned long long>(stats.bytes), stats.seconds);
  }
  if (recordedIt) {
    ctlForgetRequest(recorded.id);
    ctlRemoveRequestDirectories(recorded);
  }
  return status;
}

}  // namespace

int ctlMount(const std::vector<std::string>& args) {
  Options o;
  const int parsed = parse(args, o);
  if (parsed != kCtlOk) return parsed < 0 ? kCtlOk : parsed;
  // One request per id and per root at a time, also across processes.
  KqNamedMutex idLock(ctlRequestLockName(o.id));
  KqNamedMutex rootLock("kqblkctl-root-" + o.root);
  if (!idLock.tryLock()) {
    ctlSay("request id %s is in use by another kqblkctl mount", o.id.c_str());
    return kCtlBadInput;
  }
  if (!rootLock.tryLock()) {
    ctlSay("%s is in use by another kqblkctl mount", o.root.c_str());
    return kCtlBadInput;
  }
  return serve(o, CtlRequest{o.id, o.root, o.store});
}
