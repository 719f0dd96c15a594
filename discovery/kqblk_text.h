// Text helpers for parsing tool output line by line and field by field, and
// the matcher that treats a device under /dev/kqblk/ and the same name
// directly under /dev/ as one device.
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

// Looks for one device name in a list. Building it normalises the bound name
// in place: a name holding "/dev/kqblk/" has its first 11 characters replaced
// by "/dev/". An entry matches when it equals that name, or when its own
// normalised form does.
class StrMatch {
 public:
  explicit StrMatch(std::string& name);
  bool operator()(const std::string& entry) const;

  // The normalised form of `name` (what the constructor does in place).
  static std::string normalise(const std::string& name);

 private:
  std::string& m_name;
};
