// Where the driver engine keeps its things, and which device names it takes.
#pragma once

#include <string>

namespace KqBlkPaths {
// The control directory: its presence means the driver is loaded.
extern const char* const kControlDir;  // /run/kqblk
// One private FUSE mount per device below it.
extern const char* const kDeviceRunDir;  // /run/kqblk/dev
// Device nodes: NAME for the disk, NAMEpN for its partitions.
extern const char* const kNodeDir;  // /dev/kqblk
extern const char* const kFuseControlDir;  // /sys/fs/fuse/connections
// Who serves each device and where its stores are.
extern const char* const kOwnerDir;  // /run/kqblk/owner

// Names come from callers and guests and become path components: 1 to
// kMaxNameLength bytes, no "/", no control characters, not "." or "..".
// False with the reason otherwise.
const size_t kMaxNameLength = 200;
bool validName(const std::string& name, std::string& why);

std::string mountDir(const std::string& name);     // /run/kqblk/dev/NAME
std::string backingFile(const std::string& name);  // /run/kqblk/dev/NAME/disk
std::string node(const std::string& name);         // /dev/kqblk/NAME
std::string partitionNode(const std::string& name, int number);  // /dev/kqblk/NAMEpN
std::string ownerFile(const std::string& name);    // /run/kqblk/owner/NAME

// The device name when `path` is the backing file of a driver device.
bool nameOfBackingFile(const std::string& path, std::string& name);
}  // namespace KqBlkPaths
