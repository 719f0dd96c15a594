// Which process serves a device and where its stores are, kept beside the
// device while it exists: a later process tells a live request's device
// from one whose server died by it, and finds the stores a dead one left.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "kq_error.h"

namespace KqBlkOwner {
// Records this process as the server of `name`, with its store directories.
CUxError record(const std::string& name, const std::vector<std::string>& storePaths);
void forget(const std::string& name);
// The process serving `name` while it runs; 0 when there is no record or
// the recorded process has ended (a process id taken again by a later
// process does not count: the start time must match too).
pid_t liveServer(const std::string& name);
// The recorded store directories; none without a record.
std::vector<std::string> storePaths(const std::string& name);
}  // namespace KqBlkOwner
