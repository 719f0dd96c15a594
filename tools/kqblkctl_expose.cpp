// kqblkctl expose: disk images as /dev/kqblk devices, served until a stop
// signal, then taken down; nothing is mounted.
#include <cstdio>
#include <list>
#include <memory>

#include "kq_error.h"
#include "kqblk_cache_manager.h"
#include "kqblk_blkid.h"
#include "kqblkctl_commands.h"
#include "kqblkctl_common.h"

namespace {

const char kUsage[] =
    "usage: kqblkctl expose [--store DIR] [--prefix TEXT] [--format FMT] IMAGE...\n"
    "Exposes each IMAGE as a /dev/kqblk device whose data is read from the image on\n"
    "first use, prints the device and its partitions, and serves until SIGINT or\n"
    "SIGTERM; then takes the devices down again.\n"
    "  --store DIR    where recalled and changed data go (default /var/lib/kqblk/stores)\n"
    "  --prefix TEXT  the start of the device names (default kq-)\n"
    "  --format FMT   the format of the IMAGEs after it: raw, qcow2, qcow, vmdk, vhdx,\n"
    "                 vpc, vdi or qed (default: by the file name's extension, .qcow2,\n"
    "                 .qcow, .vmdk, .vhdx, .vhd, .vdi, .qed; raw for any other name)\n";

}  // namespace

int ctlExpose(const std::vector<std::string>& args) {
  std::string store = "/var/lib/kqblk/stores";
  std::string prefix = "kq-";
  std::vector<CtlDiskSpec> images;
  std::string format;  // for the images that follow
  bool formatUsed = true;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help") {
      std::fputs(kUsage, stdout);
      return kCtlOk;
    } else if (args[i] == "--store" && i + 1 < args.size()) {
      store = args[++i];
    } else if (args[i] == "--prefix" && i + 1 < args.size()) {
      prefix = args[++i];
    } else if (args[i] == "--format" && i + 1 < args.size()) {
      format = args[++i];
      formatUsed = false;
    } else if (args[i].rfind("--", 0) == 0) {
      std::fputs(kUsage, stderr);
      return kCtlBadInput;
    } else {
      CtlDiskSpec spec;
      std::string why;
      if (!ctlParseDisk(args[i], format, spec, why) || spec.guest) {
        ctlSay("%s", spec.guest ? "expose takes image files and block devices only" : why.c_str());
        return kCtlBadInput;
      }
      images.push_back(spec);
      formatUsed = true;
    }
  }
  if (!formatUsed) {
    ctlSay("--format %s: no IMAGE follows it", format.c_str());
    return kCtlBadInput;
  }
  if (images.empty()) {
    std::fputs(kUsage, stderr);
    return kCtlBadInput;
  }
  if (!ctlLoadDriver()) return kCtlNoDriver;
  std::string why;
  if (!ctlPrepareDirectory("the store directory", store, why)) {
    ctlSay("%s", why.c_str());
    return kCtlFailed;
  }
  CacheManager cache;
  KqBlkDisk::setCacheManager(&cache);
  std::vector<std::unique_ptr<KqBlkDisk>> exposed;
  int status = kCtlOk;
  for (const CtlDiskSpec& image : images) {
    try {
      exposed.push_back(ctlMakeDisk(image, store, prefix));
      KqBlkDisk& disk = *exposed.back();
      disk.connect();
      const std::string dev = disk.createKqBlkDev();
      disk.startThread();
      disk.waitForDeviceReady();
      std::list<slice> parts;
      getPartitions(dev.c_str(), &parts);
      std::printf("%s -> %s", image.text.c_str(), dev.c_str());
      for (const slice& p : parts) std::printf(" %sp%d", dev.c_str(), p.number);
      std::printf("\n");
    } catch (...) {
      ctlSay("%s: %s", image.text.c_str(), kqCurrentExceptionText().c_str());
      status = kCtlFailed;
      break;
    }
  }
  if (status == kCtlOk) {
    std::printf("ready; serving until interrupted\n");
    std::fflush(stdout);
    ctlWaitForStop();
  }
  for (auto& disk : exposed) {
    try {
      disk->stopThread();
      if (disk->hasDevice()) disk->destroyKqBlkDev();
    } catch (...) {
      ctlSay("%s: %s", disk->getDiskPath().c_str(), kqCurrentExceptionText().c_str());
      status = kCtlFailed;
    }
  }
  exposed.clear();
  KqBlkDisk::setCacheManager(nullptr);
  std::printf("stopped\n");
  return status;
}
