// A guest disk image with an MBR, an ext4 and an xfs partition and known
// files on each, for tests that expose it through the driver.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/disk_image.h"
#include "support/test_util.h"

struct GuestImage {
  // Builds the image at `path` (about 400 MiB, sparse).
  explicit GuestImage(const std::string& path);

  DiskImage image;
  // Files per partition number: path inside the file system -> content.
  std::map<int, std::map<std::string, std::vector<char>>> files;
};

// Mounts a device (or image) for the lifetime of the object.
class ScopedMount {
 public:
  ScopedMount(const std::string& device, const std::string& directory, const std::string& options);
  ~ScopedMount();
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  const std::string& path() const { return m_directory; }
  // Unmounts now; throws when the kernel refuses.
  void unmount();

 private:
  std::string m_directory;
  bool m_mounted = false;
};

// Makes the file system on `device` and puts `files` on it (path -> text;
// a path ending in "/" is a directory).
void fillFileSystem(const std::string& device, const FileSystemSpec& fs,
                    const std::vector<std::pair<std::string, std::string>>& files);

void writeFile(const std::string& path, const std::vector<char>& data);
