// Paths a guest chose, resolved inside a directory tree and never out of it:
// ".." stops at the tree's top and symbolic links are followed as if the
// tree were the whole file system, the way a chroot would see them.
#pragma once

#include <string>

// An O_PATH descriptor of `path` (relative, or absolute meaning from the top)
// inside the tree open at `rootFd`; -1 with `why` set otherwise. With
// `makeDirs`, missing components are made as directories (mode 0755) inside
// the tree. The caller closes the descriptor.
int KqOpenInRoot(int rootFd, const std::string& path, bool makeDirs, std::string& why);

// A descriptor (read-only, non-blocking, close-on-exec) of the regular file
// `path` inside the tree open at `rootFd`, resolved as KqOpenInRoot does;
// -1 with `why` set otherwise. Anything but a regular file (a FIFO that
// would block, a device) is refused before it is ever opened for reading.
int KqOpenFileInRoot(int rootFd, const std::string& path, std::string& why);

// The path through which the kernel reaches an open descriptor again (to
// mount on it or reopen it without a second path walk).
std::string KqDescriptorPath(int fd);

// An O_PATH descriptor of `path` reached without following any symbolic
// link on the way (a link anywhere in it fails); -1 with `why` set otherwise.
int KqOpenWithoutLinks(const std::string& path, std::string& why);

// The path of an open descriptor as the kernel names it, free of links (for
// a child process, which cannot use this process's descriptor path); empty
// when it cannot be read.
std::string KqDescriptorTarget(int fd);
