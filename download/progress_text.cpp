#include "download/progress_text.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <clocale>
#include <cmath>

#include "base/code_page.h"
#include "base/strings.h"

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

}  // namespace quillon
