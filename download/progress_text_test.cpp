#include "download/progress_text.h"

#include <gtest/gtest.h>

#include "tests/support/scoped_locale.h"

namespace quillon {
namespace {

TEST(ProgressTextTest, LineOfHalfADownloadAfterTenSeconds) {
  TProgressText p = ProgressText(2048000, 512000, 10, 512000);
  EXPECT_EQ(p.text, "500.0K  of 2.0MB  (50.00k/sec.) 00:30 remaining");
  EXPECT_EQ(p.position, 25);
}

TEST(ProgressTextTest, UnitSwitchesWhenKilobytesReachAThousand) {
  EXPECT_EQ(FormatTransferSize(1023999), "1,000.0K ");
  EXPECT_EQ(FormatTransferSize(1024000), "1.0MB ");
  EXPECT_EQ(FormatTransferSize(0), "0.0K ");
  EXPECT_EQ(FormatTransferSize(5.5 * 1024 * 1024 * 1024), "5,632.0MB ");
}

TEST(ProgressTextTest, RatesInBytesKilobytesAndMegabytes) {
  EXPECT_EQ(FormatRate(1024), "1024 bytes/sec.");
  EXPECT_EQ(FormatRate(12.5), "12 bytes/sec.");  // halves to even
  EXPECT_EQ(FormatRate(1025), "1.00k/sec.");
  EXPECT_EQ(FormatRate(123456), "121.00k/sec.");
  EXPECT_EQ(FormatRate(999.4 * 1024), "999.00k/sec.");
  // 999.6 k rounds to 1000 k: no room in three digits, so megabytes.
  EXPECT_EQ(FormatRate(999.6 * 1024), "0.98MB/sec.");
  EXPECT_EQ(FormatRate(12.3456 * 1024 * 1024), "12.30MB/sec.");
  EXPECT_EQ(FormatRate(2500.0 * 1024 * 1024), "2500.00MB/sec.");
}

TEST(ProgressTextTest, NoTimeNoRateAndShortRemainingHidden) {
  EXPECT_EQ(ProgressText(2048000, 1024, 0, 1024).text, "1.0K  of 2.0MB  ");
  // 1 second left: no remaining text, the line ends with the space.
  EXPECT_EQ(ProgressText(3072, 2048, 2, 2048).text, "2.0K  of 3.0K  (1024 bytes/sec.) ");
  EXPECT_EQ(ProgressText(3072, 0, 5, 0).text, "0.0K  of 3.0K  ");
}

TEST(ProgressTextTest, UnknownSizeShowsReceivedOnlyAndNoPercentage) {
  TProgressText p = ProgressText(-1, 512000, 10, 512000);
  EXPECT_EQ(p.text, "500.0K  of unknown size  (50.00k/sec.) ");
  EXPECT_EQ(p.position, -1);
}

TEST(ProgressTextTest, ContinuedDownloadRateCountsOnlyThisSession) {
  // 1.5 MB were on disk; 512000 bytes came in 10 seconds.
  TProgressText p = ProgressText(2048000 + 1536000, 1536000 + 512000, 10, 512000);
  EXPECT_EQ(p.text, "2.0MB  of 3.4MB  (50.00k/sec.) 00:30 remaining");
  EXPECT_EQ(p.position, 57);
}

// Sizes and rates take the separators of the user's locale; times stay as
// they are. A locale whose decimal point is "," once made the size text throw.
TEST(ProgressTextTest, NumbersTakeTheLocalesSeparators) {
  struct Case {
    const char* locale;
    const char* line;
    const char* sizes;
    const char* rates;
  } cases[] = {
      {"C", "500.0K  of 2.0MB  (50.00k/sec.) 00:30 remaining", "1,000.0K 5,632.0MB ", "512 bytes/sec.12.30MB/sec."},
      {"de_DE.UTF-8", "500,0K  of 2,0MB  (50,00k/sec.) 00:30 remaining", "1.000,0K 5.632,0MB ",
       "512 bytes/sec.12,30MB/sec."},
  };
  static_assert(std::size(cases) == std::size(testing::kTestLocales));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    testing::ScopedLocale locale(c.locale);
    ASSERT_TRUE(locale.ok());
    EXPECT_EQ(ProgressText(2048000, 512000, 10, 512000).text, c.line);
    EXPECT_EQ(FormatTransferSize(1023999) + FormatTransferSize(5.5 * 1024 * 1024 * 1024), c.sizes);
    EXPECT_EQ(FormatRate(512) + FormatRate(12.3456 * 1024 * 1024), c.rates);
  }
}

TEST(FormatFixedTest, GroupsAndSeparatorsAsTheFormatSays) {
  const TNumberFormat english;
  const TNumberFormat indian{.decimal_point = ",", .thousands_sep = "\xA0", .grouping = "\3\2"};
  const TNumberFormat ungrouped{.decimal_point = ",", .thousands_sep = "", .grouping = ""};
  const TNumberFormat once{.decimal_point = ".", .thousands_sep = "'", .grouping = std::string("\3\x7F")};
  struct Case {
    double value;
    int decimals;
    const TNumberFormat& format;
    const char* text;
  } cases[] = {
      {1234567.85, 1, english, "1,234,567.9"},
      {999.96, 1, english, "1,000.0"},
      {-1234.5, 0, english, "-1,234"},  // halves to even
      {-0.01, 1, english, "0.0"},
      {1234567.8, 1, indian, "12\xA0" "34\xA0" "567,8"},
      {1234567.8, 2, ungrouped, "1234567,80"},
      {1234567.0, 0, once, "1234'567"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatFixed(c.value, c.decimals, true, c.format), c.text) << c.value;
  EXPECT_EQ(FormatFixed(1234.5, 1, false, english), "1234.5");
}

TEST(FormatDurationTest, MinutesSecondsAndHours) {
  EXPECT_EQ(FormatDuration(30), "00:30");
  EXPECT_EQ(FormatDuration(3725), "01:02:05");
  EXPECT_EQ(FormatDuration(100 * 3600), "100:00:00");
  EXPECT_EQ(FormatDuration(3599), "59:59");
  EXPECT_EQ(FormatDuration(-5), "00:00");
}

}  // namespace
}  // namespace quillon
