// The mount table as the kernel shows it to this process.
#pragma once

#include <string>
#include <vector>

// One line of the mount table, its escapes (\040 for a blank, ...) decoded.
struct KqMountEntry {
  std::string source;     // mnt_fsname: the device, or a name such as proc
  std::string directory;  // mnt_dir
  std::string type;
  std::string options;
  int freq = 0;
  int passno = 0;
};

// The entries of "/proc/mounts" in table order. False, with errno set, when
// the table cannot be opened.
bool KqReadMountTable(std::vector<KqMountEntry>& entries);

// Whether something is mounted on the directory `path` (links in it are
// followed; only the answer depends on them). False when it does not exist;
// true when the table cannot be read, so that callers who confirm that a
// directory is free never take an unknown for free.
bool KqIsMountedOn(const std::string& path);
