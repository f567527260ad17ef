// What follows a failed try, as pure logic: retries with their waits, the
// next source, and giving up (the job carries it out; see
// download_retry_test.cpp for the same against scripted servers).
#include "download/retry_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/socket/transfer_watchdog.h"
#include "platform/winsock_errors.h"

namespace quillon {
namespace {

TEST(RetryPolicyTest, TransientFailures) {
  using namespace platform;
  EXPECT_FALSE(TransientSocketError(WSAECONNREFUSED, 0));  // nobody listens there
  EXPECT_TRUE(TransientSocketError(WSAECONNREFUSED, 1));   // a server that restarts
  for (uint16_t error : {uint16_t(WSAECONNRESET), uint16_t(WSAENETRESET), kConnectTimeoutError, kIdleTimeoutError})
    EXPECT_TRUE(TransientSocketError(error, 0)) << error;
  EXPECT_FALSE(TransientSocketError(WSAEACCES, 3));
  for (int code : {408, 429, 500, 502, 503, 504}) EXPECT_TRUE(TransientHttpStatus(code)) << code;
  for (int code : {400, 401, 404, 416, 501}) EXPECT_FALSE(TransientHttpStatus(code)) << code;
  for (int code : {421, 425, 426, 450, 451}) EXPECT_TRUE(TransientFtpReply(code)) << code;
  for (int code : {530, 550, 553}) EXPECT_FALSE(TransientFtpReply(code)) << code;
}

TEST(RetryPolicyTest, Decisions) {
  const std::vector<std::string> plain{"http://a/f", "http://b/f", "ftp://c/f"};
  const std::vector<std::string> https{"https://a/f", "http://m/f", "https://n/f"};
  const std::vector<std::string> https_plain{"https://a/f", "http://m/f"};
  const std::string failure = "Download failed: 503 Service Unavailable";
  struct Case {
    const char* name;
    TTryFailure failure;
    int attempt;
    std::vector<std::string> sources;
    size_t current;
    bool hash_known;
    double random;
    TRetryPolicy::TStep step;
    int64_t wait_ms;
    size_t source;
    std::string text;
  };
  const Case cases[] = {
      {"first retry", {false, true, -1}, 0, plain, 0, false, 0.0, TRetryPolicy::kRetry, 1000, 0, failure},
      {"doubled, with its random part", {false, true, -1}, 2, plain, 0, false, 0.5, TRetryPolicy::kRetry, 4400, 0,
       failure},
      {"Retry-After", {false, true, 7000}, 0, plain, 0, false, 0.9, TRetryPolicy::kRetry, 7000, 0, failure},
      {"Retry-After capped", {false, true, 900000}, 0, plain, 0, false, 0.0, TRetryPolicy::kRetry, 300000, 0, failure},
      {"tries used up: next source", {false, true, -1}, 5, plain, 0, false, 0.0, TRetryPolicy::kNextSource, 0, 1,
       failure},
      {"for good: next source", {false, false, -1}, 0, plain, 1, false, 0.0, TRetryPolicy::kNextSource, 0, 2, failure},
      {"last source", {false, false, -1}, 0, plain, 2, false, 0.0, TRetryPolicy::kGiveUp, 0, 0, failure},
      {"local failure", {true, true, -1}, 0, plain, 0, false, 0.0, TRetryPolicy::kGiveUp, 0, 0, failure},
      {"https passes over plain", {false, false, -1}, 0, https, 0, false, 0.0, TRetryPolicy::kNextSource, 0, 2,
       failure},
      {"https with a hash takes plain", {false, false, -1}, 0, https, 0, true, 0.0, TRetryPolicy::kNextSource, 0, 1,
       failure},
      {"https, only plain left", {false, false, -1}, 0, https_plain, 0, false, 0.0, TRetryPolicy::kGiveUp, 0, 0,
       "Download failed: 503 Service Unavailable; mirror http://m/f not tried: an https download goes on over plain "
       "http or ftp only with a SHA-256 to check the file."},
  };
  const TRetryPolicy policy(5, 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TRetryPolicy::TDecision d =
        policy.Next(c.failure, failure, c.attempt, c.sources, c.current, c.hash_known, c.random);
    EXPECT_EQ(d.step, c.step);
    if (d.step == TRetryPolicy::kRetry) {
      EXPECT_EQ(d.wait_ms, c.wait_ms);
    } else if (d.step == TRetryPolicy::kNextSource) {
      EXPECT_EQ(d.source, c.source);
    } else {
      EXPECT_EQ(d.failure, c.text);
    }
  }
}

}  // namespace
}  // namespace quillon
