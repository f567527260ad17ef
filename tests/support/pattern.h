// The bytes the tests serve and write: they change along the file, so a
// shifted, repeated or dropped block shows; seeds give files that differ in
// every byte.
#pragma once

#include <cstddef>
#include <string>

namespace quillon::testing {

inline std::string Pattern(size_t n, int seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251 + static_cast<size_t>(seed)) & 0xFF);
  return s;
}

}  // namespace quillon::testing
