// Sleeping, with the caller's place for debugging.
#pragma once

#include <cstdint>

void UXSLEEP_InTeRnAl(uint32_t milliseconds, const char* file, int line);

#define UXSLEEP(ms) UXSLEEP_InTeRnAl((ms), __FILE__, __LINE__)
