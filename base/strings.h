// Helpers for 8-bit text. Case-insensitive comparison folds ASCII letters only,
// so it behaves the same for every byte string whatever the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// The white space of the design: TAB, LF, CR and space.
inline bool IsWhiteSpace(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

inline char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
inline char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

std::string LowerCase(std::string_view s);
std::string UpperCase(std::string_view s);

// Three-way comparison ignoring ASCII case (<0, 0, >0).
int CompareText(std::string_view a, std::string_view b);
inline bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}
bool StartsText(std::string_view prefix, std::string_view s);  // case ignored

// Trimming of the design's white space (TAB, LF, CR, space) from both ends,
// the left or the right.
std::string_view TrimWS(std::string_view s);
std::string_view TrimLeftWS(std::string_view s);
std::string_view TrimRightWS(std::string_view s);

// Decimal numbers, with an optional sign; "$" or "0x" prefixes read hexadecimal
// as the framework's integer conversion does. Absent when the text is not a
// number or does not fit.
std::optional<int64_t> ParseInt64(std::string_view s);
int64_t StrToInt64Def(std::string_view s, int64_t def);
// A non-negative decimal number written with digits only (no sign, prefix or
// white space); absent otherwise or when it does not fit.
std::optional<int64_t> ParseDecimalDigits(std::string_view s);

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quillon
