// Guests whose file systems are btrfs subvolumes (Fedora's root and home,
// Ubuntu's @ and @home, openSUSE's snapshots): the root found among the
// subvolumes, and each subvolume the guest's fstab names mounted on its own.
#pragma once

#include <boost/shared_ptr.hpp>
#include <list>

#include "kqblk_fstab.h"
#include "kqblk_mountpoint.h"

class KqBlkDisk;

// When no mounted file system is a guest's root, looks through the
// subvolumes of each mounted btrfs for one whose own fstab mounts it on "/",
// and mounts that subvolume on the record's directory in place of what the
// device showed.
void kqblk_mountRootSubvolume(std::list<kqblk_mountpoint>& mountPoints);

// Mounts each subvolume that an fstab entry names (subvol= or subvolid=)
// and no record holds yet: on a record that shows a btrfs's top level
// nobody mounts, else on a record of its own appended to the list. Then
// gives every btrfs record the subvolume it holds.
void kqblk_mountFstabSubvolumes(std::list<kqblk_mountpoint>& mountPoints,
                                const std::list<kqblk_fstab_entry>& fstab,
                                const std::list<boost::shared_ptr<KqBlkDisk>>& disks);

// Whether the entry's choice of subvolume (none: the default one) is the
// one the record holds; true for a record that is no btrfs.
bool kqblk_subvolumeAgrees(const kqblk_fstab_entry& entry, const kqblk_mountpoint& record);

// A btrfs record holding another subvolume than the default: only an fstab
// entry naming it may place it in the tree.
bool kqblk_holdsChosenSubvolume(const kqblk_mountpoint& record);
