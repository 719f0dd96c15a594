// What md assembly and LUKS opening share: the device's tags, its number,
// and the array or mapping the kernel built on it.
#pragma once

#include <sys/types.h>

#include <string>

// The blkid tag `name` of `device`; empty when the device cannot be probed.
std::string kqblk_deviceTag(const std::string& device, const char* name);
// The device number of the block node `device`; 0 when it is none.
dev_t kqblk_deviceNumber(const std::string& device);
// The node of the md array (md) or device-mapper device (!md) that holds
// `device` up; empty when none does.
std::string kqblk_holderNode(const std::string& device, bool md);
