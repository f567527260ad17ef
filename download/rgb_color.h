// A colour as three 8-bit channels, free of any toolkit: what the download job
// reports for its row. The row's widget turns it into its palette.
#pragma once

#include <cstdint>

namespace quillon {

struct TRgbColor {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;

  friend bool operator==(const TRgbColor&, const TRgbColor&) = default;
};

}  // namespace quillon
