#include "download/download_texts.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>
#include <optional>

#include "base/code_page.h"
#include "base/strings.h"
#include "net/socket/host_name.h"

namespace quillon {

std::string FormatDuration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  int64_t hours = seconds / 3600;
  int64_t minutes = seconds / 60 - hours * 60;
  int64_t secs = seconds - hours * 3600 - minutes * 60;
  std::string text = Format("%.2lld:%.2lld", static_cast<long long>(minutes), static_cast<long long>(secs));
  if (hours > 0) text = Format("%.2lld:", static_cast<long long>(hours)) + text;
  return text;
}

namespace {

// A separator of the locale, in the locale's own bytes, as windows-1252 text:
// UTF-8 is decoded (a byte that does not start valid UTF-8 is taken as the
// windows-1252 byte it already is); `fallback` when a character has no
// windows-1252 form.
std::string AnsiSeparator(std::string_view locale_text, const char* fallback) {
  std::string out;
  for (size_t pos = 0; pos < locale_text.size();) {
    const auto byte = static_cast<unsigned char>(locale_text[pos]);
    if (byte < 0x80) {
      out += locale_text[pos++];
      continue;
    }
    size_t start = pos;
    int32_t code_point = NextUtf8CodePoint(locale_text, &pos);
    if (code_point < 0) {
      pos = start + 1;
      code_point = Cp1252ToUnicode(byte);
    }
    // Narrow, thin and figure spaces: the no-break space the code page has.
    if (code_point == 0x202F || code_point == 0x2009 || code_point == 0x2007) code_point = 0xA0;
    int ansi = UnicodeToCp1252(static_cast<uint32_t>(code_point));
    if (ansi < 0) return fallback;
    out += static_cast<char>(ansi);
  }
  return out;
}

// Puts `sep` between the digit groups of `digits` that `grouping` describes.
std::string GroupDigits(const std::string& digits, const std::string& sep, const std::string& grouping) {
  if (sep.empty() || grouping.empty()) return digits;
  std::string out;
  size_t end = digits.size();
  size_t index = 0;
  while (end > 0) {
    const auto size = static_cast<unsigned char>(grouping[std::min(index, grouping.size() - 1)]);
    ++index;
    const size_t start = (size == 0 || size >= CHAR_MAX || size >= end) ? 0 : end - size;
    out.insert(0, digits, start, end - start);
    if (start > 0) out.insert(0, sep);
    end = start;
  }
  return out;
}

// Rounds to three significant digits, halves to even.
double RoundSignificant3(double value) {
  if (value == 0 || !std::isfinite(value)) return value;
  int digits = static_cast<int>(std::floor(std::log10(std::fabs(value)))) + 1;
  double factor = std::pow(10.0, 3 - digits);
  return std::nearbyint(value * factor) / factor;
}

}  // namespace

TNumberFormat UserNumberFormat() {
  const lconv* conv = std::localeconv();
  const std::string decimal_point = conv->decimal_point ? conv->decimal_point : ".";
  const std::string thousands_sep = conv->thousands_sep ? conv->thousands_sep : "";
  TNumberFormat format;
  if (thousands_sep.empty() && decimal_point == ".") return format;  // C, POSIX
  format.decimal_point = AnsiSeparator(decimal_point, ".");
  if (format.decimal_point.empty()) format.decimal_point = ".";
  format.thousands_sep = AnsiSeparator(thousands_sep, "\xA0");
  format.grouping = conv->grouping ? conv->grouping : "";
  return format;
}

std::string FormatFixed(double value, int decimals, bool grouped, const TNumberFormat& format) {
  if (!std::isfinite(value)) value = 0;
  // to_chars never looks at the C locale: the separators are put in here.
  char buffer[400];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::fixed,
                                       decimals);
  const std::string digits(buffer, ec == std::errc() ? end : buffer);
  const size_t point = digits.find('.');
  std::string whole = digits.substr(0, point);
  if (grouped) whole = GroupDigits(whole, format.thousands_sep, format.grouping);
  const bool negative = std::signbit(value) && digits.find_first_not_of("0.") != std::string::npos;
  std::string text = (negative ? "-" : "") + whole;
  if (point != std::string::npos) text += format.decimal_point + digits.substr(point + 1);
  return text;
}

std::string FormatTransferSize(double bytes, const TNumberFormat& format) {
  if (bytes / 1024 >= 1000) return FormatFixed(bytes / (1024.0 * 1024.0), 1, true, format) + "MB ";
  return FormatFixed(bytes / 1024, 1, true, format) + "K ";
}

std::string FormatRate(double rate, const TNumberFormat& format) {
  if (rate <= 1024) return FormatFixed(std::nearbyint(rate), 0, false, format) + " bytes/sec.";
  double kilo = RoundSignificant3(rate / 1024);
  if (kilo < 1000) return FormatFixed(kilo, 2, false, format) + "k/sec.";
  return FormatFixed(RoundSignificant3(rate / (1024.0 * 1024.0)), 2, false, format) + "MB/sec.";
}

TProgressText ProgressText(double total, double received, int64_t elapsed_seconds, double session_bytes,
                           const TNumberFormat& format) {
  double rate = 0;
  std::string rate_text;
  if (elapsed_seconds > 0 && received > 0 && session_bytes > 0) {
    rate = session_bytes / static_cast<double>(elapsed_seconds);
    rate_text = " (" + FormatRate(rate, format) + ")";
  }
  std::string remaining_text;
  if (rate > 0 && total >= 0) {
    double remaining = std::nearbyint((total - received) / rate);
    if (remaining > 1) remaining_text = FormatDuration(static_cast<int64_t>(remaining)) + " remaining";
  }
  rate_text += " " + remaining_text;
  std::string total_text = total < 0 ? std::string("unknown size ") : FormatTransferSize(total, format);
  TProgressText result;
  result.text = FormatTransferSize(received, format) + " of " + total_text + rate_text;
  if (total > 0) {
    double percent = std::nearbyint(received / total * 100);
    result.position = static_cast<int>(std::fmin(std::fmax(percent, 0), 100));
  }
  return result;
}

int64_t LocalFileSize(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string PercentDecode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    int hi = -1, lo = -1;
    if (s[i] == '%' && i + 2 < s.size()) {
      hi = HexValue(s[i + 1]);
      lo = HexValue(s[i + 2]);
    }
    if (hi >= 0 && lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

TFtpUrlParts SplitFtpUrl(const std::string& url) {
  TFtpUrlParts parts;
  std::string rest = url;
  size_t scheme = LowerCase(url).find("://");
  if (scheme != std::string::npos) rest = url.substr(scheme + 3);
  size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  // user[:password]@ ends at the last "@", so a password may hold one.
  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string login = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = login.find(':');
    parts.user = PercentDecode(login.substr(0, colon));
    if (colon != std::string::npos) parts.password = PercentDecode(login.substr(colon + 1));
  }
  size_t colon = authority.rfind(':');
  if (authority.starts_with("[") && colon < authority.rfind(']')) colon = std::string::npos;  // [IPv6]
  if (colon != std::string::npos) {
    std::string port = authority.substr(colon + 1);
    authority = authority.substr(0, colon);
    if (!port.empty()) parts.port = port;
  }
  parts.host = UrlHostName(authority);
  size_t last = path.find_last_of("/\\:");
  if (last == std::string::npos) {
    parts.file = path;
  } else {
    parts.file = path.substr(last + 1);
    parts.dir = path.substr(0, last + 1);
    for (char& c : parts.dir)
      if (c == '\\') c = '/';
  }
  // The server is asked for the names themselves ("my%20file" is "my file"),
  // split first so that an encoded "/" stays within its name.
  parts.dir = PercentDecode(parts.dir);
  parts.file = PercentDecode(parts.file);
  return parts;
}

namespace {
constexpr const char* kCutMark = ".../";
bool StartsWithCutMark(const std::string& s) { return s.compare(0, 4, kCutMark) == 0; }
}  // namespace

void CutFirstFolder(std::string& folder) {
  if (folder == "/") {
    folder.clear();
    return;
  }
  bool root = !folder.empty() && folder[0] == '/';
  std::string s = root ? folder.substr(1) : folder;
  // Only an earlier cut's mark is skipped, not any folder name that begins
  // with a dot.
  if (StartsWithCutMark(s)) s.erase(0, 4);
  size_t slash = s.find('/');
  s = slash == std::string::npos ? std::string() : kCutMark + s.substr(slash + 1);
  folder = root ? "/" + s : s;
}

std::string FitFileName(const std::string& path, int max_width, const TTextWidth& text_width) {
  std::string result = path;
  size_t last = path.rfind('/');
  std::string folder = last == std::string::npos ? std::string() : path.substr(0, last + 1);
  std::string name = last == std::string::npos ? path : path.substr(last + 1);
  while (!folder.empty() && text_width(result) > max_width) {
    if (folder == "/.../")
      folder = kCutMark;
    else
      CutFirstFolder(folder);
    result = folder + name;
  }
  return result;
}

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

std::string MirrorText(size_t k, size_t m, const std::string& url) {
  return "Trying mirror " + std::to_string(k) + " of " + std::to_string(m) + ": " + RedactedUrl(url);
}

std::string AbandonedText(const std::string& url, const std::string& failure) {
  return "Giving up on " + RedactedUrl(url) + ": " + FailureReason(failure);
}

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
