// What the running kernel offers.
#pragma once

// Whether the kernel has device-mapper (built in or loaded): without it no
// device-mapper device can exist on this machine.
bool KqKernelHasDeviceMapper();
