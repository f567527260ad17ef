// The pixel rules of the cylinder progress indicator as plain functions on an
// image, so that a frame can be drawn and checked without any window.
//
// Images are QImage::Format_RGB32 used as 24-bit pixels (the top byte is
// always 0xFF and never carries information). Rectangles are given as left,
// top, right, bottom with right and bottom exclusive. Every function writes
// only inside the image: parts of a bar, frame or text that fall outside are
// dropped, whatever the geometry.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRgb>
#include <QString>

#include "rows/colors.h"
#include "rows/pc_color_style.h"
#include "rows/progress_cyl_types.h"

class QFont;

namespace quillon {

// Per-channel fractions of a colour under a style.
struct TChannelFractions {
  float Red = 0;
  float Green = 0;
  float Blue = 0;
  bool operator==(const TChannelFractions&) const = default;
};

// ((v * IntensityFactor + IntensityRGB) / Intensity + v) / RangeRGB, computed
// in extended precision and stored in single precision.
float ChannelFraction(int v, const TPCStyleValues& s);
TChannelFractions ColorFractions(TColor rgb, const TPCStyleValues& s);

// One channel of a bar pixel: trunc((|n| * step * ColorFactor + ColorRGB) *
// fraction), clamped to 0..255.
int ShadeChannel(int n, float step, const TPCStyleValues& s, float fraction);
QRgb ShadePixel(int n, float step, const TPCStyleValues& s, const TChannelFractions& f);

// Starting value of a part's running counter across a bar of thickness d:
// trunc(d / LightAngle).
int CounterStart(int d, const TPCStyleValues& s);

// Everything the bar drawing needs.
struct TBarParams {
  TProgressBarOrientation Orientation = pbHorizontal;
  int Inset = 0;       // content inset f
  int Edge = 0;        // fill edge: a column (horizontal) or a row (vertical)
  float Step = 0;      // the row step (horizontal) or the column step (vertical)
  TPCStyleValues Fore;
  TPCStyleValues Back;
  TChannelFractions ForeFractions;
  TChannelFractions LineFractions;
  TChannelFractions BackFractions;
};

// Draws the filled part, the edge line and the empty part over the content
// rectangle (f, f, width - f, height - f) of the image. Horizontal bars fill
// columns f..edge and draw the edge line on the edge column, with one
// brightness per row; vertical bars draw the empty part on rows f..edge, the
// edge line on the edge row and fill the rows below, with one brightness per
// column.
void DrawBar(QImage& img, const TBarParams& p);

void FillImage(QImage& img, QRgb c);
// A one-pixel frame on the rectangle's outermost pixels.
void FrameRect(QImage& img, int l, int t, int r, int b, QRgb c);
// n nested one-pixel rectangles from the given rectangle inwards, each with its
// left and top edges in top_left and then its right and bottom edges in
// bottom_right (so the top-right and bottom-left corners take bottom_right).
void Frame3D(QImage& img, int l, int t, int r, int b, QRgb top_left, QRgb bottom_right, int n);
// Each pixel of img becomes itself exclusive-or the pixel of mask at the same
// place (the colour bits only); mask must have img's size.
void XorImage(QImage& img, const QImage& mask);

// The start point of the text for its unturned width w and height h in a
// control of width cw and height ch (divisions round toward zero).
QPoint TextStartPoint(TFontOrientation o, int w, int h, int cw, int ch);

// Draws text with its start point from TextStartPoint, turned by 0, 270 or 90
// degrees for foLeftToRight, foTopToBottom and foBottomToTop. feNone draws it
// plain in color; the shadow effects first draw it in shadow at the start
// point moved by shadow_offset in both directions. feInvert draws it in white
// on mask (filled black first, without smoothing so the mask is pure black and
// white) and exclusive-ors the mask into img, turning each pixel under the text
// into its inverse; color is then unused.
struct TTextParams {
  QString Text;
  TFontOrientation Orientation = foLeftToRight;
  TFontEffect Effect = feNone;
  QRgb Color = 0xFF000000;
  QRgb Shadow = 0xFF000000;
  int ShadowOffset = 0;
};
void DrawBarText(QImage& img, QImage* mask, const QFont& font, const TTextParams& t);

inline QRgb ToRgb32(TColor c) {
  const TColor rgb = ColorToRGB(c);
  return qRgb(RedOf(rgb), GreenOf(rgb), BlueOf(rgb));
}

}  // namespace quillon
