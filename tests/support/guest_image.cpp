#include "support/guest_image.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "support/loop_device.h"
#include "support/run_tool.h"
#include "support/temp_dir.h"

namespace {
const uint64_t kImageMiB = 400;
// xfs wants at least 300 MiB.
const char kTable[] =
    "label: dos\n"
    "label-id: 0x7e57d15c\n"
    "start=2048, size=163840, type=83\n"
    "start=165888, size=647168, type=83\n";
}  // namespace

void fillFileSystem(const std::string& device, const FileSystemSpec& fs,
                    const std::vector<std::pair<std::string, std::string>>& files) {
  makeFileSystem(device, fs);
  TempDir mnt;
  ScopedMount mounted(device, mnt.path(), "rw");
  for (const auto& file : files) {
    const std::string path = mnt / file.first;
    runTool("mkdir -p " + shellQuote(path.substr(0, path.rfind('/'))));
    if (file.first.back() != '/') std::ofstream(path) << file.second;
  }
  mounted.unmount();
}

void writeFile(const std::string& path, const std::vector<char>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

ScopedMount::ScopedMount(const std::string& device, const std::string& directory,
                         const std::string& options)
    : m_directory(directory) {
  mkdir(directory.c_str(), 0755);
  runTool("mount -o " + shellQuote(options) + " " + shellQuote(device) + " " +
          shellQuote(directory));
  m_mounted = true;
}

ScopedMount::~ScopedMount() {
  if (m_mounted && umount2(m_directory.c_str(), 0) != 0) {
    umount2(m_directory.c_str(), MNT_DETACH);  // never leave a mount behind
  }
  rmdir(m_directory.c_str());
}

void ScopedMount::unmount() {
  if (!m_mounted) return;
  if (umount2(m_directory.c_str(), 0) != 0) {
    throw std::runtime_error("umount " + m_directory + ": " + std::strerror(errno));
  }
  m_mounted = false;
}

GuestImage::GuestImage(const std::string& path) : image(path, kImageMiB) {
  image.partition(kTable);
  files[1] = {{"etc/hostname", {'g', 'u', 'e', 's', 't', '\n'}},
              {"big.bin", randomBytes(3 << 20, 1)},
              {"small.bin", randomBytes(5000, 2)}};
  files[2] = {{"docs/readme.txt", {'x', 'f', 's', '\n'}}, {"big.bin", randomBytes(2 << 20, 3)}};
  LoopDevice loop(path);
  loop.addPartitions();
  makeFileSystem(loop.partitionPath(1), {"ext4", "guestroot", ""});
  makeFileSystem(loop.partitionPath(2), {"xfs", "data", ""});
  for (const auto& part : files) {
    const std::string dir = path + ".mnt" + std::to_string(part.first);
    ScopedMount mount(loop.partitionPath(part.first), dir, "rw");
    for (const auto& file : part.second) {
      const std::string target = dir + "/" + file.first;
      const size_t slash = target.rfind('/');
      runTool("mkdir -p " + shellQuote(target.substr(0, slash)));
      writeFile(target, file.second);
    }
    mount.unmount();
  }
}
