// Checks an image in a format other than raw before a qemu-nbd serves it:
// `qemu-img info` must open it (a corrupt header or a missing backing file
// fails here, with qemu-img's own line), and every other file it draws on
// (backing files, VMDK extents) must be a regular file named by an
// absolute or relative path: no device, no protocol, no "json:" name, no
// external data file. A guest image is hostile input; what it names must not
// make us read anything but image files.
#pragma once

#include <string>

#include "kq_error.h"

CUxError checkImageChain(const std::string& path, const std::string& format);
