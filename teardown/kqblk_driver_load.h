// The machine-wide lock around loading the driver.
#pragma once

#include <cstdint>

extern const char* const HLX_KQBLK_DRIVER_MUTEX_NAME;  // "HLX_KQBLK_DRIVER_MUTEX_NAME"
// How long a load waits for another process's load before it fails, naming
// the holder: a stuck or hostile holder must not block every request for
// ever. Tests shorten it.
extern uint32_t gKqblkDriverLoadWaitMs;  // 60 s
