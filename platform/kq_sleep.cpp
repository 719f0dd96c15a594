#include "kq_sleep.h"

#include <cerrno>
#include <ctime>

void UXSLEEP_InTeRnAl(uint32_t milliseconds, const char*, int) {
  struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
