// What the kernel tells about other processes.
#pragma once

#include <sys/types.h>

// Whether `pid` is a live process of user space: false for a kernel thread
// (the kernel marks them PF_KTHREAD in /proc/PID/stat, whatever they are
// called) and when no such process can be read.
bool KqIsUserProcess(pid_t pid);
