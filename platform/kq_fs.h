// Directories: creation, removal and listing.
#pragma once

#include <memory>
#include <string>

#include "kq_error.h"

namespace CUxDirectory {
// Makes the directory (mode 0755); with `recursive` also its missing parents.
// An existing directory is success.
CUxError Create(const std::string& path, bool recursive);
// Removes the directory; with `recursive` first everything below it. Never
// follows symbolic links and never crosses into another mounted file system
// (such a directory stays and the removal fails). With contentsOnly the
// directory itself stays. A missing directory is success.
CUxError Remove(const std::string& path, bool recursive, bool contentsOnly);
}  // namespace CUxDirectory

// One directory entry of a listing.
struct KQFindData {
  std::string name;
  bool isDirectory = false;
};

struct KQFindState;
typedef std::shared_ptr<KQFindState> KQFindHandle;

// Lists the entries of a directory, "." and ".." left out. KQFindFirstFile
// returns null (errno set) when the directory cannot be read or is empty;
// KQFindNextFile returns false after the last entry.
KQFindHandle KQFindFirstFile(const std::string& directory, KQFindData* data);
bool KQFindNextFile(const KQFindHandle& handle, KQFindData* data);
