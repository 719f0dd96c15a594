// Logging. One line per call: time, pid, thread id, level, the caller's
// function name and the text. Lines go to the file named by sKqBlkLogFile in
// section "Log" (standard error when unset or when it cannot be opened); a line
// is written when its level is at most nKqBlkLogLevel (default 1). Levels: 0
// always, 1 the plain Debug calls, 2 to 4 more verbose, -1 failures.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class EvDebug {
 public:
  static void Debug(const char* function, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  static void DebugLvl(const char* function, int level, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void Error(const char* function, const char* format, ...)
      __attribute__((format(printf, 2, 3)));
  static void error(const char* format, ...) __attribute__((format(printf, 1, 2)));

  // A pause point for debugging: returns at once unless the marker file
  // exists as a regular file (not a link) of root or of this process's user;
  // then waits until it is removed, polling every pollMs (default 500)
  // for at most maxWaitSeconds (default 600). Returns true when it waited.
  static bool debugBreak(const char* markerPath, const char* reason, uint32_t maxWaitSeconds,
                         uint32_t pollMs, bool logIt);

  // Writes one line (used by the variadic forms and by log channels).
  static void write(int level, const char* function, const std::string& text);
  // Writes one line whatever the verbosity: for a component whose own
  // setting asks for more detail than the log's (the driver's debug level).
  static void writeDetail(int level, const char* function, const std::string& text);
  // Whether a line of this level would go anywhere: lets callers skip the
  // formatting of lines nobody reads (hot paths log at level 4).
  static bool wants(int level);
};

typedef void (*EvEventCallback)(int level, const char* function, const char* text);

// A log channel. Writes like EvDebug; a channel given a callback also hands
// each of its lines to it.
class EvEvent : public EvDebug {
 public:
  // Opens the log destination; false when the configured log file cannot be
  // written (lines then go to standard error).
  bool initialize(int level, uint32_t eventId, uint32_t flags, EvEventCallback callback,
                  const char* name);

  void Debug(const char* function, const char* format, ...) const
      __attribute__((format(printf, 3, 4)));
  void DebugLvl(const char* function, int level, const char* format, ...) const
      __attribute__((format(printf, 4, 5)));
  void Error(const char* function, const char* format, ...) const
      __attribute__((format(printf, 3, 4)));

 private:
  void emit(int level, const char* function, const std::string& text) const;
  EvEventCallback m_callback = nullptr;
};

struct KqLogLine {
  int level;
  std::string function;
  std::string text;
};

// Collects every line written while it exists, whatever the verbosity.
class KqLogCapture {
 public:
  KqLogCapture();
  ~KqLogCapture();
  KqLogCapture(const KqLogCapture&) = delete;
  KqLogCapture& operator=(const KqLogCapture&) = delete;

  std::vector<KqLogLine> lines() const;
  // Lines whose text contains `needle`.
  std::vector<KqLogLine> find(const std::string& needle) const;
  void add(const KqLogLine& line);

 private:
  mutable std::mutex m_mutex;
  std::vector<KqLogLine> m_lines;
};
