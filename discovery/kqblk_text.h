// Text helpers for parsing tool output line by line and field by field, and
// the matcher that finds a device in a list by its device number.
#pragma once

#include <memory>
#include <string>
#include <vector>

// Removes leading and trailing tabs, blanks and newlines (not carriage
// returns); returns `s`.
std::string& trim(std::string& s);

// Fed one character at a time, collects tokens separated by `delimiter` (or
// NUL) into `tokens`; empty tokens are dropped. Copies share one pending
// token, which is appended once, when the last copy goes away, so
//   std::for_each(text.begin(), text.end(), Tokenizer(lines, '\n'));
// yields every token exactly once.
class Tokenizer {
 public:
  Tokenizer(std::vector<std::string>& tokens, char delimiter);
  void operator()(char c);

 private:
  struct Pending {
    Pending(std::vector<std::string>& into, char delim) : tokens(into), delimiter(delim) {}
    ~Pending();
    void flush();
    std::vector<std::string>& tokens;
    char delimiter;
    std::string token;
  };
  std::shared_ptr<Pending> m_pending;
};

// The tokens of `text`: lines with '\n', fields with ' '.
std::vector<std::string> kqblk_tokens(const std::string& text, char delimiter);
// The lines of tool output, each trimmed; lines left empty are dropped.
std::vector<std::string> kqblk_trimmedLines(const std::string& text);

// The text of a failed command: "Failed to run " + command + ":err:" +
// standard error + "\nout:" + standard output.
std::string kqblk_failedCmdText(const std::string& command, const std::string& err,
                                const std::string& out);

// Looks for one device in a list. An entry matches when it is the same
// text, or when both name block devices with the same device number. Names
// alone never decide: a guest disk exposed as /dev/kqblk/sda and the proxy's
// /dev/sda are different devices, and tools may print either a driver node
// or its kernel name (/dev/loopN) for the same device.
class StrMatch {
 public:
  explicit StrMatch(const std::string& name);
  bool operator()(const std::string& entry) const;

 private:
  std::string m_name;
  bool m_isBlockDevice = false;
  unsigned long m_device = 0;
};
