#include "platform/ansi_text.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(AnsiText, DecodesTheWholeCodePage) {
  // Euro sign, curly quotes, ellipsis, the trademark sign and y with diaeresis
  // from 0x80-0x9F; Latin-1 letters above.
  EXPECT_EQ(AnsiToQString("\x80 \x93q\x94 \x85 \x99 \x9F"),
            QString::fromUtf8("\u20AC \u201Cq\u201D \u2026 \u2122 \u0178"));
  EXPECT_EQ(AnsiToQString("caf\xE9 \xFF"), QString::fromUtf8("caf\u00E9 \u00FF"));
  // Unassigned bytes stay one character each.
  EXPECT_EQ(AnsiToQString("\x81\x8D\x8F\x90\x9D").size(), 5);
  EXPECT_EQ(AnsiToQString(std::string("a\0b", 3)).size(), 3);
}

TEST(AnsiText, RoundTripsEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(QStringToAnsi(AnsiToQString(all)), all);
  EXPECT_EQ(QStringToAnsi(QString::fromUtf8("\u4E2D x")), "? x");
}

TEST(AnsiText, DocumentTextFollowsItsEncoding) {
  EXPECT_EQ(DocTextToQString("\xC3\xA9", true), QString::fromUtf8("\u00E9"));
  EXPECT_EQ(DocTextToQString("\xC3\xA9", false), QString::fromUtf8("\u00C3\u00A9"));
  // A message is UTF-8 only when it is well-formed UTF-8.
  EXPECT_EQ(MessageToQString("'\xCE\xB4\xCE\xAD\xCE\xBA\xCE\xB1' x"), QString::fromUtf8("'\u03B4\u03AD\u03BA\u03B1' x"));
  EXPECT_EQ(MessageToQString("caf\xE9 \x93q\x94"), QString::fromUtf8("caf\u00E9 \u201Cq\u201D"));
}

}  // namespace
}  // namespace quillon
