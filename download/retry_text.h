// The statuses of a download that waits to try again, or gives up on a source
// and goes on with a mirror.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

// The status of a download waiting to try again: "Retrying in <seconds> s
// (attempt <attempt> of <attempts>): " + the failure's reason (its text
// without a leading "Download failed: ").
std::string RetryText(int64_t seconds, int attempt, int attempts, const std::string& failure);

// The status of a download going on with a mirror: "Trying mirror <k> of
// <m>: <url>", the URL redacted.
std::string MirrorText(size_t k, size_t m, const std::string& url);

// The status shown before "Trying mirror": why the source before it was
// abandoned, "Giving up on <url>: " + the failure's reason (its text without
// a leading "Download failed: "), the URL redacted.
std::string AbandonedText(const std::string& url, const std::string& failure);

}  // namespace quillon
