// The fuzz targets' one way of failing: an invariant that does not hold is a
// crash with its name on stderr, which libFuzzer keeps as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace quillon::fuzz {

inline void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace quillon::fuzz
