#include "kqblk_text.h"

#include <sys/stat.h>

#include <algorithm>

namespace {

const char kTrimSet[] = "\t \n";

}  // namespace

std::string& trim(std::string& s) {
  const size_t first = s.find_first_not_of(kTrimSet);
  if (first != 0) s.erase(0, first);  // npos: nothing but set characters
  const size_t last = s.find_last_not_of(kTrimSet);
  if (last != std::string::npos) s.erase(last + 1);
  return s;
}

Tokenizer::Tokenizer(std::vector<std::string>& tokens, char delimiter)
    : m_pending(std::make_shared<Pending>(tokens, delimiter)) {}

void Tokenizer::operator()(char c) {
  if (c == m_pending->delimiter || c == '\0') {
    m_pending->flush();
  } else {
    m_pending->token += c;
  }
}

Tokenizer::Pending::~Pending() { flush(); }

void Tokenizer::Pending::flush() {
  if (token.empty()) return;
  tokens.push_back(token);
  token.clear();
}

std::vector<std::string> kqblk_tokens(const std::string& text, char delimiter) {
  std::vector<std::string> tokens;
  std::for_each(text.begin(), text.end(), Tokenizer(tokens, delimiter));
  return tokens;
}

std::vector<std::string> kqblk_trimmedLines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::string& line : kqblk_tokens(text, '\n')) {
    if (!trim(line).empty()) lines.push_back(line);
  }
  return lines;
}

std::string kqblk_failedCmdText(const std::string& command, const std::string& err,
                                const std::string& out) {
  return "Failed to run " + command + ":err:" + err + "\nout:" + out;
}

namespace {

bool blockDevice(const std::string& path, unsigned long& device) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  device = st.st_rdev;
  return true;
}

}  // namespace

StrMatch::StrMatch(const std::string& name) : m_name(name) {
  m_isBlockDevice = blockDevice(m_name, m_device);
}

bool StrMatch::operator()(const std::string& entry) const {
  if (entry == m_name) return true;
  unsigned long device = 0;
  return m_isBlockDevice && blockDevice(entry, device) && device == m_device;
}
