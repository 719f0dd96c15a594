#include "kq_json.h"

#include <cstring>

namespace {

const int kMaxDepth = 64;

class Parser {
 public:
  explicit Parser(const std::string& text) : m_text(text) {}

  bool document(KqJson& out, std::string& why) {
    if (!value(out, 0)) {
      why = m_why + " at byte " + std::to_string(m_at);
      return false;
    }
    skipBlanks();
    if (m_at != m_text.size()) {
      why = "text after the JSON value at byte " + std::to_string(m_at);
      return false;
    }
    return true;
  }

 private:
  bool fail(const char* why) {
    m_why = why;
    return false;
  }
  void skipBlanks() {
    while (m_at < m_text.size() && std::strchr(" \t\r\n", m_text[m_at]) && m_text[m_at]) ++m_at;
  }
  bool take(char c) {
    skipBlanks();
    if (m_at < m_text.size() && m_text[m_at] == c) {
      ++m_at;
      return true;
    }
    return false;
  }
  bool word(const char* w) {
    const size_t n = std::strlen(w);
    if (m_text.compare(m_at, n, w) != 0) return false;
    m_at += n;
    return true;
  }

  bool value(KqJson& out, int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    skipBlanks();
    if (m_at >= m_text.size()) return fail("unexpected end");
    const char c = m_text[m_at];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') {
      out.type = KqJson::kString;
      return string(out.text);
    }
    if (word("true") || word("false")) {
      out.type = KqJson::kBool;
      out.text = c == 't' ? "true" : "false";
      return true;
    }
    if (word("null")) {
      out.type = KqJson::kNull;
      return true;
    }
    return number(out);
  }

  bool object(KqJson& out, int depth) {
    out.type = KqJson::kObject;
    ++m_at;
    if (take('}')) return true;
    do {
      skipBlanks();
      std::pair<std::string, KqJson> member;
      if (m_at >= m_text.size() || m_text[m_at] != '"') return fail("expected a member name");
      if (!string(member.first)) return false;
      if (!take(':')) return fail("expected ':'");
      if (!value(member.second, depth + 1)) return false;
      out.members.push_back(std::move(member));
    } while (take(','));
    return take('}') || fail("expected ',' or '}'");
  }

  bool array(KqJson& out, int depth) {
    out.type = KqJson::kArray;
    ++m_at;
    if (take(']')) return true;
    do {
      out.items.emplace_back();
      if (!value(out.items.back(), depth + 1)) return false;
    } while (take(','));
    return take(']') || fail("expected ',' or ']'");
  }

  bool number(KqJson& out) {
    const size_t start = m_at;
    while (m_at < m_text.size() && std::strchr("+-.0123456789eE", m_text[m_at]) && m_text[m_at]) {
      ++m_at;
    }
    if (m_at == start) return fail("unexpected character");
    out.type = KqJson::kNumber;
    out.text = m_text.substr(start, m_at - start);
    return true;
  }

  bool hex4(unsigned& code) {
    if (m_at + 4 > m_text.size()) return fail("short \\u escape");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = m_text[m_at++];
      const char* digits = "0123456789abcdef";
      const char* d = h ? std::strchr(digits, h | 0x20) : nullptr;
      if (!d) return fail("bad \\u escape");
      code = code * 16 + static_cast<unsigned>(d - digits);
    }
    return true;
  }

  static void utf8(unsigned code, std::string& out) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xc0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xe0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    }
  }

  bool string(std::string& out) {
    ++m_at;  // the opening quote
    for (;;) {
      if (m_at >= m_text.size()) return fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(m_text[m_at++]);
      if (c == '"') return true;
      if (c < 0x20) return fail("control character in a string");
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (m_at >= m_text.size()) return fail("unterminated string");
      const char e = m_text[m_at++];
      const char* plain = std::strchr("\"\\/", e);
      if (plain && e) {
        out += e;
      } else if (e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
        out += e == 'b' ? '\b' : e == 'f' ? '\f' : e == 'n' ? '\n' : e == 'r' ? '\r' : '\t';
      } else if (e == 'u') {
        unsigned code = 0;
        if (!hex4(code)) return false;
        if (code >= 0xd800 && code < 0xdc00) {
          unsigned low = 0;
          if (!word("\\u") || !hex4(low) || low < 0xdc00 || low >= 0xe000) {
            return fail("unpaired surrogate");
          }
          code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        } else if (code >= 0xdc00 && code < 0xe000) {
          return fail("unpaired surrogate");
        }
        if (code == 0) return fail("NUL in a string");
        utf8(code, out);
      } else {
        return fail("bad escape");
      }
    }
  }

  const std::string& m_text;
  size_t m_at = 0;
  std::string m_why;
};

}  // namespace

const KqJson* KqJson::find(const std::string& key) const {
  for (const auto& member : members) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

std::string KqJson::stringAt(const std::string& key) const {
  const KqJson* v = find(key);
  return v && v->type == kString ? v->text : std::string();
}

bool kqParseJson(const std::string& text, size_t maxBytes, KqJson& out, std::string& why) {
  out = KqJson();
  if (text.size() > maxBytes) {
    why = "longer than " + std::to_string(maxBytes) + " bytes";
    return false;
  }
  return Parser(text).document(out, why);
}
