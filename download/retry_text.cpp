#include "download/retry_text.h"

#include "download/redacted_url.h"

namespace quillon {

namespace {

// A failure's reason: its text without a leading "Download failed: ".
std::string FailureReason(const std::string& failure) {
  constexpr std::string_view kFailed = "Download failed: ";
  return failure.starts_with(kFailed) ? failure.substr(kFailed.size()) : failure;
}

}  // namespace

std::string RetryText(int64_t seconds, int attempt, int attempts, const std::string& failure) {
  return "Retrying in " + std::to_string(seconds) + " s (attempt " + std::to_string(attempt) + " of " +
         std::to_string(attempts) + "): " + FailureReason(failure);
}

std::string MirrorText(size_t k, size_t m, const std::string& url) {
  return "Trying mirror " + std::to_string(k) + " of " + std::to_string(m) + ": " + RedactedUrl(url);
}

std::string AbandonedText(const std::string& url, const std::string& failure) {
  return "Giving up on " + RedactedUrl(url) + ": " + FailureReason(failure);
}

}  // namespace quillon
