// The wait a server's Retry-After asks for.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// The wait an HTTP Retry-After value asks for in milliseconds, at most
// `limit_ms`: delay seconds, or an HTTP date (IMF-fixdate "Sun, 06 Nov 1994
// 08:49:37 GMT", the obsolete RFC 850 "Sunday, 06-Nov-94 08:49:37 GMT" and
// asctime "Sun Nov  6 08:49:37 1994" forms) less `now_s`, the seconds since
// 1970-01-01 00:00:00 UTC. -1 (no wish: the normal wait) for a date in the
// past and for a value that is neither.
int64_t RetryAfterMs(const std::string& value, int64_t limit_ms, int64_t now_s);

}  // namespace quillon
