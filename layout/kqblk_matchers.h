// Device matchers: does a guest fstab entry describe a device the library
// mounted? The Linux layout asks the matchers of kqblk_device_matchers in
// order and takes the first entry any of them accepts.
#pragma once

#include <boost/shared_ptr.hpp>
#include <list>
#include <string>
#include <vector>

#include "kqblk_fstab.h"
#include "kqblk_mountpoint.h"

class KqBlkDisk;

using kqblk_device_matcher = bool (*)(const kqblk_fstab_entry& entry,
                                      const kqblk_mountpoint& record,
                                      std::list<boost::shared_ptr<KqBlkDisk>> disks);

// The device carries the tag the entry's first field names (UUID=, LABEL=...).
bool kqblk_blkidDevMatch(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
                         std::list<boost::shared_ptr<KqBlkDisk>> disks);
// The entry names the logical volume the device is, by its guest group name
// (/dev/mapper/group-volume with dashes doubled, or /dev/group/volume).
bool kqblk_lvmDevMatch(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
                       std::list<boost::shared_ptr<KqBlkDisk>> disks);
// A guess: "/" for the root, "/boot" for a file system holding an initial
// ramdisk, and /dev/sdX or /dev/xvdX by the disk's position in `disks`.
bool kqblk_heuristicDevMatch(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record,
                             std::list<boost::shared_ptr<KqBlkDisk>> disks);

// The blkid matcher, then the LVM matcher.
extern const std::vector<kqblk_device_matcher> kqblk_device_matchers;

// Whether `folder` directly holds a non-directory whose whole name matches
// the ECMAScript regular expression `pattern`.
bool doesFileExist(std::string folder, std::string pattern);
