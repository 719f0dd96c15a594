// KqBlkRequest: one restore request from start to end. Given the disks of
// a backed-up machine, it loads the driver, exposes each disk as a driver
// device, finds and takes over what is on them, mounts every file system
// below the mount root and lays the mounts out as the guest saw them; then
// it serves until taken down, which undoes all of it in the order each
// layer needs: at a call, in the destructor, and after any failure.
//
//   KqBlkRequestOptions o;
//   o.id = "vm1";
//   o.mountRoot = "/srv/restore/vm1";
//   o.storeDir = "/var/lib/kqblk/vm1";
//   o.disks.push_back({"/backups/vm1-disk0.qcow2"});
//   KqBlkRequest request(o);
//   if (!request.start()) fail(request.error());
//   browse(request.tree());
//   request.tearDown();
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "kqblk_disk.h"
#include "kqblk_layer.h"
#include "kqblk_mountpoint.h"
#include "kqblk_vg.h"

// One disk of the request.
struct KqBlkDiskSource {
  KqBlkDiskSource(std::string path_ = std::string(), std::string format_ = std::string(),
                  uint64_t bytes_ = 0, bool machineDisk_ = false)
      : path(std::move(path_)), format(std::move(format_)), bytes(bytes_), machineDisk(machineDisk_) {}

  // An image file (raw, or a format qemu-nbd reads), a block device or an
  // NBD URI, read through the reader plugin; with `machineDisk`, a block
  // device of this machine used in place (no driver device is made).
  std::string path;
  // The image format (raw, qcow2, qcow, vmdk, vhdx, vpc, vdi, qed); empty:
  // by the file name's extension, never by the content.
  std::string format;
  uint64_t bytes = 0;  // 0: the source's own size
  bool machineDisk = false;
};

struct KqBlkRequestOptions {
  // Names the request's devices, volume groups and arrays: letters, digits,
  // '.', '_' and '-', at most 32, not starting with '.' or '-'.
  std::string id;
  std::string mountRoot;  // made (0700) when missing; must be empty (when mounting)
  std::string storeDir;   // recalled and changed data; made (0700) when missing
  std::vector<KqBlkDiskSource> disks;
  // Keys for the guest's LUKS volumes, each the whole content of a key file.
  std::list<std::string> keys;
  bool readOnly = false;   // every device made read-only before it is mounted
  bool layout = true;      // false: each file system stays on its own directory
  bool writeBack = false;  // at the end, the guest's changes go back to the sources
  bool mount = true;       // false: the disks are only exposed (no mount root needed)
  // The start of the device names; empty: id + "-".
  std::string devicePrefix;
  // Where unix_drv.sh lies; empty: the configuration's Base/dBASEHOME.
  std::string baseDir;
};

// What a progress report is about.
enum class KqBlkStep {
  Checking,          // the options and the request's directories
  LoadingDriver,
  Exposing,          // `disk` names the disk
  Discovering,       // finding, taking over, checking and mounting
  Reporting,         // the per-layer report
  Serving,           // started: the tree is there
  Unmounting,
  ReleasingGroups,
  StoppingStacked,   // md arrays and LUKS volumes
  WritingBack,       // `disk` names the disk
  RemovingDevices,
  Done,
};

// The disk object for `source`, its stores under `storeDir` and its device
// named from `namePrefix`; nothing is connected yet.
std::unique_ptr<KqBlkDisk> kqblk_makeDisk(const KqBlkDiskSource& source, const std::string& storeDir,
                                          const std::string& namePrefix);

// Whether `id` can name a request.
bool kqblk_validRequestId(const std::string& id);

// The name of a step, for people ("exposing", "writing back").
const char* kqblkStepName(KqBlkStep step);

struct KqBlkProgress {
  KqBlkStep step;
  std::string disk;            // the disk's source, for the steps of one disk
  uint64_t bytesRecalled = 0;  // by all disks of the request so far
  uint64_t bytesWrittenBack = 0;  // to the sources, by all disks so far
  // False when a step begins; true for the reports made every half second
  // while it runs (from a thread of the request's own).
  bool tick = false;
};

// Called as each step begins and, while a step runs, every half second. An
// exception thrown from a step's first report ends start() as a failure of
// that step (a tick's, or any during the teardown, is logged and ignored).
typedef std::function<void(const KqBlkProgress&)> KqBlkProgressCallback;

struct KqBlkRecallStats {
  uint64_t extents = 0;
  uint64_t bytes = 0;
  double seconds = 0;  // since start()
};

// One object serves one request, from one thread at a time; requests of
// one process run side by side, each on its own disks.
class KqBlkRequest {
 public:
  explicit KqBlkRequest(KqBlkRequestOptions options);
  // Takes down whatever is still up.
  ~KqBlkRequest();
  KqBlkRequest(const KqBlkRequest&) = delete;
  KqBlkRequest& operator=(const KqBlkRequest&) = delete;

  void setProgress(KqBlkProgressCallback callback);

  // Runs the request up to serving. False, with error() set, when a step
  // failed: everything made so far is already taken down. A request whose
  // disks hold nothing mountable still starts; its records say why.
  bool start();
  // Takes down everything the request made; false, with error() set, when
  // something stays (the rest still goes). Once done, a further call does
  // nothing and returns what the first returned.
  bool tearDown();

  const KqBlkRequestOptions& options() const;
  const std::string& error() const;
  // The step start() failed in (Checking: the options or directories
  // were refused); Done when it did not fail.
  KqBlkStep failedStep() const;
  // The mounts, one record per file system tried; the groups taken over;
  // every layer found and what became of it.
  const std::list<kqblk_mountpoint>& records() const;
  const std::list<kqblk_vg>& groups() const;
  const std::list<kqblk_layer>& layers() const;
  // The driver device of each disk in the order given (a machine disk's own
  // path), once exposed.
  std::vector<std::string> devices() const;
  // Where the guest's tree is: its root file system laid out, else the
  // mount root.
  std::string tree() const;
  KqBlkRecallStats recallStats() const;

 private:
  struct State;
  std::unique_ptr<State> m;
};
