// Where a record's bind mount really sits. The bind path is the guest root's
// mount path followed by the guest's own path, and the guest tree may hold
// links there (/home -> /etc, -> ../../..) that the host would follow out of
// the root onto its own directories.
#pragma once

#include "kqblk_mountpoint.h"

// The record's bind path pinned: an O_PATH descriptor of its guestPath
// resolved inside the guest root as the layout resolved it when it
// bind-mounted there, or, for a bind path that does not end with its
// guestPath, of the bind path itself provided no link lies on it. -1
// (logged under `function`) when there is no bind path or it cannot be
// resolved safely. The caller closes it.
int kqblk_bindTarget(const kqblk_mountpoint& record, const char* function);
