// kqblkctl expose: disk images as /dev/kqblk devices, served until a stop
// signal, then taken down; nothing is mounted.
#include <cstdio>
#include <list>
#include <memory>

#include "kq_error.h"
#include "kqblk_blkid.h"
#include "kqblk_request.h"
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
  KqBlkRequestOptions o;
  o.id = "expose";
  o.devicePrefix = prefix;
  o.storeDir = store;
  o.mount = false;
  if (!ctlDriverBaseDir(o.baseDir)) return kCtlNoDriver;
  for (const CtlDiskSpec& image : images) o.disks.push_back({image.path, image.format, image.bytes});
  KqBlkRequest request(o);
  int status = kCtlOk;
  if (!request.start()) {
    ctlSay("%s", ctlPrintable(request.error()).c_str());
    return request.failedStep() == KqBlkStep::LoadingDriver ? kCtlNoDriver : kCtlFailed;
  }
  const std::vector<std::string> devices = request.devices();
  for (size_t i = 0; i < devices.size(); ++i) {
    std::list<slice> parts;
    getPartitions(devices[i].c_str(), &parts);
    std::printf("%s -> %s", images[i].text.c_str(), devices[i].c_str());
    for (const slice& p : parts) std::printf(" %sp%d", devices[i].c_str(), p.number);
    std::printf("\n");
  }
  std::printf("ready; serving until interrupted\n");
  std::fflush(stdout);
  ctlWaitForStop();
  if (!request.tearDown()) {
    ctlSay("%s", ctlPrintable(request.error()).c_str());
    status = kCtlFailed;
  }
  std::printf("stopped\n");
  return status;
}
