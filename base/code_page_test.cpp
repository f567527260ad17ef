// windows-1252 conversion and UTF-8 sequences.
#include <gtest/gtest.h>

#include "base/code_page.h"

namespace quillon {
namespace {

TEST(CodePage, Windows1252HighRangeUsesTheRealTable) {
  EXPECT_EQ(Cp1252ToUnicode(0x41), u'A');
  EXPECT_EQ(Cp1252ToUnicode(0x80), 0x20AC);  // euro sign
  EXPECT_EQ(Cp1252ToUnicode(0x92), 0x2019);  // right single quote
  EXPECT_EQ(Cp1252ToUnicode(0x9F), 0x0178);
  EXPECT_EQ(Cp1252ToUnicode(0x81), 0x0081);  // undefined: kept as C1 control
  EXPECT_EQ(Cp1252ToUnicode(0xE9), 0x00E9);
  // Every byte survives the round trip.
  for (int b = 0; b < 256; ++b) EXPECT_EQ(UnicodeToCp1252(Cp1252ToUnicode(static_cast<uint8_t>(b))), b);
  EXPECT_EQ(UnicodeToCp1252(0x0080), -1);  // the C1 control 0x80 is not in the code page
  EXPECT_EQ(UnicodeToCp1252(0x4E2D), -1);
}

TEST(CodePage, Utf8SequencesOfEveryLength) {
  std::string s;
  AppendUtf8(s, 0x41);
  AppendUtf8(s, 0xE9);
  AppendUtf8(s, 0x20AC);
  AppendUtf8(s, 0x1F600);
  AppendUtf8(s, 0x110000);  // not a code point: nothing
  EXPECT_EQ(s, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(CodePage, DecodesUtf8AndRefusesMalformedSequences) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  size_t pos = 0;
  EXPECT_EQ(NextUtf8CodePoint(text, &pos), 0x41);
  EXPECT_EQ(NextUtf8CodePoint(text, &pos), 0xE9);
  EXPECT_EQ(NextUtf8CodePoint(text, &pos), 0x20AC);
  EXPECT_EQ(NextUtf8CodePoint(text, &pos), 0x1F600);
  EXPECT_EQ(pos, text.size());
  EXPECT_EQ(NextUtf8CodePoint(text, &pos), -1);
  EXPECT_EQ(pos, text.size());
  // Each malformed form gives -1 and steps one byte on.
  for (std::string bad : {"\x80", "\xC3", "\xC3x", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF"}) {
    pos = 0;
    EXPECT_EQ(NextUtf8CodePoint(bad, &pos), -1) << bad;
    EXPECT_EQ(pos, 1u);
    EXPECT_FALSE(IsUtf8("ok " + bad + " ok")) << bad;
  }
  EXPECT_TRUE(IsUtf8(text));
  EXPECT_TRUE(IsUtf8(""));
}

}  // namespace
}  // namespace quillon
