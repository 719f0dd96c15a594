// The source a disk path names: an NBD URI is that export, read as raw data;
// an image file in a format other than raw is served by a private qemu-nbd;
// anything else is a raw image file or block device. The format is the
// caller's, or else the one the file name's extension names.
#pragma once

#include <memory>
#include <string>

#include "ktntfs_source.h"

// `format` as qemu names it, or empty to take it from the name.
CUxError openSource(const std::string& path, const std::string& format,
                    std::unique_ptr<Source>& out);
