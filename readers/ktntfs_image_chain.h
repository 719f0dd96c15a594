// Checks an image before a qemu-nbd serves it in `format`, the format its
// caller gave: qemu-img reads the backing chain in that format (each backing
// file in the format its parent records), and every other file the chain
// draws on (backing files, VMDK extents) must be a regular file, not a
// link, in the top image's own directory or in a directory the
// configuration names ([VirtualServer] dKqBlkImageDirs). A backing file
// whose format its parent does not record is refused rather than guessed
// from its bytes, and so is an external data file. `path` is absolute.
#pragma once

#include <string>

#include "kq_error.h"

CUxError checkImageChain(const std::string& path, const std::string& format);
