// Text helpers for tool output: trim, Tokenizer, the device-name matcher,
// regular expressions and shell quoting.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <unistd.h>

#include <algorithm>
#include <list>

#include "kq_process.h"
#include "kq_shell.h"
#include "kqblk_regex.h"
#include "kqblk_text.h"
#include "support/temp_dir.h"

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

// A guest disk named like a host device is not that device; two names of
// one block device are.
TEST(Text, StrMatchDecidesByTextOrDeviceNumberNeverByName) {
  StrMatch match("/dev/kqblk/sdb1");
  EXPECT_TRUE(match("/dev/kqblk/sdb1"));
  EXPECT_FALSE(match("/dev/sdb1"));
  EXPECT_FALSE(match("/dev/kqblk/sdb11"));
  EXPECT_FALSE(StrMatch("/dev/sdb1")("/dev/kqblk/sdb1"));

  TempDir dir;
  const std::string link = dir / "link";
  ASSERT_EQ(symlink("/dev/null", (dir / "chr").c_str()), 0);
  EXPECT_FALSE(StrMatch("/dev/null")(dir / "chr"));  // only block devices share by number
  if (symlink("/dev/loop0", link.c_str()) != 0 || access("/dev/loop0", F_OK) != 0) {
    GTEST_SKIP() << "no /dev/loop0 to link to";
  }
  EXPECT_TRUE(StrMatch("/dev/loop0")(link));
  EXPECT_TRUE(StrMatch(link)("/dev/loop0"));
  EXPECT_FALSE(StrMatch(link)("/dev/loop1"));
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
