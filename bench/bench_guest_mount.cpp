// How soon a user reads a guest's files: a 2 GiB Linux guest (ext4 /boot,
// ext4 /, xfs /home, about 300 MiB of files) exposed through kqblk from a
// page-cached image, discovered, mounted and laid out by discoverAndMount,
// beside what a user would do otherwise: copy the image and loop-mount the
// copy; and the same files on Fedora's layout (ext4 /boot, one btrfs whose
// subvolumes root and home are / and /home). Needs root.
//
// Per case, the median of three runs of:
//   - time from the start of discoverAndMount until a guest file (/etc/hostname)
//     has been read at its guest path, with the file-system check skipped and
//     run;
//   - bytes recalled from the source by discover, mount, list /, read one
//     10 MiB file (/home/user/data.bin), as a share of the image.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <list>
#include <memory>
#include <vector>

#include "kq_fs.h"
#include "kqblk_cache_manager.h"
#include "kqblk_disk_utils.h"
#include "support/disk_image.h"
#include "support/exposed_disk.h"
#include "support/guest_image.h"
#include "support/loop_device.h"
#include "support/phony_guest.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

namespace {

const int kRuns = 3;
const uint64_t kImageMiB = 2048;
const char kRootUuid[] = "6c0ffee0-1111-4222-8333-944455556666";
const char kBootUuid[] = "6c0ffee0-aaaa-4bbb-8ccc-9ddddeeeefff";

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void fill(const std::string& device, const FileSystemSpec& fs, const std::string& scratch,
          const std::vector<std::pair<std::string, size_t>>& files, uint32_t seed) {
  makeFileSystem(device, fs);
  ScopedMount m(device, scratch, "rw");
  std::string lastDir;
  for (const auto& [path, bytes] : files) {
    const std::string full = m.path() + "/" + path;
    const std::string parent = full.substr(0, full.rfind('/'));
    if (parent != lastDir) runTool("mkdir -p " + shellQuote(parent));
    lastDir = parent;
    if (path.back() != '/') writeFile(full, randomBytes(bytes, seed++));
  }
  m.unmount();
}

void makeGuest(const TempDir& dir, DiskImage& image) {
  image.partition(
      "label: dos\n"
      "start=2048, size=524288, type=83\n"      // /boot, 256 MiB
      "start=526336, size=1572864, type=83\n"   // /, 768 MiB
      "start=2099200, type=83\n");              // /home, the rest
  LoopDevice loop(image.path());
  loop.addPartitions();
  std::vector<std::pair<std::string, size_t>> boot = {{"initramfs-6.1.0-bench.img", 48 << 20},
                                                      {"vmlinuz-6.1.0-bench", 8 << 20}};
  std::vector<std::pair<std::string, size_t>> root = {
      {"dev/", 0}, {"etc/", 0}, {"home/", 0}, {"boot/", 0}};
  for (int i = 0; i < 1600; ++i) root.push_back({"usr/share/bench/file-" + std::to_string(i), 64 << 10});
  std::vector<std::pair<std::string, size_t>> home = {{"user/data.bin", 10 << 20}};
  for (int i = 0; i < 8; ++i) home.push_back({"user/media/clip-" + std::to_string(i), 16 << 20});
  fill(loop.partitionPath(1), {"ext4", "boot", kBootUuid}, dir / "fill", boot, 1);
  fill(loop.partitionPath(2), {"ext4", "root", kRootUuid}, dir / "fill", root, 100);
  fill(loop.partitionPath(3), {"xfs", "home", ""}, dir / "fill", home, 5000);
  ScopedMount m(loop.partitionPath(2), dir / "fill", "rw");
  writeFile(m.path() + "/etc/hostname", {'b', 'e', 'n', 'c', 'h', '\n'});
  const std::string fstab = std::string("UUID=") + kRootUuid + " / ext4 defaults 0 1\n" +
                            "UUID=" + kBootUuid + " /boot ext4 defaults 0 2\n" +
                            "LABEL=home /home xfs defaults 0 2\n";
  writeFile(m.path() + "/etc/fstab", std::vector<char>(fstab.begin(), fstab.end()));
  m.unmount();
  loop.detach();
}

std::string randomText(size_t bytes, uint32_t seed) {
  const std::vector<char> data = randomBytes(bytes, seed);
  return std::string(data.begin(), data.end());
}

// The same files on Fedora's layout, named by UUID as Fedora names them.
std::unique_ptr<PhonyGuest> makeBtrfsGuest(const TempDir& dir) {
  const PhonyFiles boot = {{"initramfs-6.1.0-bench.img", randomText(48 << 20, 1)},
                           {"vmlinuz-6.1.0-bench", randomText(8 << 20, 2)}};
  PhonyFiles root = {{"dev/", ""}, {"etc/hostname", "bench\n"}, {"home/", ""}, {"boot/", ""}};
  for (int i = 0; i < 1600; ++i) {
    root.push_back({"usr/share/bench/file-" + std::to_string(i), randomText(64 << 10, 100 + i)});
  }
  PhonyFiles home = {{"user/data.bin", randomText(10 << 20, 5000)}};
  for (int i = 0; i < 8; ++i) {
    home.push_back({"user/media/clip-" + std::to_string(i), randomText(16 << 20, 5001 + i)});
  }
  PhonyVolume btrfs{{"btrfs", "fedora", ""}};
  btrfs.fstabName = "UUID";
  btrfs.subvolumes = {{"root", "/", root, "subvol=root,compress=zstd:1"},
                      {"home", "/home", home, "subvol=home,compress=zstd:1"}};
  return std::make_unique<PhonyGuest>(
      dir.path(), PhonyGuestSpec{{{"btrfs-guest.img", kImageMiB, "label: gpt\n",
                                   {{"size=256M", {{"ext4", "boot", kBootUuid}, boot, "/boot", "UUID"}},
                                    {"type=0FC63DAF-8483-4772-8E79-3D69D8477DE4", btrfs}}}}});
}

void readWhole(const std::string& path) {
  const std::vector<char> data = readFile(path);
  if (data.empty()) throw std::runtime_error("nothing read from " + path);
}

void listDirectory(const std::string& path) {
  DIR* d = opendir(path.c_str());
  if (!d) throw std::runtime_error("cannot list " + path);
  while (readdir(d)) {
  }
  closedir(d);
}

struct KqblkRun {
  double secondsToFile;
  double recalledShare;  // of the image, after list / and one 10 MiB read
};

KqblkRun runKqblk(const TempDir& dir, const DiskImage& image, bool skipFsck, const std::string& run) {
  const std::string tag = (skipFsck ? "skip-" : "fsck-") + run;
  const std::string stores = dir / ("stores-" + tag);
  const std::string mountRoot = dir / ("mnt-" + tag);
  CUxDirectory::Create(stores, false);
  CUxDirectory::Create(mountRoot, false);
  CacheManager cache(4ull << 30);  // never evicts: what it holds is what was recalled
  KqBlkDisk::setCacheManager(&cache);
  KqblkRun result{};
  {
    ExposedDisk disk(image.path(), image.sizeBytes(), stores);
    disk.expose();
    std::unique_ptr<LVMConfig> lvm(KqBlkDiskUtils::initLVMConfig(tag.c_str(), {disk.devPath}));
    KqBlkDiskUtils::setSkipFsck(skipFsck);
    std::list<kqblk_mountpoint> records;
    std::list<kqblk_vg> vgs;
    CUxError err;
    const boost::shared_ptr<KqBlkDisk> handle(disk.disk.get(), [](KqBlkDisk*) {});
    try {
      const Clock::time_point start = Clock::now();
      KqBlkDiskUtils::discoverAndMount(mountRoot, tag, {handle}, records, vgs, true, &err, *lvm);
      std::string root;
      for (const kqblk_mountpoint& r : records) {
        if (r.isRoot) root = r.mountPath;
      }
      if (err.IsError() || root.empty()) throw std::runtime_error("discoverAndMount failed");
      readWhole(root + "/etc/hostname");
      result.secondsToFile = secondsSince(start);
      listDirectory(root);
      readWhole(root + "/home/user/data.bin");
      result.recalledShare = static_cast<double>(cache.usedBytes()) / image.sizeBytes();
    } catch (...) {
      unmountBelow(mountRoot);
      throw;
    }
    unmountBelow(mountRoot);
  }
  KqBlkDisk::setCacheManager(nullptr);
  return result;
}

// Copy the image as a user would (every byte, no fsync), attach the copy,
// mount its root and read the same file.
double runCopyAndLoopMount(const TempDir& dir, const DiskImage& image, const std::string& rootOptions) {
  const std::string copy = dir / "copy.img";
  const Clock::time_point start = Clock::now();
  runTool("cp --sparse=never " + shellQuote(image.path()) + " " + shellQuote(copy));
  double seconds = 0;
  {
    LoopDevice loop(copy);
    loop.addPartitions();
    ScopedMount m(loop.partitionPath(2), dir / "copy-mnt", rootOptions);
    readWhole(m.path() + "/etc/hostname");
    seconds = secondsSince(start);
    m.unmount();
    loop.detach();
  }
  ::unlink(copy.c_str());
  return seconds;
}

}  // namespace

int run() {
  if (geteuid() != 0) {
    std::fprintf(stderr, "bench_guest_mount needs root\n");
    return 1;
  }
  runTool(std::string(KQBLK_UNIX_DRV) + " -a kqblk");
  KqBlkDisk::gTimings = KqBlkDeviceTimings{100, 1000, 3};
  TempDir dir;
  CUxDirectory::Create(dir / "cfg", false);
  KqBlkDiskUtils::setConfigDir((dir / "cfg").c_str(), false);
  DiskImage image(dir / "guest.img", kImageMiB);
  makeGuest(dir, image);
  const std::unique_ptr<PhonyGuest> btrfs = makeBtrfsGuest(dir);
  const struct {
    const char* name;
    const char* tag;
    const DiskImage& image;
    const char* rootOptions;  // to loop-mount the copy's root
  } guests[] = {{"ext4 and xfs", "ext4", image, "ro"},
                {"btrfs subvolumes", "btrfs", btrfs->disk(0), "ro,subvol=root"}};

  std::printf("%-48s %10s %12s   (medians of %d runs)\n", "case", "s to file", "recalled", kRuns);
  for (const auto& guest : guests) {
    runTool("cat " + shellQuote(guest.image.path()) + " > /dev/null");  // the source is page-cached
    std::vector<double> skip, fsck, skipShare, fsckShare, copy;
    for (int i = 0; i < kRuns; ++i) {
      const std::string run = std::string(guest.tag) + "-" + std::to_string(i);
      const KqblkRun s = runKqblk(dir, guest.image, true, run);
      const KqblkRun f = runKqblk(dir, guest.image, false, run);
      skip.push_back(s.secondsToFile);
      skipShare.push_back(s.recalledShare);
      fsck.push_back(f.secondsToFile);
      fsckShare.push_back(f.recalledShare);
      copy.push_back(runCopyAndLoopMount(dir, guest.image, guest.rootOptions));
    }
    const std::string name = guest.name;
    std::printf("%-48s %10.2f %11.2f%%   (targets < 2 s, < 2 %%)\n", (name + ", kqblk, fsck skipped").c_str(),
                median(skip), 100 * median(skipShare));
    std::printf("%-48s %10.2f %11.2f%%\n", (name + ", kqblk, fsck run").c_str(), median(fsck),
                100 * median(fsckShare));
    std::printf("%-48s %10.2f %12s\n", (name + ", copy the image, loop-mount it").c_str(), median(copy),
                "-");
  }
  KqBlkDiskUtils::setConfigDir("", false);
  return 0;
}

int main() {
  // Caught here so that every device, mount and image made so far is
  // taken down by its guard on the way out.
  try {
    return run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_guest_mount: %s\n", e.what());
    return 1;
  }
}
