// kqblkctl: exposes backed-up disk images as /dev/kqblk devices and serves
// them until interrupted, then takes them down again.
//
//   kqblkctl expose [--store DIR] [--prefix TEXT] IMAGE...
//   kqblkctl devices
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kq_fs.h"
#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_blkid.h"
#include "kqblk_cache_manager.h"
#include "kqblk_vminfodisk.h"

namespace {

const char kUsage[] =
    "usage: kqblkctl expose [--store DIR] [--prefix TEXT] IMAGE...\n"
    "       kqblkctl devices\n";

volatile sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool loadDriver() {
  std::string out, err;
  // KQBLK_DRIVER_SCRIPT names the script outside an installation.
  const char* script = std::getenv("KQBLK_DRIVER_SCRIPT");
  const std::string command =
      KqShellQuote(script && *script ? script : KQBLK_DRIVER_SCRIPT) + " -a kqblk";
  if (KqProcess::system(command, &out, &err, 60, false) != 0) {
    std::fprintf(stderr, "kqblkctl: driver not loaded: %s", err.c_str());
    return false;
  }
  return true;
}

uint64_t imageBytes(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw KqException("kqblkctl", path + " is not a readable image file", "kqblkctl", __LINE__,
                      errno);
  }
  return static_cast<uint64_t>(st.st_size);
}

struct ExposedImage {
  HLXVMContext context;  // the reader reads its options from here
  std::unique_ptr<KqBlkVMInfoDisk> disk;
};

int expose(const std::vector<std::string>& args) {
  std::string store = "/var/tmp/kqblk-stores";
  std::string prefix = "kq-";
  std::vector<std::string> images;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--store" && i + 1 < args.size()) {
      store = args[++i];
    } else if (args[i] == "--prefix" && i + 1 < args.size()) {
      prefix = args[++i];
    } else if (args[i].rfind("--", 0) == 0) {
      return usage();
    } else {
      images.push_back(args[i]);
    }
  }
  if (images.empty()) return usage();
  if (!loadDriver()) return 1;
  if (CUxDirectory::Create(store, true).IsError()) {
    std::fprintf(stderr, "kqblkctl: cannot make store directory %s\n", store.c_str());
    return 1;
  }
  CacheManager cache;
  KqBlkDisk::setCacheManager(&cache);
  signal(SIGINT, onSignal);
  signal(SIGTERM, onSignal);

  std::vector<std::unique_ptr<ExposedImage>> exposed;
  int rc = 0;
  for (const std::string& image : images) {
    auto e = std::make_unique<ExposedImage>();
    try {
      const uint64_t bytes = imageBytes(image);
      e->disk.reset(new KqBlkVMInfoDisk(image, store));
      e->disk->setIdPrefix(prefix);
      e->disk->setDiskParams(1 << 20, static_cast<int64_t>(bytes), 512, image);
      HLXCtxSpecialOpts options;
      options.vmContext = &e->context;
      e->disk->setSpecialOpts(CTX_OTYPE_VMINFO, options);
      e->disk->connect();
      const std::string dev = e->disk->createKqBlkDev();
      e->disk->startThread();
      e->disk->waitForDeviceReady();
      std::list<slice> parts;
      getPartitions(dev.c_str(), &parts);
      std::printf("%s -> %s", image.c_str(), dev.c_str());
      for (const slice& p : parts) std::printf(" %s%s%d", dev.c_str(), "p", p.number);
      std::printf("\n");
      exposed.push_back(std::move(e));
    } catch (const KqException& ex) {
      std::fprintf(stderr, "kqblkctl: %s: %s\n", image.c_str(), ex.getMessage().c_str());
      rc = 1;
      break;
    }
  }
  if (rc == 0) {
    std::printf("ready; serving until interrupted\n");
    std::fflush(stdout);
    while (!gStop) pause();
  }
  for (auto& e : exposed) {
    e->disk->stopThread();
    e->disk->destroyKqBlkDev();
  }
  exposed.clear();
  KqBlkDisk::setCacheManager(nullptr);
  std::printf("stopped\n");
  return rc;
}

int devices() {
  KQFindData entry;
  KQFindHandle h = KQFindFirstFile("/dev/kqblk", &entry);
  if (!h) return 0;
  do {
    std::printf("/dev/kqblk/%s\n", entry.name.c_str());
  } while (KQFindNextFile(h, &entry));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "expose") return expose(args);
  if (command == "devices" && args.empty()) return devices();
  return usage();
}
