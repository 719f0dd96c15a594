// Text helpers for tool output: trim, Tokenizer, the device-name matcher,
// regular expressions and shell quoting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex.h>

#include <algorithm>
#include <list>

#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_regex.h"
#include "kqblk_text.h"

using ::testing::ElementsAre;

TEST(Text, TrimRemovesTabsBlanksAndNewlinesOnly) {
  std::string word = "\t \n two words \t\n";
  EXPECT_EQ(trim(word), "two words");
  std::string blank = "\t \n\n ";
  EXPECT_EQ(trim(blank), "");
  std::string carriage = "word\r";
  EXPECT_EQ(trim(carriage), "word\r");
}

TEST(Text, TokenizerYieldsEachNonEmptyTokenOnce) {
  std::vector<std::string> lines;
  const std::string twoLines = "first line\nsecond";
  std::for_each(twoLines.begin(), twoLines.end(), Tokenizer(lines, '\n'));
  EXPECT_THAT(lines, ElementsAre("first line", "second"));
  EXPECT_THAT(kqblk_tokens("\nfirst line\n\n\nsecond\n", '\n'), ElementsAre("first line", "second"));
  EXPECT_THAT(kqblk_tokens("one  two  three", ' '), ElementsAre("one", "two", "three"));
  EXPECT_THAT(kqblk_tokens(std::string("a\0b", 3), ' '), ElementsAre("a", "b"));

  // Fed by hand: the pending token is appended when the last copy goes.
  std::vector<std::string> fields;
  {
    Tokenizer feed(fields, ' ');
    Tokenizer copy = feed;
    for (char c : std::string("x yz")) copy(c);
    EXPECT_THAT(fields, ElementsAre("x"));
  }
  EXPECT_THAT(fields, ElementsAre("x", "yz"));
}

TEST(Text, StrMatchTreatsDriverDirectoryAndDevAsOneDevice) {
  std::string found = "/dev/kqblk/disk1p2";
  StrMatch match(found);
  EXPECT_EQ(found, "/dev/disk1p2");  // normalised in place
  EXPECT_TRUE(match("/dev/disk1p2"));
  EXPECT_TRUE(match("/dev/kqblk/disk1p2"));
  EXPECT_FALSE(match("/dev/kqblk/disk1p22"));

  std::string plain = "/dev/sdb1";
  StrMatch other(plain);
  EXPECT_EQ(plain, "/dev/sdb1");
  EXPECT_TRUE(other("/dev/kqblk/sdb1"));
  EXPECT_FALSE(other("/dev/sdb"));
}

TEST(Text, RegExFindsTheFirstMatchAndItsPlace) {
  const KqRegEx uuid("uuid: ", REG_EXTENDED);
  const std::string line = "Label: 'uuid: x'  uuid: 6bae";
  std::string matched;
  std::pair<size_t, size_t> at;
  ASSERT_TRUE(uuid.match(line, &matched, &at));
  EXPECT_EQ(matched, "uuid: ");
  EXPECT_EQ(at, std::make_pair(size_t{8}, size_t{14}));
  EXPECT_FALSE(uuid.match("devid 1 path /dev/loop0", nullptr, nullptr));
  EXPECT_FALSE(KqRegEx("(unclosed", REG_EXTENDED).match("(unclosed", nullptr, nullptr));
}

TEST(Text, ShellQuotePassesAnyTextAsOneArgument) {
  for (const std::string text : {"", "two words", "it's", "say \"hi\"", "a;b", "$(id)", "`id`",
                                 "line\nbreak", "back\\slash", "'"}) {
    std::string out;
    std::string err;
    ASSERT_EQ(KqProcess::system("printf '%s|' " + KqShellQuote(text), &out, &err, 10, false), 0);
    EXPECT_EQ(out, text + "|");
  }
}
