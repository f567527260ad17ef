// The progress line of a transfer and what it is made of: sizes, rates and
// durations, with the separators of the user's locale.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// The separators of the numbers a user reads, as bytes of the program's 8-bit
// text (windows-1252).
struct TNumberFormat {
  std::string decimal_point = ".";
  std::string thousands_sep = ",";
  // Sizes of the digit groups from the right, as localeconv() gives them: the
  // last size repeats, CHAR_MAX or 0 ends grouping, empty: no groups.
  std::string grouping = "\3";
};

// The separators of the user's locale, LC_NUMERIC as setlocale() set it (a
// program that never calls setlocale() gets the C locale). The C and POSIX
// locales state no thousands separator; they keep the English form of the
// TNumberFormat defaults ("1,234.5"). A separator that windows-1252 lacks
// becomes the no-break space (the narrow and thin spaces) or the English
// character. Reads the locale on every call; user-interface thread only.
TNumberFormat UserNumberFormat();

// Fixed-point text of `value` with `decimals` decimals (rounded to the
// nearest, halves to even), the separators of `format` and digit groups when
// `grouped`: FormatFixed(1234.56, 1, true, {}) is "1,234.6".
std::string FormatFixed(double value, int decimals, bool grouped, const TNumberFormat& format);

// "mm:ss", or "hh:mm:ss" from one hour on (the hours take as many digits as
// they need): 30 -> "00:30", 3725 -> "01:02:05", 360000 -> "100:00:00".
std::string FormatDuration(int64_t seconds);

// A byte count as the progress line shows it: kilobytes with one decimal and
// thousands separators followed by "K ", or, from 1000 K on, megabytes
// followed by "MB " (1023999 -> "1,000.0K ", 1024000 -> "1.0MB "), with the
// separators of `format`.
std::string FormatTransferSize(double bytes, const TNumberFormat& format = UserNumberFormat());

// The rate part of the progress line, without the parentheses: below 1025
// bytes a second "<n> bytes/sec.", then kilobytes a second rounded to three
// significant digits with two decimals "50.00k/sec.", and from 1000 k/sec. on
// megabytes a second in the same form "1.23MB/sec."; the decimal point is
// that of `format`, digits are not grouped.
std::string FormatRate(double bytes_per_second, const TNumberFormat& format = UserNumberFormat());

struct TProgressText {
  std::string text;
  int position = -1;  // percentage for the progress cylinder; -1: leave it
};

// The progress line of a transfer: received + " of " + total + rate +
// remaining, e.g. "500.0K  of 2.0MB  (50.00k/sec.) 00:30 remaining".
// `total` is negative when the size is unknown: the total then reads
// "unknown size ", there is no remaining time and no percentage.
// `elapsed_seconds` is whole seconds since the data began; `session_bytes` the
// bytes received in that time (less than `received` when a download continues
// a partial file), which is what the rate is taken from. With no elapsed time
// or nothing received there is no rate and no remaining time, and the line
// ends with a single space. A remaining time of one second or less is not
// shown. Rounding is to the nearest, halves to even. Numbers take the
// separators of `format`; times do not change with it.
TProgressText ProgressText(double total, double received, int64_t elapsed_seconds, double session_bytes,
                           const TNumberFormat& format = UserNumberFormat());

}  // namespace quillon
