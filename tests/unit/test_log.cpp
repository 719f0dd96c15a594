// Log lines: capture, verbosity, destination.


#include "kq_log.h"
#include "support/test_util.h"

using ::testing::HasSubstr;

TEST(Log, WritesLinesUpToTheConfiguredLevelAndCapturesAll) {
  TempDir dir;
  const std::string file = dir / "kqblk.log";
  ScopedConfig config("[Log]\nsKqBlkLogFile = " + file + "\nnKqBlkLogLevel = 2\n");
  EvEvent channel;
  ASSERT_TRUE(channel.initialize(2, 0x4C7C353F, 0, nullptr, ""));
  KqLogCapture capture;
  channel.Debug("KqBlkDisk::connect", "%s disk connected\n", "d0");
  channel.DebugLvl("f", 2, "level two");
  channel.DebugLvl("f", 4, "level four");
  EvDebug::Error("g", "failed %d", 5);
  EvDebug::error("bare %s", "error");

  const std::string text = fileText(file);
  EXPECT_THAT(text, HasSubstr(std::to_string(getpid()) + " "));
  EXPECT_THAT(text, HasSubstr("KqBlkDisk::connect: d0 disk connected\n"));
  EXPECT_THAT(text, HasSubstr("level two"));
  EXPECT_EQ(text.find("level four"), std::string::npos);
  EXPECT_THAT(text, HasSubstr("ERROR(-1) g: failed 5"));
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].text, "d0 disk connected");
  EXPECT_EQ(lines[0].function, "KqBlkDisk::connect");
  EXPECT_EQ(lines[2].level, 4);
  EXPECT_EQ(lines[3].level, -1);
}

TEST(Log, UnwritableLogFileFailsInitialisationButLinesStillFlow) {
  ScopedConfig config("[Log]\nsKqBlkLogFile = /nonexistent/dir/kqblk.log\n");
  EvEvent channel;
  EXPECT_FALSE(channel.initialize(2, 0x4C7C353F, 0, nullptr, ""));
  KqLogCapture capture;
  channel.Debug("f", "still here");
  EXPECT_EQ(capture.find("still here").size(), 1u);
}

TEST(Log, ChannelCallbackSeesItsLines) {
  static std::vector<std::string> seen;
  seen.clear();
  EvEvent channel;
  channel.initialize(2, 1, 0, [](int, const char* fn, const char* text) {
    seen.push_back(std::string(fn) + ":" + text);
  }, "named");
  channel.Error("h", "boom");
  EvDebug::Debug("other", "not mine");
  EXPECT_EQ(seen, (std::vector<std::string>{"h:boom"}));
}

TEST(Log, DebugBreakReturnsAtOnceWithoutMarkerAndWaitsWhileItExists) {
  TempDir dir;
  EXPECT_FALSE(EvDebug::debugBreak((dir / "marker").c_str(), nullptr, 0, 0, true));
  std::ofstream(dir / "marker") << "";
  EXPECT_TRUE(EvDebug::debugBreak((dir / "marker").c_str(), "test", 1, 50, true));
}
