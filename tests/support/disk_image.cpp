#include "support/disk_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "support/run_tool.h"

namespace {

std::runtime_error systemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

DiskImage::DiskImage(std::string path, uint64_t mebibytes)
    : m_path(std::move(path)), m_bytes(mebibytes * 1024 * 1024) {
  const int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw systemError("cannot create " + m_path);
  const int rc = ftruncate(fd, static_cast<off_t>(m_bytes));
  const int err = errno;
  close(fd);
  if (rc != 0) {
    unlink(m_path.c_str());
    errno = err;
    throw systemError("cannot size " + m_path);
  }
}

DiskImage::~DiskImage() { unlink(m_path.c_str()); }

void DiskImage::partition(const std::string& sfdiskScript) {
  // --no-reread/--no-tell-kernel: the target is a plain file.
  runTool("printf '%s' " + shellQuote(sfdiskScript) + " | sfdisk --quiet --no-reread " +
          "--no-tell-kernel --wipe always " + shellQuote(m_path));
}

void DiskImage::fillRandom(uint64_t offset, uint64_t bytes, uint64_t seed) {
  const int fd = open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw systemError("cannot open " + m_path);
  std::mt19937_64 random(seed);
  std::vector<uint64_t> block(8192);
  uint64_t done = 0;
  while (done < bytes) {
    for (uint64_t& word : block) word = random();
    const size_t chunk =
        static_cast<size_t>(std::min<uint64_t>(bytes - done, block.size() * sizeof(uint64_t)));
    if (pwrite(fd, block.data(), chunk, static_cast<off_t>(offset + done)) !=
        static_cast<ssize_t>(chunk)) {
      const int err = errno;
      close(fd);
      errno = err;
      throw systemError("cannot write " + m_path);
    }
    done += chunk;
  }
  close(fd);
  if (offset + bytes > m_bytes) m_bytes = offset + bytes;
}

void DiskImage::resize(uint64_t bytes) {
  if (truncate(m_path.c_str(), static_cast<off_t>(bytes)) != 0) {
    throw systemError("cannot resize " + m_path);
  }
  m_bytes = bytes;
}

void makeFileSystem(const std::string& target, const FileSystemSpec& fs) {
  // Each type's tool, and its options for a label and a UUID ("": none).
  struct Tool {
    const char* type;
    const char* command;
    const char* label;
    const char* uuid;
  };
  static const Tool kTools[] = {{"ext4", "mkfs.ext4 -F -q", " -L ", " -U "},
                                // -K: no discard, which on a sparse image only costs time.
                                {"xfs", "mkfs.xfs -f -q -K", " -L ", " -m uuid="},
                                {"btrfs", "mkfs.btrfs -f -q", " -L ", " -U "},
                                {"vfat", "mkfs.vfat", " -n ", " -i "},
                                {"ntfs", "mkfs.ntfs -F -Q -q", " -L ", ""},
                                {"minix", "mkfs.minix", "", ""},
                                // A LUKS volume whose key is "phony".
                                {"luks", "printf phony | cryptsetup luksFormat -q --type luks1 "
                                         "--pbkdf-force-iterations 1000 --key-file=-",
                                 "", " --uuid="}};
  for (const Tool& tool : kTools) {
    if (fs.type != tool.type) continue;
    if ((!fs.uuid.empty() && !*tool.uuid) || (!fs.label.empty() && !*tool.label)) {
      throw std::runtime_error(fs.type + " cannot set a label or UUID");
    }
    std::string command = tool.command;
    if (!fs.label.empty()) command += tool.label + shellQuote(fs.label);
    if (!fs.uuid.empty()) command += tool.uuid + shellQuote(fs.uuid);
    runTool(command + " " + shellQuote(target));
    // mkfs.ntfs draws the serial from the clock: two volumes made within a
    // second would share one.
    if (fs.type == "ntfs") {
      runTool("ntfslabel --new-serial " + shellQuote(target) +
              (fs.label.empty() ? "" : " " + shellQuote(fs.label)));
    }
    return;
  }
  throw std::runtime_error("no mkfs for file system type " + fs.type);
}
