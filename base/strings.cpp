#include "base/strings.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <limits>

namespace quillon {

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = LowerChar(c);
  return r;
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = UpperChar(c);
  return r;
}

int CompareText(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(LowerChar(a[i]));
    unsigned char y = static_cast<unsigned char>(LowerChar(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool StartsText(std::string_view prefix, std::string_view s) {
  return s.size() >= prefix.size() && SameText(prefix, s.substr(0, prefix.size()));
}

std::string_view TrimLeftWS(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsWhiteSpace(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimRightWS(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsWhiteSpace(s[n - 1])) --n;
  return s.substr(0, n);
}

std::string_view TrimWS(std::string_view s) { return TrimRightWS(TrimLeftWS(s)); }

std::optional<int64_t> ParseInt64(std::string_view s) {
  size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return std::nullopt;
  // Accumulate as a negative number so that the minimum value fits.
  const int64_t min = std::numeric_limits<int64_t>::min();
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    if (v < (min + d) / base) return std::nullopt;
    v = v * base - d;
  }
  if (!neg) {
    if (v == min) return std::nullopt;
    v = -v;
  }
  return v;
}

int64_t StrToInt64Def(std::string_view s, int64_t def) {
  auto v = ParseInt64(s);
  return v ? *v : def;
}

std::optional<int64_t> ParseDecimalDigits(std::string_view s) {
  if (s.empty()) return std::nullopt;
  for (char c : s)
    if (c < '0' || c > '9') return std::nullopt;
  return ParseInt64(s);
}

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string r;
  if (n > 0) {
    r.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(r.data(), r.size(), fmt, ap2);
    r.resize(static_cast<size_t>(n));
  }
  va_end(ap2);
  return r;
}

}  // namespace quillon
