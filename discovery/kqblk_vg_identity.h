// The guest's own identity of a device, kept before discovery takes the
// device over and put back before its changes are written back, so that a
// write-back carries the guest's changes and none of ours: for an LVM
// physical volume its label sectors and metadata areas as they were (PV and
// VG UUIDs, group names, the metadata ring), for btrfs its fsid and label,
// for an md member its superblocks (array UUID and name, event counts).
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

class KqBlkDisk;

// Bytes of a device at a byte offset.
struct kqblk_raw_area {
  uint64_t offset = 0;
  std::vector<unsigned char> bytes;
};

struct kqblk_vg_identity {
  std::string device;         // the device as discovery lists it
  uint64_t deviceNumber = 0;  // put back only onto the device of this number
  // A physical volume's label sectors and metadata areas, or an md member's
  // superblock regions: put back byte for byte.
  std::vector<kqblk_raw_area> lvmAreas;
  std::string btrfsFsid;      // empty when the device holds no btrfs
  std::string btrfsLabel;
  std::string error;          // why it could not be kept; then it cannot be put back
};

// At most this many bytes are kept per device; a physical volume with
// larger metadata areas is recorded with an error.
inline constexpr uint64_t kKqblkMaxKeptIdentityBytes = 64ull << 20;

// The identity of `device` (a block device); false when it holds no LVM
// label, btrfs or md superblock (nothing to keep). A device that cannot be read,
// or whose identity cannot be kept whole, gives true with `identity.error`
// set.
bool kqblk_keepIdentity(const std::string& device, kqblk_vg_identity& identity);

// The identities on the disk's devices (its partitions, or the whole disk),
// to be taken before discovery changes any of them.
std::list<kqblk_vg_identity> kqblk_keepIdentities(const boost::shared_ptr<KqBlkDisk>& disk);

// Puts each identity back onto its device, which must not be in use (no
// mount, no active volume group): the LVM bytes at their offsets, then the
// btrfs fsid (btrfstune -U) and label where they differ. False, with `why`
// one line naming the device, at the first that cannot be put back.
bool kqblk_restoreIdentities(const std::list<kqblk_vg_identity>& identities, std::string& why);
