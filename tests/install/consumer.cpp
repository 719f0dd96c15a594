// Uses an installed kqblk: the public headers compile together, the library
// loads, it finds its reader plugin in the installed tree, and a request
// object runs its first step and refuses what it must.
#include <cstdio>

#include "HLXVixDiskLib.h"
#include "kq_config.h"
#include "kqblk_btrfs.h"
#include "kqblk_cache_manager.h"
#include "kqblk_disk_utils.h"
#include "kqblk_guestdisk.h"
#include "kqblk_matchers.h"
#include "kqblk_mount_utils.h"
#include "kqblk_request.h"
#include "kqblk_vminfodisk.h"

int main() {
  KqBlkVMInfoDisk disk("image", "/nonexistent");
  IHardDiskReader* reader = disk.createHardDiskReaderObj(3, 27);
  if (reader == nullptr) return 1;
  delete reader;
  std::printf("%s\n", kqblk_mountDir("/dev/kqblk/disk0p1", "kq-", 1).c_str());

  KqBlkRequestOptions options;
  options.id = "-not-an-id";
  options.mountRoot = "/nonexistent/root";
  options.storeDir = "/nonexistent/store";
  options.disks.push_back(KqBlkDiskSource("image.qcow2"));
  KqBlkRequest request(options);
  request.setProgress([](const KqBlkProgress& p) { std::printf("%s\n", kqblkStepName(p.step)); });
  if (request.start() || request.failedStep() != KqBlkStep::Checking) return 1;
  std::printf("%s\n", request.error().c_str());
  return request.tearDown() ? 0 : 1;
}
