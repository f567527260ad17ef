// Small value types for the brushes, fonts and pens that TXmlNode's typed
// readers and writers store as child elements. Nothing in the program draws
// with them; they only carry the values in and out of a document.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// A colour as $00BBGGRR. Values with a non-zero high byte are system colour
// references; they have no RGB value of their own here.
using TColor = int32_t;

// The RGB part of a colour ($00BBGGRR); system colour references keep their
// low 24 bits, since there is no system palette to resolve them against.
inline TColor ColorToRgb(TColor color) { return color & 0x00FFFFFF; }

// Brush styles: 0 is solid.
struct TXmlBrush {
  TColor color = 0xFFFFFF;
  int style = 0;
};

// Font styles, combined as a bit set.
enum TXmlFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

struct TXmlFont {
  std::string name = "Arial";
  TColor color = 0;
  int size = 14;
  uint8_t style = 0;  // TXmlFontStyle bits
};

// Pen modes: 4 is copy; pen styles: 0 is solid.
struct TXmlPen {
  TColor color = 0;
  int mode = 4;
  int style = 0;
  int width = 1;
};

}  // namespace quillon
