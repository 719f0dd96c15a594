#include "kqblk_driver_log.h"

#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kq_log.h"
#include "kq_string.h"
#include "kqblk_driver.h"

namespace {

std::atomic<int> gDebugLevel{0};
std::atomic<int64_t> gReadNs{-1};

int64_t nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The control directory's "debug": one decimal number, 0 when missing.
int readDebugLevel() {
  const std::string file = std::string(KqBlkDriverUnix::controlDirectory()) + "/debug";
  std::FILE* f = std::fopen(file.c_str(), "re");
  if (f == nullptr) return 0;
  char text[24] = {};
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  char* end = nullptr;
  const unsigned long level = std::strtoul(text, &end, 10);
  return end == text ? 0 : static_cast<int>(level > 16 ? 16 : level);
}

int debugLevel() {
  const int64_t now = nowNs();
  const int64_t last = gReadNs.load(std::memory_order_relaxed);
  if (last < 0 || now - last >= 1000000000) {
    gReadNs.store(now, std::memory_order_relaxed);
    gDebugLevel.store(readDebugLevel(), std::memory_order_relaxed);
  }
  return gDebugLevel.load(std::memory_order_relaxed);
}

}  // namespace

bool kqDriverLogWants(int level) { return level <= debugLevel() || EvDebug::wants(level); }

void kqDriverLog(const char* function, int level, const char* format, ...) {
  if (!kqDriverLogWants(level)) return;
  va_list ap;
  va_start(ap, format);
  const std::string text = FXString::FormatV(format, ap);
  va_end(ap);
  if (level <= debugLevel()) {
    EvDebug::writeDetail(level, function, text);
  } else {
    EvDebug::write(level, function, text);
  }
}
