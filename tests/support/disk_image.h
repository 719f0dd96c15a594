// Disk images for tests: sparse files with partition tables and file
// systems made by the real tools (sfdisk, mkfs.*).
#pragma once

#include <cstdint>
#include <string>

class DiskImage {
 public:
  // A sparse file of `mebibytes` MiB at `path`, replacing any file there;
  // removed with the object. Throws std::runtime_error when it cannot.
  DiskImage(std::string path, uint64_t mebibytes);
  ~DiskImage();
  DiskImage(const DiskImage&) = delete;
  DiskImage& operator=(const DiskImage&) = delete;

  const std::string& path() const { return m_path; }
  uint64_t sizeBytes() const { return m_bytes; }
  uint64_t sectors() const { return m_bytes / 512; }

  // Writes a partition table from an sfdisk script (sfdisk(8), "Input
  // format"), e.g. "label: dos\nlabel-id: 0x1234abcd\nstart=2048, size=8192, type=83\n".
  void partition(const std::string& sfdiskScript);
  // Overwrites `bytes` bytes at `offset` with pseudo-random bytes drawn from
  // `seed`, so that a "garbage" image is the same garbage on every run.
  void fillRandom(uint64_t offset, uint64_t bytes, uint64_t seed);
  // Changes the file's size (a shrink cuts partitions off the end).
  void resize(uint64_t bytes);

 private:
  std::string m_path;
  uint64_t m_bytes;
};

struct FileSystemSpec {
  std::string type;   // ext4, xfs, btrfs, vfat, ntfs, minix; luks: a LUKS1 header, key "phony"
  std::string label;  // empty: none
  std::string uuid;   // empty: the tool's own; vfat takes 8 hex digits; not for ntfs
};

// Makes a file system on a device node or an image file.
void makeFileSystem(const std::string& target, const FileSystemSpec& fs);
