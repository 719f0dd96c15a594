// Errors, text helpers, digests and GUIDs.

#include <cstring>

#include "kq_error.h"
#include "kq_guid.h"
#include "kq_md5.h"
#include "kq_string.h"
#include "support/test_util.h"

using ::testing::HasSubstr;

TEST(Error, FramesErrnoAndCopiesStayApart) {
  CUxError ok;
  EXPECT_FALSE(ok.IsError());
  CUxError e = FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "open %s failed", "/x");
  EXPECT_TRUE(e.IsError());
  EXPECT_EQ(e.GetErrorCode(), -ENOENT);
  EXPECT_EQ(FXErrorUtil::GetErrNo(e), ENOENT);
  CUxError copy = e;
  copy.Push(FX_HERE, "while loading");
  EXPECT_THAT(copy.AsString(), HasSubstr("while loading: open /x failed: errno 2"));
  EXPECT_THAT(copy.AsString(), HasSubstr("test_error_text.cpp:"));
  EXPECT_EQ(e.AsString().find("while loading"), std::string::npos);

  CUxError w = FXErrorUtil::ErrorWin32(FX_HERE, 3, "no base");
  EXPECT_EQ(w.GetErrorCode(), -3);
  EXPECT_EQ(FXErrorUtil::GetErrNo(w), 0);
  FXErrorUtil::PushErrNo(ok, FX_HERE, 22);
  EXPECT_TRUE(ok.IsError());
  EXPECT_EQ(FXErrorUtil::GetErrNo(ok), 22);
  ok.Success();
  EXPECT_FALSE(ok.IsError());
  EXPECT_EQ(FXErrorUtil::GetErrNo(ok), 0);
}

TEST(Text, FormatReplaceAndPaths) {
  const std::string longText(1000, 'x');
  EXPECT_EQ(FXString::Format("%s-%d", longText.c_str(), 7), longText + "-7");
  std::string s = "aXbXXc";
  EXPECT_EQ(FXString::ReplaceAll(s, "X", "XX"), 3u);
  EXPECT_EQ(s, "aXXbXXXXc");
  EXPECT_EQ(FXString::ReplaceAll(s, "", "y"), 0u);
  EXPECT_EQ(FXPath::Append("/a/", "/b"), "/a/b");
  EXPECT_EQ(FXPath::Append("/", "b"), "/b");
  EXPECT_EQ(FXPath::Append("a", "b/c"), "a/b/c");
}

TEST(Md5, KnownVectorsAndPiecewiseInput) {
  auto hex = [](const std::string& text, size_t piece) {
    CMd5 md5;
    md5.Start();
    for (size_t i = 0; i < text.size(); i += piece) {
      md5.Process(text.data() + i, std::min(piece, text.size() - i));
    }
    md5.End();
    uint8_t code[16];
    md5.GetCode(code);
    std::string out;
    for (uint8_t b : code) out += FXString::Format("%02x", b);
    return out;
  };
  EXPECT_EQ(hex("", 1), "d41d8cd98f00b204e9800998ecf8427e");
  const std::string fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(hex(fox, fox.size()), "9e107d9d372bb6826bd81d3542a419d6");
  EXPECT_EQ(hex(fox, 5), "9e107d9d372bb6826bd81d3542a419d6");
}

TEST(Guid, TextRoundTripAndRejects) {
  GUID a, b;
  GetNewGuid(&a);
  GetNewGuid(&b);
  EXPECT_NE(std::memcmp(a.data, b.data, 16), 0);
  const std::string text = FXString::AsString(a);
  EXPECT_EQ(text.size(), 36u);
  GUID back{};
  ASSERT_TRUE(FXMisc::ConvertStringToUuid(text, &back));
  EXPECT_EQ(std::memcmp(a.data, back.data, 16), 0);
  std::string upper = "{" + text + "}";
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  ASSERT_TRUE(FXMisc::ConvertStringToUuid(upper, &back));
  EXPECT_EQ(std::memcmp(a.data, back.data, 16), 0);
  EXPECT_FALSE(FXMisc::ConvertStringToUuid("not-a-guid", &back));
  EXPECT_FALSE(FXMisc::ConvertStringToUuid(text.substr(1) + "g", &back));
  EXPECT_FALSE(FXMisc::ConvertStringToUuid("{" + text, &back));
}
