// Colours as the widgets of this program store them: a TColor is a 32-bit
// integer 0x00BBGGRR for a plain RGB colour, or a system colour (top bit set,
// low byte the system colour index) that is resolved through the running
// application's palette each time it is used, so a theme change is followed.
#pragma once

#include <cstdint>

#include "download/row_role.h"

class QColor;
class QPalette;

namespace quillon {

using TColor = int32_t;

// The top bit marks a system colour; the low byte says which one.
constexpr TColor clSystemColor = INT32_MIN;

constexpr TColor RGBToColor(int r, int g, int b) {
  return static_cast<TColor>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr int RedOf(TColor c) { return c & 0xFF; }
constexpr int GreenOf(TColor c) { return (c >> 8) & 0xFF; }
constexpr int BlueOf(TColor c) { return (c >> 16) & 0xFF; }
constexpr bool IsSystemColor(TColor c) { return c < 0; }

constexpr TColor clBlack = 0x000000;
constexpr TColor clMaroon = 0x000080;
constexpr TColor clGreen = 0x008000;
constexpr TColor clNavy = 0x800000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clWhite = 0xFFFFFF;

constexpr TColor clScrollBar = clSystemColor | 0;
constexpr TColor clBackground = clSystemColor | 1;
constexpr TColor clActiveCaption = clSystemColor | 2;
constexpr TColor clInactiveCaption = clSystemColor | 3;
constexpr TColor clMenu = clSystemColor | 4;
constexpr TColor clWindow = clSystemColor | 5;
constexpr TColor clWindowFrame = clSystemColor | 6;
constexpr TColor clMenuText = clSystemColor | 7;
constexpr TColor clWindowText = clSystemColor | 8;
constexpr TColor clCaptionText = clSystemColor | 9;
constexpr TColor clActiveBorder = clSystemColor | 10;
constexpr TColor clInactiveBorder = clSystemColor | 11;
constexpr TColor clAppWorkSpace = clSystemColor | 12;
constexpr TColor clHighlight = clSystemColor | 13;
constexpr TColor clHighlightText = clSystemColor | 14;
constexpr TColor clBtnFace = clSystemColor | 15;
constexpr TColor clBtnShadow = clSystemColor | 16;
constexpr TColor clGrayText = clSystemColor | 17;
constexpr TColor clBtnText = clSystemColor | 18;
constexpr TColor clInactiveCaptionText = clSystemColor | 19;
constexpr TColor clBtnHighlight = clSystemColor | 20;
constexpr TColor cl3DDkShadow = clSystemColor | 21;
constexpr TColor cl3DLight = clSystemColor | 22;
constexpr TColor clInfoText = clSystemColor | 23;
constexpr TColor clInfoBk = clSystemColor | 24;

// The RGB value of a colour: plain colours unchanged (upper byte cleared),
// system colours from the application palette (QApplication::palette()); when
// no GUI application exists, from the classic grey desktop scheme.
TColor ColorToRGB(TColor c);

// The colour channels with 64 added or subtracted, each clamped to 0..255.
TColor ShiftColor(TColor rgb, int delta);

QColor ToQColor(TColor c);
TColor FromQColor(const QColor& c);

// Relative luminance (0 black .. 1 white) and the contrast ratio of two
// colours (1 .. 21), as the web's accessibility guidelines define them.
double RelativeLuminance(const QColor& c);
double ContrastRatio(const QColor& a, const QColor& b);

// The text contrast a row colour keeps with the palette's WindowText.
constexpr double kMinTextContrast = 4.5;

// The surface colour of a row in `role` on `palette`: the palette's Window
// colour tinted for the role. On a light palette the tint multiplies it (on
// white: light grey 233,233,233 for finished, light pink 255,236,236 for
// failed); on a dark palette the same hue, as dark as the tint is light, is
// screened onto it. Normal and paused rows keep the Window colour. The result
// is moved back toward Window, and if needed away from the text, until the
// palette's WindowText has kMinTextContrast on it.
QColor RowRoleColor(TRowRole role, const QPalette& palette);

// The colour of the links on a row in `role`: the palette's Link colour,
// moved toward white on a dark surface (black on a light one) as far as
// needed for kMinTextContrast on RowRoleColor(role, palette). A theme's link
// colour that is too dim for its own window colour is mended the same way.
QColor RowLinkColor(TRowRole role, const QPalette& palette);

}  // namespace quillon
