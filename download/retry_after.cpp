#include "download/retry_after.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "base/strings.h"

namespace quillon {

namespace {

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int64_t y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

// Reads an HTTP date's pieces from the front of `text`.
struct TDateReader {
  std::string_view text;
  bool Take(std::string_view piece) {
    if (!text.starts_with(piece)) return false;
    text.remove_prefix(piece.size());
    return true;
  }
  // Exactly `digits` digits (with `pad_space`, a leading space may stand for a 0).
  std::optional<int> Number(size_t digits, bool pad_space = false) {
    if (text.size() < digits) return std::nullopt;
    int value = 0;
    for (size_t i = 0; i < digits; ++i) {
      const char c = text[i];
      if (pad_space && i == 0 && c == ' ' && digits > 1) continue;
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    text.remove_prefix(digits);
    return value;
  }
  // One of `names` (case-sensitive, as the grammar has them): its index.
  template <size_t N>
  std::optional<int> Name(const char* const (&names)[N]) {
    for (size_t i = 0; i < N; ++i)
      if (Take(names[i])) return static_cast<int>(i);
    return std::nullopt;
  }
  // "HH:MM:SS"
  bool Time(int& h, int& m, int& s) {
    auto hh = Number(2);
    if (!hh || !Take(":")) return false;
    auto mm = Number(2);
    if (!mm || !Take(":")) return false;
    auto ss = Number(2);
    if (!ss) return false;
    h = *hh, m = *mm, s = *ss;
    return true;
  }
};

const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kDayNames[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kLongDayNames[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};

// An HTTP date (IMF-fixdate, or the obsolete RFC 850 and asctime forms) in
// seconds since 1970-01-01 00:00:00 UTC. A two-digit year is the one of the
// latest century that puts it no more than 50 years after `now_s`.
std::optional<int64_t> ParseHttpDate(std::string_view value, int64_t now_s) {
  TDateReader r{value};
  int64_t year = 0;
  std::optional<int> month, day;
  int h = 0, m = 0, s = 0;
  if (r.Name(kLongDayNames)) {
    // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"
    if (!r.Take(", ") || !(day = r.Number(2)) || !r.Take("-") || !(month = r.Name(kMonthNames)) || !r.Take("-"))
      return std::nullopt;
    const auto yy = r.Number(2);
    if (!yy || !r.Take(" ") || !r.Time(h, m, s) || !r.Take(" GMT")) return std::nullopt;
    const int64_t now_year = 1970 + now_s / 31556952;  // near enough for the 50-year rule
    year = now_year - now_year % 100 + *yy;
    if (year > now_year + 50) year -= 100;
  } else if (r.Name(kDayNames)) {
    if (r.Take(", ")) {
      // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
      if (!(day = r.Number(2)) || !r.Take(" ") || !(month = r.Name(kMonthNames)) || !r.Take(" ")) return std::nullopt;
      const auto yyyy = r.Number(4);
      if (!yyyy || !r.Take(" ") || !r.Time(h, m, s) || !r.Take(" GMT")) return std::nullopt;
      year = *yyyy;
    } else {
      // asctime: "Sun Nov  6 08:49:37 1994"
      if (!r.Take(" ") || !(month = r.Name(kMonthNames)) || !r.Take(" ") || !(day = r.Number(2, true)) ||
          !r.Take(" ") || !r.Time(h, m, s) || !r.Take(" "))
        return std::nullopt;
      const auto yyyy = r.Number(4);
      if (!yyyy) return std::nullopt;
      year = *yyyy;
    }
  } else {
    return std::nullopt;
  }
  if (!r.text.empty() || *day < 1 || *day > DaysInMonth(year, *month + 1) || h > 23 || m > 59 || s > 60)
    return std::nullopt;
  return DaysFromCivil(year, *month + 1, *day) * 86400 + h * 3600 + m * 60 + s;
}

}  // namespace

int64_t RetryAfterMs(const std::string& value, int64_t limit_ms, int64_t now_s) {
  std::string_view text = TrimWS(value);
  if (text.empty()) return -1;
  if (text.find_first_not_of("0123456789") == std::string_view::npos) {
    // More digits than any wait needs are the limit too.
    if (text.size() > 12) return limit_ms;
    return std::min<int64_t>(std::stoll(std::string(text)) * 1000, limit_ms);
  }
  const auto date = ParseHttpDate(text, now_s);
  if (!date || *date < now_s) return -1;
  return std::min<int64_t>((*date - now_s) * 1000, limit_ms);
}

}  // namespace quillon
