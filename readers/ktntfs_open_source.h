// The source a disk path names: an NBD URI is that export, an image file in
// a format other than raw is served by a private qemu-nbd, anything else is
// a raw image file or block device.
#pragma once

#include <memory>
#include <string>

#include "ktntfs_source.h"

CUxError openSource(const std::string& path, std::unique_ptr<Source>& out);
