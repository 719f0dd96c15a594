// A small JSON reader for what our tools print (qemu-img's --output=json):
// the whole text is parsed into a tree, within bounds on nesting and size,
// and anything malformed is refused rather than guessed at. Strings keep
// their bytes; a "\u0000" escape makes the text malformed, since no name we
// act on may hold it.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct KqJson {
  enum Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = kNull;
  std::string text;  // a string's value, a number's digits, "true"/"false"
  std::vector<KqJson> items;                            // an array's
  std::vector<std::pair<std::string, KqJson>> members;  // an object's, in order

  // The member `key` of an object, or null when there is none (or this is
  // not an object).
  const KqJson* find(const std::string& key) const;
  // The member `key` when it is a string, else empty.
  std::string stringAt(const std::string& key) const;
};

// Parses all of `text` into `out`; false, with `why`, when it is not one
// JSON value, nests deeper than 64 levels or is longer than `maxBytes`.
bool kqParseJson(const std::string& text, size_t maxBytes, KqJson& out, std::string& why);
