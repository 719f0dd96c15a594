// Uses an installed kqblk: the public headers compile together, the library
// loads, and it finds its reader plugin in the installed tree.
#include <cstdio>

#include "HLXVixDiskLib.h"
#include "kq_config.h"
#include "kqblk_btrfs.h"
#include "kqblk_cache_manager.h"
#include "kqblk_disk_utils.h"
#include "kqblk_guestdisk.h"
#include "kqblk_matchers.h"
#include "kqblk_mount_utils.h"
#include "kqblk_vminfodisk.h"

int main() {
  KqBlkVMInfoDisk disk("image", "/nonexistent");
  IHardDiskReader* reader = disk.createHardDiskReaderObj(3, 27);
  if (reader == nullptr) return 1;
  delete reader;
  std::printf("%s\n", kqblk_mountDir("/dev/kqblk/disk0p1", "kq-", 1).c_str());
  return 0;
}
