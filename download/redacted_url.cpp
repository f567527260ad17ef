#include "download/redacted_url.h"

#include <algorithm>

namespace quillon {

std::string RedactedUrl(const std::string& url) {
  const size_t scheme_end = url.find("://");
  const size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const size_t end = std::min(url.find_first_of("/?#", start), url.size());
  const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at == std::string::npos || at < start || at >= end) return url;
  const size_t colon = url.find(':', start);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

}  // namespace quillon
