// The processes that hold files of a file system, and killing one of them
// through a pidfd, so that a process id that was reused meanwhile is never
// hit.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

// Whether process `pid` has anything whose device number (st_dev) is one of
// `devices`: an open descriptor, its working or root directory, its program
// or a mapped file. Descriptors in `ignoredFds` are left out when `pid` is
// this process (the caller's own pins).
bool KqProcessHolds(pid_t pid, const std::vector<dev_t>& devices,
                    const std::vector<int>& ignoredFds = {});

// Every other process that holds one of `devices`, in /proc order.
std::vector<pid_t> KqProcessesHolding(const std::vector<dev_t>& devices);

// Kills `pid` with SIGKILL, through a pidfd opened before it is looked at,
// when it is a process of user space other than this one and init and
// still holds one of `devices`; then waits up to waitMs for it to end.
// 0 when killed; ESRCH when it had gone or holds none of them any more;
// EPERM for this process, init or a kernel thread; else the failure's errno.
// Kernels without pidfd (ENOSYS) get a plain kill.
int KqKillHolder(pid_t pid, const std::vector<dev_t>& devices, uint32_t waitMs);
