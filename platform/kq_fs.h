// Directories: creation, removal, listing, and directories only root controls.
#pragma once

#include <sys/types.h>

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

// Opens the directory `path` (a relative one from the working directory)
// one component at a time from "/", never through a symbolic link; with
// `make`, missing components are made with `mode` whatever the umask, and
// `made` (when given) says whether the last one was. Every component must be
// owned by root (or by this process's user) and writable by no one else:
// whoever can write one can swap what lies below it. A root-owned sticky
// directory such as /tmp is passed through when it is not the last
// component, since no other user can replace an entry of ours in it.
// Returns the directory's descriptor (O_DIRECTORY, close-on-exec), or -1
// with `why` one line naming the component at fault.
int KqOpenTrustedDir(const std::string& path, bool make, mode_t mode, std::string& why,
                     bool* made = nullptr);

// A marker file that may change what we do (a debug pause): honoured only
// when it is a regular file, not a link, owned by root or this process's user.
bool KqIsTrustedMarker(const std::string& path);
