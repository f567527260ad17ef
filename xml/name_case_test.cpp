// Names compared without regard to case in either encoding of a catalogue.
#include "xml/name_case.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

TEST(NameCase, LettersOfWindows1252FoldInBothEncodings) {
  struct Case {
    const char* a;
    const char* b;
    bool utf8;
    bool same;
  };
  const Case cases[] = {
      {"Caf\xC9", "CAF\xE9", false, true},        // É é
      {"\x8A\x8C\x8E\x9F", "\x9A\x9C\x9E\xFF", false, true},  // Š Œ Ž Ÿ
      {"\xC0\xDE", "\xE0\xFE", false, true},      // À Þ
      {"\xD7", "\xF7", false, false},             // × is no letter
      {"\xDF", "\xFF", false, false},             // ß has no capital here
      {"Caf\xC3\x89", "CAF\xC3\xA9", true, true},  // É é in UTF-8
      {"\xC5\xA0\xC5\xB8", "\xC5\xA1\xC3\xBF", true, true},  // Š Ÿ
      {"\xC3\x8A", "\xC3\x9A", true, false},      // Ê Ú: not one letter
      {"\xC3\x89", "\xC3\xA9", false, false},     // UTF-8 bytes read as windows-1252
      {"\xC3\x97", "\xC3\xB7", true, false},      // × ÷
      {"\xC3", "\xE3", true, false},              // a cut sequence compares as bytes
      {"ab", "abc", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SameName(c.a, c.b, c.utf8), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(FoldName(c.a, c.utf8) == FoldName(c.b, c.utf8), c.same) << c.a << " / " << c.b;
  }
}

}  // namespace
}  // namespace quillon
