// Strings, base64 and the date-time type.
#include <gtest/gtest.h>

#include <limits>

#include "base/base64.h"
#include "base/date_time.h"
#include "base/strings.h"

namespace quillon {
namespace {

TEST(Strings, CaseInsensitiveComparisonAndTrim) {
  EXPECT_TRUE(SameText("Program_Group", "PROGRAM_group"));
  EXPECT_FALSE(SameText("abc", "abcd"));
  EXPECT_LT(CompareText("abc", "ABD"), 0);
  EXPECT_GT(CompareText("b", "A"), 0);
  EXPECT_TRUE(StartsText("HTTP://", "http://host/"));
  // Only TAB, LF, CR and space are white space.
  EXPECT_EQ(TrimWS("\t\r\n x y \n"), "x y");
  EXPECT_EQ(TrimWS(std::string("\v a \f")), "\v a \f");
  EXPECT_EQ(TrimLeftWS("  a "), "a ");
  EXPECT_EQ(TrimRightWS("  a "), "  a");
}

TEST(Strings, IntegerParsingRefusesOverflowAndJunk) {
  EXPECT_EQ(ParseInt64("123"), 123);
  EXPECT_EQ(ParseInt64("-42"), -42);
  EXPECT_EQ(ParseInt64("$ff"), 255);
  EXPECT_EQ(ParseInt64("0x10"), 16);
  EXPECT_EQ(ParseInt64("9223372036854775807"), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(ParseInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  for (const char* junk : {"9223372036854775808", "99999999999999999999999", "", "-", "12a", " 1"})
    EXPECT_FALSE(ParseInt64(junk)) << junk;
  EXPECT_EQ(StrToInt64Def("x", 7), 7);
  EXPECT_EQ(Format("%s=%d", "a", 5), "a=5");
}

TEST(Base64, RoundTripsEveryRemainder) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
  EXPECT_EQ(Base64Decode("Zm9v\r\nYg=="), "foob");
}

TEST(Base64, RefusesMalformedText) {
  EXPECT_FALSE(Base64Decode("Zm9"));
  EXPECT_FALSE(Base64Decode("Zm!v"));
  EXPECT_FALSE(Base64Decode("Z===")); 
  EXPECT_FALSE(Base64Decode("Zg==Zg=="));
}

TEST(DateTime, DaysSince30December1899) {
  TDateTime d = -1;
  ASSERT_TRUE(TryEncodeDate(1899, 12, 30, d));
  EXPECT_EQ(d, 0.0);
  ASSERT_TRUE(TryEncodeDate(1970, 1, 1, d));
  EXPECT_EQ(d, 25569.0);
  ASSERT_TRUE(TryEncodeDate(2000, 2, 29, d));
  EXPECT_EQ(d, 36585.0);
  EXPECT_FALSE(TryEncodeDate(2001, 2, 29, d));
  EXPECT_FALSE(TryEncodeDate(2001, 13, 1, d));
  int y, m, dd;
  DecodeDate(36585.75, y, m, dd);
  EXPECT_EQ(y * 10000 + m * 100 + dd, 20000229);
  int h, mi, s, ms;
  DecodeTime(36585.75, h, mi, s, ms);
  EXPECT_EQ(h, 18);
  EXPECT_EQ(mi, 0);
  EXPECT_NEAR(EncodeTime(12, 0, 0, 0), 0.5, 1e-12);
  EXPECT_GT(Now(), 46000.0);  // after 2025
}

}  // namespace
}  // namespace quillon
