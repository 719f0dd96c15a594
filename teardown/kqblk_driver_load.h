// The machine-wide lock around loading the driver.
#pragma once

extern const char* const HLX_KQBLK_DRIVER_MUTEX_NAME;  // "HLX_KQBLK_DRIVER_MUTEX_NAME"
