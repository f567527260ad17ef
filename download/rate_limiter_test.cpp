#include "download/rate_limiter.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/support/event_wait.h"

namespace quillon {
namespace {

// The bucket's arithmetic, step by step: each step spends bytes (or only
// refills) at a time and says what the bucket does then.
TEST(RateBucket, HoldsAndReleasesByTheRate) {
  struct Step {
    int64_t at_ms;
    int64_t spend;        // -1: Refill only
    bool changed;         // Spend began a hold / Refill released it
    int64_t tokens;       // after the step
    int64_t release_ms;   // MsUntilRelease after the step
  };
  struct Case {
    const char* name;
    int64_t rate;
    std::vector<Step> steps;
  } cases[] = {
      // A full bucket is a twentieth of the rate; the read that empties it
      // starts the hold, and the debt is paid at the rate.
      {"burst then debt", 2000, {{0, 60, false, 40, 0}, {0, 60, true, -20, 11}, {10, -1, false, 0, 1}, {11, -1, true, 2, 0}}},
      // Several transfers share the account: what a held one still reads
      // (already under way) deepens the debt.
      {"shared", 1000, {{0, 30, false, 20, 0}, {0, 30, true, -10, 11}, {5, 100, false, -105, 106}, {111, -1, true, 1, 0}}},
      // A quiet while fills the bucket only to its burst.
      {"quiet", 1000, {{0, 50, true, 0, 1}, {10000, -1, true, 50, 0}, {10000, 50, true, 0, 1}}},
      // No limit: nothing is counted, nothing held.
      {"none", 0, {{0, 1 << 30, false, 0, 0}}},
      // A clock that goes back adds nothing.
      {"clock back", 1000, {{100, 50, true, 0, 1}, {50, -1, false, 0, 1}, {101, -1, true, 1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TRateBucket bucket;
    bucket.SetRate(c.rate, c.steps.front().at_ms);
    for (const Step& s : c.steps) {
      SCOPED_TRACE(s.at_ms);
      EXPECT_EQ(s.spend >= 0 ? bucket.Spend(s.spend, s.at_ms) : bucket.Refill(s.at_ms), s.changed);
      EXPECT_EQ(bucket.Tokens(s.at_ms), s.tokens);
      EXPECT_EQ(bucket.MsUntilRelease(s.at_ms), s.release_ms);
    }
  }
}

// Transfers that read a block whenever the bucket is not holding, one
// millisecond at a time, for ten seconds: every second after the first
// receives the rate within 10 %, whatever the number of transfers.
TEST(RateBucket, EverySecondAfterTheFirstWithinTenPercent) {
  struct Case {
    int64_t rate, block;
    int transfers;
  } cases[] = {{2 << 20, 64 << 10, 1}, {2 << 20, 64 << 10, 4}, {100 << 10, 3200, 2}, {10000, 312, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    TRateBucket bucket;
    bucket.SetRate(c.rate, 0);
    std::vector<int64_t> seconds(10, 0);
    for (int64_t ms = 0; ms < 10000; ++ms) {
      bucket.Refill(ms);
      for (int t = 0; t < c.transfers && !bucket.Holding(); ++t) {
        bucket.Spend(c.block, ms);
        seconds[ms / 1000] += c.block;
      }
    }
    for (size_t s = 1; s < seconds.size(); ++s) {
      EXPECT_GE(seconds[s], c.rate * 9 / 10) << s;
      EXPECT_LE(seconds[s], c.rate * 11 / 10) << s;
    }
  }
}

// Each registered download hears of a hold and of its end; the event loop's
// timer ends it.
TEST(RateLimiter, HoldsEveryDownloadUntilTheTimerRefills) {
  int64_t now = 0;
  TRateLimiter limiter;
  limiter.SetClockForTesting([&] { return now; });
  limiter.SetRate(1000);
  std::vector<bool> heard;
  bool drop = false;
  int a = 0;
  limiter.Register([&] {
    if (drop) limiter.Unregister(a);
  });
  a = limiter.Register([&] { heard.push_back(limiter.Holding()); });
  limiter.Spend(50);
  EXPECT_EQ(heard, std::vector<bool>{true});
  now = 2;
  EXPECT_TRUE(testing::RunUntil([&] { return heard.size() == 2; }));
  EXPECT_EQ(heard, (std::vector<bool>{true, false}));
  limiter.Spend(60);
  // A lifted limit releases at once; a hook may unregister another.
  drop = true;
  limiter.SetRate(0);
  EXPECT_FALSE(limiter.Holding());
  EXPECT_EQ(heard, (std::vector<bool>{true, false, true}));
}

// A hook may destroy the limiter: the hooks after it are not called.
TEST(RateLimiter, HookMayDestroyTheLimiter) {
  auto limiter = std::make_unique<TRateLimiter>(1000);
  int later = 0;
  limiter->Register([&] { limiter.reset(); });
  limiter->Register([&] { ++later; });
  limiter->Spend(100);
  EXPECT_EQ(limiter, nullptr);
  EXPECT_EQ(later, 0);
}

TEST(RateLimiter, RatesAsUsersWriteThemAndTheirText) {
  struct Case {
    const char* text;
    int64_t rate;
    const char* shown;
  } cases[] = {
      {"2M", 2 << 20, "limited to 2.0MB/sec."}, {"500k", 500 << 10, "limited to 500.0K/sec."},
      {"1.5M", 3 << 19, "limited to 1.5MB/sec."}, {"1000", 1000, "limited to 1.0K/sec."},
      {"1G", int64_t{1} << 30, "limited to 1,024.0MB/sec."}, {"0", 0, ""},
      {"", -1, ""}, {"2MB", -1, ""}, {"-1", -1, ""}, {"1.", -1, ""}, {".5M", -1, ""},
      {"2 M", -1, ""}, {"99999999999999999999", -1, ""}, {"1048577G", -1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseRate(c.text), c.rate);
    if (c.rate >= 0) {
      EXPECT_EQ(RateLimitText(c.rate), c.shown);
    }
  }
}

}  // namespace
}  // namespace quillon
