#include "download/retry_after.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

// Retry-After in seconds or as an HTTP date in any of its three forms,
// measured from the "now" given; at most the limit; a date in the past, or a
// value that is neither, asks for nothing (-1).
TEST(RetryAfterTest, SecondsAndDates) {
  const int64_t now = 784111777 - 10;  // 10 s before Sun, 06 Nov 1994 08:49:37 GMT
  const int64_t limit = 300 * 1000;
  struct Case {
    const char* value;
    int64_t ms;
  } cases[] = {
      {"120", 120000},
      {" 7 ", 7000},
      {"100000", limit},
      {"-1", -1},
      {"1.5", -1},
      {"Sun, 06 Nov 1994 08:49:37 GMT", 10000},      // IMF-fixdate
      {"Sunday, 06-Nov-94 08:49:37 GMT", 10000},     // RFC 850
      {"Sun Nov  6 08:49:37 1994", 10000},           // asctime
      {"Sun, 06 Nov 1994 08:49:27 GMT", 0},          // now
      {"Sun, 06 Nov 1994 08:49:26 GMT", -1},         // the past: the normal wait
      {"Mon, 07 Nov 1994 08:49:37 GMT", limit},      // a day on: capped
      {"Tue, 29 Feb 2000 00:00:00 GMT", limit},      // a leap day
      {"Sun, 06 Nov 1994 08:49:37 UTC", -1},         // only GMT
      {"Sun, 31 Nov 1994 08:49:37 GMT", -1},         // no such day
      {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
      {"Sun, 06 Xyz 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 1994 08:49:37 GMT trailing", -1},
      {"", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(RetryAfterMs(c.value, limit, now), c.ms) << c.value;
  // A two-digit year more than 50 years ahead is of the century before.
  EXPECT_EQ(RetryAfterMs("Tuesday, 29-Feb-00 00:00:00 GMT", limit, 951782400 - 1), 1000);
  EXPECT_EQ(RetryAfterMs("Sunday, 06-Nov-94 08:49:37 GMT", limit, 1772323199), -1);  // 1994, not 2094
}

}  // namespace
}  // namespace quillon
