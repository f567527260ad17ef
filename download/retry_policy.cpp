#include "download/retry_policy.h"

#include <algorithm>

#include "base/strings.h"
#include "download/redacted_url.h"
#include "net/socket/transfer_watchdog.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {

bool IsHttps(const std::string& url) { return LowerCase(url).starts_with("https://"); }

// The failure of an https download whose remaining mirrors are all plain
// http or ftp, with no SHA-256 to check what they would send.
std::string PlainMirrorRefused(const std::string& failure, const std::string& mirror) {
  std::string text = failure;
  if (text.ends_with('.')) text.pop_back();
  return text + "; mirror " + RedactedUrl(mirror) +
         " not tried: an https download goes on over plain http or ftp only with a SHA-256 to check the file.";
}

}  // namespace

bool TransientSocketError(uint16_t error, int attempt) {
  if (error == platform::WSAECONNREFUSED) return attempt > 0;
  return error == platform::WSAECONNRESET || error == platform::WSAENETRESET || error == kConnectTimeoutError ||
         error == kIdleTimeoutError;
}

bool TransientHttpStatus(int code) {
  return code == 408 || code == 429 || code == 500 || code == 502 || code == 503 || code == 504;
}

bool TransientFtpReply(int code) {
  return code == 421 || code == 425 || code == 426 || code == 450 || code == 451;
}

int64_t TRetryPolicy::BackoffMs(int attempt, double random) const {
  const int64_t base = static_cast<int64_t>(first_wait_s_) * 1000 << std::clamp(attempt - 1, 0, 20);
  return base + static_cast<int64_t>(std::clamp(random, 0.0, 1.0) * 0.2 * static_cast<double>(base));
}

TRetryPolicy::TDecision TRetryPolicy::Next(const TTryFailure& failure, const std::string& failure_text, int attempt,
                                           const std::vector<std::string>& sources, size_t current,
                                           bool hash_known, double random) const {
  TDecision decision;
  decision.failure = failure_text;
  if (failure.local) return decision;
  if (failure.transient && attempt < retries_) {
    decision.step = kRetry;
    decision.wait_ms = failure.retry_after_ms >= 0 ? std::min(failure.retry_after_ms, kMaxRetryAfterMs)
                                                   : BackoffMs(attempt + 1, random);
    return decision;
  }
  size_t next = current + 1;
  if (next >= sources.size()) return decision;
  // The bytes of an https URL come from a plain http or ftp mirror only when
  // the SHA-256 proves them: such a mirror is passed over.
  const bool https = !sources.empty() && IsHttps(sources[0]);
  while (https && !hash_known && next < sources.size() && !IsHttps(sources[next])) ++next;
  if (next >= sources.size()) {
    decision.failure = PlainMirrorRefused(failure_text, sources[current + 1]);
    return decision;
  }
  decision.step = kNextSource;
  decision.source = next;
  return decision;
}

}  // namespace quillon
