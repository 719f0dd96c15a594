// A call that throws our KqException, as a GoogleTest matcher (the call runs
// once when it matches):
//   EXPECT_THAT([&] { disk.connect(); }, throwsKq(-1, HasSubstr("connected")));
#pragma once

#include <gmock/gmock.h>

#include <string>

#include "kq_error.h"

// Throws a KqException raised in a function whose name holds `function`,
// with status `code` and a message `message` matches (a string or a matcher).
template <class Message>
auto throwsKqIn(const std::string& function, int code, Message message) {
  using ::testing::Property;
  return ::testing::Throws<KqException>(::testing::AllOf(
      Property("getFuncName", &KqException::getFuncName, ::testing::HasSubstr(function)),
      Property("getCode", &KqException::getCode, code),
      Property("getMessage", &KqException::getMessage, message)));
}

template <class Message>
auto throwsKq(int code, Message message) {
  return throwsKqIn("", code, message);
}
