// Configuration lookups.

#include "kq_config.h"
#include "support/test_util.h"

TEST(Config, LooksUpSectionsKeysAndNumbers) {
  ScopedConfig config(
      "# comment\n"
      "[Session]\n"
      "nHLXDeviceReadyTimeout = 45\r\n"
      "nBig = 0x100000005\n"
      "nNegative = -2\n"
      "nWord = ten\n"
      "; another comment\n"
      "[ base ]\n"
      "dBASEHOME =   /opt/kq home  \n"
      "sEmpty =\n");
  uint32_t u32 = 1;
  EXPECT_TRUE(KQPlatformInfo::getNumber("Session", "nHLXDeviceReadyTimeout", &u32));
  EXPECT_EQ(u32, 45u);
  EXPECT_TRUE(KQPlatformInfo::getNumber("session", "NHLXDEVICEREADYTIMEOUT", &u32));

  uint64_t u64 = 0;
  EXPECT_TRUE(KQPlatformInfo::getNumber("Session", "nBig", &u64));
  EXPECT_EQ(u64, 0x100000005ull);
  EXPECT_TRUE(KQPlatformInfo::getNumber("Session", "nBig", &u32));
  EXPECT_EQ(u32, 5u);  // the 32-bit lookup narrows
  int32_t i32 = 0;
  EXPECT_TRUE(KQPlatformInfo::getNumber("Session", "nNegative", &i32));
  EXPECT_EQ(i32, -2);

  u32 = 77;  // untouched when missing or not a number
  EXPECT_FALSE(KQPlatformInfo::getNumber("Session", "nWord", &u32));
  EXPECT_FALSE(KQPlatformInfo::getNumber("Session", "nMissing", &u32));
  EXPECT_FALSE(KQPlatformInfo::getNumber("Other", "nHLXDeviceReadyTimeout", &u32));
  EXPECT_EQ(u32, 77u);

  std::string text = "unchanged";
  EXPECT_TRUE(KQPlatformInfo::getString("Base", "dBASEHOME", &text));
  EXPECT_EQ(text, "/opt/kq home  ");
  EXPECT_TRUE(KQPlatformInfo::getStringTrim("Base", "dBASEHOME", &text));
  EXPECT_EQ(text, "/opt/kq home");
  EXPECT_EQ(KQPI_PlatformBase::getBaseHomeDirectory(), "/opt/kq home");
  EXPECT_TRUE(KQPlatformInfo::getString("Base", "sEmpty", &text));
  EXPECT_EQ(text, "");
}

TEST(Config, AKeyIsFoundOnlyInItsOwnSection) {
  ScopedConfig config("[Session]\nnInSession = 1\n[Base]\nnInBase = 2\n[Log]\n");
  uint32_t value = 0;
  EXPECT_FALSE(KQPlatformInfo::getNumber("Base", "nInSession", &value));
  EXPECT_FALSE(KQPlatformInfo::getNumber("Log", "nInSession", &value));
  EXPECT_FALSE(KQPlatformInfo::getNumber("Session", "nInBase", &value));
  EXPECT_FALSE(KQPlatformInfo::getNumber("Log", "nInBase", &value));
  EXPECT_EQ(value, 0u);
}

TEST(Config, ChangesApplyAtOnceAndAMissingFileMeansNoKeys) {
  ScopedConfig config("[Session]\nnHLXSystemCmdTimeout = 120\n");
  uint32_t value = 0;
  ASSERT_TRUE(KQPlatformInfo::getNumber("Session", "nHLXSystemCmdTimeout", &value));
  config.write("[Session]\nnHLXSystemCmdTimeout = 5\n");
  ASSERT_TRUE(KQPlatformInfo::getNumber("Session", "nHLXSystemCmdTimeout", &value));
  EXPECT_EQ(value, 5u);
  setenv("KQBLK_CONFIG", "/nonexistent/kqblk.conf", 1);
  EXPECT_FALSE(KQPlatformInfo::getNumber("Session", "nHLXSystemCmdTimeout", &value));
  EXPECT_EQ(KQPI_PlatformBase::getBaseHomeDirectory(), "");
}
