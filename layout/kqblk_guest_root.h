// What makes a directory tree a Linux guest's root, and its fstab read from
// inside it: shared by the layout and the search among btrfs subvolumes.
#pragma once

#include <list>

#include "kqblk_fstab.h"

// The tree open at `topFd` holds a regular file etc/fstab and a "dev",
// both resolved inside the tree.
bool kqblk_isGuestRoot(int topFd);
// The tree's etc/fstab, or no entries when it is missing or not a regular
// file. Over the reader's limits it throws CUxError.
std::list<kqblk_fstab_entry> kqblk_readGuestFstab(int topFd);
