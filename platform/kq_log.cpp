#include "kq_log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <thread>

#include "kq_config.h"
#include "kq_fs.h"
#include "kq_string.h"

namespace {

const int kDefaultVerbosity = 1;

// Read without the sink's mutex by EvDebug::wants.
std::atomic<int> gVerbosity{kDefaultVerbosity};
std::atomic<int> gCaptures{0};
std::atomic<int64_t> gRefreshedNs{0};
std::atomic<bool> gLoaded{false};

// The coarse clock (a few milliseconds fine) is enough for a once-a-second
// refresh and costs a fraction of the precise one: every log call asks it.
int64_t nowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct LogSink {
  std::mutex mutex;
  FILE* file = nullptr;
  std::string filePath;
  bool loaded = false;
  std::vector<KqLogCapture*> captures;
};

LogSink& sink() {
  static LogSink* s = new LogSink();  // never destroyed: logging works during exit
  return *s;
}

// Re-reads the log settings at most once a second: lines are frequent, and a
// configuration change still takes effect promptly. Call with the mutex held.
void refreshSettings(LogSink& s) {
  const int64_t now = nowNs();
  if (s.loaded && now - gRefreshedNs.load(std::memory_order_relaxed) < 1000000000) return;
  s.loaded = true;
  gRefreshedNs.store(now, std::memory_order_relaxed);
  gLoaded.store(true, std::memory_order_relaxed);
  int32_t level = kDefaultVerbosity;
  KQPlatformInfo::getNumber("Log", "nKqBlkLogLevel", &level);
  gVerbosity.store(level, std::memory_order_relaxed);
  std::string path;
  KQPlatformInfo::getStringTrim("Log", "sKqBlkLogFile", &path);
  if (path == s.filePath && (s.file || path.empty())) return;
  if (s.file) std::fclose(s.file);
  s.file = nullptr;
  s.filePath = path;
  if (!path.empty()) s.file = std::fopen(path.c_str(), "ae");
}

std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return FXString::Format("%s.%03d", buf, static_cast<int>(ms));
}

std::string withoutTrailingNewlines(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

namespace {

void writeLine(int level, const char* function, const std::string& rawText, bool always) {
  const std::string text = withoutTrailingNewlines(rawText);
  const char* fn = function ? function : "";
  LogSink& s = sink();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (KqLogCapture* c : s.captures) c->add({level, fn, text});
  refreshSettings(s);
  if (!always && level >= 0 && level > gVerbosity.load(std::memory_order_relaxed)) return;
  const char* levelName = level < 0 ? "ERROR" : "DEBUG";
  FILE* out = s.file ? s.file : stderr;
  std::fprintf(out, "%s %d %ld %s(%d) %s: %s\n", timestamp().c_str(), static_cast<int>(getpid()),
               static_cast<long>(syscall(SYS_gettid)), levelName, level, fn, text.c_str());
  std::fflush(out);
}

}  // namespace

void EvDebug::write(int level, const char* function, const std::string& text) {
  writeLine(level, function, text, false);
}

void EvDebug::writeDetail(int level, const char* function, const std::string& text) {
  writeLine(level, function, text, true);
}

bool EvDebug::wants(int level) {
  if (level < 0 || gCaptures.load(std::memory_order_relaxed) > 0) return true;
  if (!gLoaded.load(std::memory_order_relaxed) ||
      nowNs() - gRefreshedNs.load(std::memory_order_relaxed) >= 1000000000) {
    LogSink& s = sink();
    std::lock_guard<std::mutex> lock(s.mutex);
    refreshSettings(s);
  }
  return level <= gVerbosity.load(std::memory_order_relaxed);
}

#define KQ_FORMAT_ARGS(fmt, out) \
  va_list ap;                    \
  va_start(ap, fmt);             \
  std::string out = FXString::FormatV(fmt, ap); \
  va_end(ap)

void EvDebug::Debug(const char* function, const char* format, ...) {
  if (!wants(1)) return;
  KQ_FORMAT_ARGS(format, text);
  write(1, function, text);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
  if (!wants(level)) return;
  KQ_FORMAT_ARGS(format, text);
  write(level, function, text);
}

void EvDebug::Error(const char* function, const char* format, ...) {
  KQ_FORMAT_ARGS(format, text);
  write(-1, function, text);
}

void EvDebug::error(const char* format, ...) {
  KQ_FORMAT_ARGS(format, text);
  write(-1, "", text);
}

bool EvDebug::debugBreak(const char* markerPath, const char* reason, uint32_t maxWaitSeconds,
                         uint32_t pollMs, bool logIt) {
  // Any user can make a file in /tmp: only root's own (or this process
  // user's) regular file pauses us, never a link or another user's file.
  if (markerPath == nullptr || !KqIsTrustedMarker(markerPath)) return false;
  if (maxWaitSeconds == 0) maxWaitSeconds = 600;
  if (pollMs == 0) pollMs = 500;
  if (logIt) {
    write(0, "EvDebug::debugBreak",
          FXString::Format("Paused at [%s] until [%s] is removed", reason ? reason : "",
                           markerPath));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxWaitSeconds);
  while (KqIsTrustedMarker(markerPath) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return true;
}

bool EvEvent::initialize(int, uint32_t, uint32_t, EvEventCallback callback, const char*) {
  m_callback = callback;
  LogSink& s = sink();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.loaded = false;  // a new channel sees the current settings
  refreshSettings(s);
  return s.filePath.empty() || s.file != nullptr;
}

void EvEvent::emit(int level, const char* function, const std::string& text) const {
  EvDebug::write(level, function, text);
  if (m_callback) m_callback(level, function, text.c_str());
}

void EvEvent::Debug(const char* function, const char* format, ...) const {
  if (!m_callback && !wants(1)) return;
  KQ_FORMAT_ARGS(format, text);
  emit(1, function, text);
}

void EvEvent::DebugLvl(const char* function, int level, const char* format, ...) const {
  if (!m_callback && !wants(level)) return;
  KQ_FORMAT_ARGS(format, text);
  emit(level, function, text);
}

void EvEvent::Error(const char* function, const char* format, ...) const {
  KQ_FORMAT_ARGS(format, text);
  emit(-1, function, text);
}

KqLogCapture::KqLogCapture() {
  LogSink& s = sink();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.captures.push_back(this);
  gCaptures.fetch_add(1);
}

KqLogCapture::~KqLogCapture() {
  LogSink& s = sink();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.captures.erase(std::remove(s.captures.begin(), s.captures.end(), this), s.captures.end());
  gCaptures.fetch_sub(1);
}

void KqLogCapture::add(const KqLogLine& line) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_lines.push_back(line);
}

std::vector<KqLogLine> KqLogCapture::lines() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_lines;
}

std::vector<KqLogLine> KqLogCapture::find(const std::string& needle) const {
  std::vector<KqLogLine> out;
  for (const KqLogLine& l : lines()) {
    if (l.text.find(needle) != std::string::npos) out.push_back(l);
  }
  return out;
}
