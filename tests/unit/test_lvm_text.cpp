// Text helpers for tool output: trim, Tokenizer and the device-name matcher.
// (Shell quoting is proved where hostile names reach the tools.)

#include "kqblk_text.h"
#include "support/test_util.h"

using ::testing::ElementsAre;

TEST(Text, TrimRemovesTabsBlanksAndNewlinesOnly) {
  std::string word = "\t \n two words \t\n";
  EXPECT_EQ(trim(word), "two words");
  std::string blank = "\t \n\n ";
  EXPECT_EQ(trim(blank), "");
  std::string carriage = "word\r";
  EXPECT_EQ(trim(carriage), "word\r");
}

// The last token has no delimiter after it: the copies std::for_each makes
// of the Tokenizer must append it exactly once.
TEST(Text, TokenizerYieldsEachNonEmptyTokenOnce) {
  EXPECT_THAT(kqblk_tokens("\nfirst line\n\n\nsecond\n", '\n'), ElementsAre("first line", "second"));
  EXPECT_THAT(kqblk_tokens("one  two  three", ' '), ElementsAre("one", "two", "three"));
  EXPECT_THAT(kqblk_tokens(std::string("a\0b", 3), ' '), ElementsAre("a", "b"));
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
