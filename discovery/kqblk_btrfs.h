// Btrfs duplicate-UUID handling: the machine-wide mutex that serialises the
// btrfs scans of every process on the proxy.
#pragma once

extern const char* const HLX_BTRFS_MUTEX_NAME;  // "HLX_BTRFS_MUTEX_NAME"
