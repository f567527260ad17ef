#include "rows/progress_cyl_paint.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace quillon {

namespace {

QRgb* Row(QImage& img, int y) { return reinterpret_cast<QRgb*>(img.scanLine(y)); }

// Writes columns [x0, x1] of row y, whatever part of them lies in the image.
void HLine(QImage& img, int y, int x0, int x1, QRgb c) {
  if (y < 0 || y >= img.height()) return;
  x0 = std::max(x0, 0);
  x1 = std::min(x1, img.width() - 1);
  if (x0 > x1) return;
  std::fill(Row(img, y) + x0, Row(img, y) + x1 + 1, c);
}

void VLine(QImage& img, int x, int y0, int y1, QRgb c) {
  if (x < 0 || x >= img.width()) return;
  y0 = std::max(y0, 0);
  y1 = std::min(y1, img.height() - 1);
  for (int y = y0; y <= y1; ++y) Row(img, y)[x] = c;
}

// Copies columns [x0, x1] of a per-column colour list (indexed from column
// `first`) into row y, clipped to the image.
void CopyColumns(QImage& img, int y, int x0, int x1, const std::vector<QRgb>& colors, int first) {
  if (y < 0 || y >= img.height()) return;
  x0 = std::max({x0, 0, first});
  x1 = std::min({x1, img.width() - 1, first + static_cast<int>(colors.size()) - 1});
  if (x0 > x1) return;
  std::copy(colors.begin() + (x0 - first), colors.begin() + (x1 - first + 1), Row(img, y) + x0);
}

void DrawHorizontal(QImage& img, const TBarParams& p) {
  const int w = img.width(), h = img.height(), f = p.Inset;
  const int d = h - 2 * f;
  int fore_n = CounterStart(d, p.Fore);
  int back_n = CounterStart(d, p.Back);
  for (int y = f; y <= h - f - 1; ++y, ++fore_n, ++back_n) {
    HLine(img, y, f, p.Edge, ShadePixel(fore_n, p.Step, p.Fore, p.ForeFractions));
    HLine(img, y, p.Edge, p.Edge, ShadePixel(fore_n, p.Step, p.Fore, p.LineFractions));
    HLine(img, y, p.Edge + 1, w - f - 1, ShadePixel(back_n, p.Step, p.Back, p.BackFractions));
  }
}

void DrawVertical(QImage& img, const TBarParams& p) {
  const int w = img.width(), h = img.height(), f = p.Inset;
  const int d = w - 2 * f;
  if (d <= 0) return;
  // Every row has the same colours: the counters restart in each row and run
  // across the columns.
  std::vector<QRgb> back(d), line(d), fore(d);
  const int fore_start = CounterStart(d, p.Fore);
  const int back_start = CounterStart(d, p.Back);
  for (int i = 0; i < d; ++i) {
    back[i] = ShadePixel(back_start + i, p.Step, p.Back, p.BackFractions);
    line[i] = ShadePixel(fore_start + i, p.Step, p.Fore, p.LineFractions);
    fore[i] = ShadePixel(fore_start + i, p.Step, p.Fore, p.ForeFractions);
  }
  const int last = w - f - 1;
  for (int y = std::max(f, 0); y <= std::min(p.Edge, h - 1); ++y) CopyColumns(img, y, f, last, back, f);
  CopyColumns(img, p.Edge, f, last, line, f);
  for (int y = std::max(p.Edge + 1, 0); y <= h - f - 1; ++y) CopyColumns(img, y, f, last, fore, f);
}

}  // namespace

float ChannelFraction(int v, const TPCStyleValues& s) {
  const long double x = v;
  return static_cast<float>(((x * s.IntensityFactor + s.IntensityRGB) / s.Intensity + x) / s.RangeRGB);
}

TChannelFractions ColorFractions(TColor rgb, const TPCStyleValues& s) {
  return {ChannelFraction(RedOf(rgb), s), ChannelFraction(GreenOf(rgb), s),
          ChannelFraction(BlueOf(rgb), s)};
}

int ShadeChannel(int n, float step, const TPCStyleValues& s, float fraction) {
  const long double magnitude = std::llabs(static_cast<long long>(n));
  const long double v = (magnitude * step * s.ColorFactor + s.ColorRGB) * fraction;
  // Truncation toward zero followed by the clamp; NaN counts as 0.
  if (!(v > 0)) return 0;
  if (v >= 255) return 255;
  return static_cast<int>(v);
}

QRgb ShadePixel(int n, float step, const TPCStyleValues& s, const TChannelFractions& f) {
  return qRgb(ShadeChannel(n, step, s, f.Red), ShadeChannel(n, step, s, f.Green),
              ShadeChannel(n, step, s, f.Blue));
}

int CounterStart(int d, const TPCStyleValues& s) {
  const long double v = std::trunc(static_cast<long double>(d) / s.LightAngle);
  // A tiny light angle would give a counter far beyond any brightness: keep it
  // in a range where the arithmetic stays exact and the channels saturate.
  if (!(v == v)) return 0;
  return static_cast<int>(std::clamp<long double>(v, -1e8L, 1e8L));
}

void DrawBar(QImage& img, const TBarParams& p) {
  if (img.isNull() || p.Inset < 0) return;
  if (p.Orientation == pbHorizontal) {
    DrawHorizontal(img, p);
  } else {
    DrawVertical(img, p);
  }
}

void FillImage(QImage& img, QRgb c) {
  for (int y = 0; y < img.height(); ++y) std::fill(Row(img, y), Row(img, y) + img.width(), c);
}

void FrameRect(QImage& img, int l, int t, int r, int b, QRgb c) {
  if (l >= r || t >= b) return;
  HLine(img, t, l, r - 1, c);
  HLine(img, b - 1, l, r - 1, c);
  VLine(img, l, t, b - 1, c);
  VLine(img, r - 1, t, b - 1, c);
}

void Frame3D(QImage& img, int l, int t, int r, int b, QRgb top_left, QRgb bottom_right, int n) {
  for (int i = 0; i < n && l + i < r - i && t + i < b - i; ++i) {
    const int x0 = l + i, y0 = t + i, x1 = r - i - 1, y1 = b - i - 1;
    HLine(img, y0, x0, x1, top_left);
    VLine(img, x0, y0, y1, top_left);
    HLine(img, y1, x0, x1, bottom_right);
    VLine(img, x1, y0, y1, bottom_right);
  }
}

void XorImage(QImage& img, const QImage& mask) {
  if (mask.size() != img.size() || mask.format() != QImage::Format_RGB32) return;
  for (int y = 0; y < img.height(); ++y) {
    QRgb* dst = Row(img, y);
    const QRgb* src = reinterpret_cast<const QRgb*>(mask.constScanLine(y));
    for (int x = 0; x < img.width(); ++x) dst[x] ^= (src[x] & 0x00FFFFFFu);
  }
}

QPoint TextStartPoint(TFontOrientation o, int w, int h, int cw, int ch) {
  switch (o) {
    case foTopToBottom: return QPoint(h + (cw - h) / 2 - 1, (ch - w) / 2);
    case foBottomToTop: return QPoint((cw - h) / 2 + 1, w + (ch - w) / 2);
    case foLeftToRight: break;
  }
  return QPoint((cw - w) / 2, (ch - h) / 2 + 1);
}

namespace {

// Text with its cell's top-left corner at `at`, turned about that corner.
void PaintText(QImage& target, const QFont& font, const TTextParams& t, QPoint at, QRgb color,
               bool smooth) {
  QPainter painter(&target);
  painter.setClipRect(0, 0, target.width(), target.height());
  QFont used = font;
  if (!smooth) used.setStyleStrategy(QFont::NoAntialias);
  painter.setFont(used);
  painter.setPen(QColor::fromRgb(color));
  painter.translate(at);
  if (t.Orientation == foTopToBottom) painter.rotate(90);
  if (t.Orientation == foBottomToTop) painter.rotate(-90);
  painter.drawText(QPoint(0, QFontMetrics(used, &target).ascent()), t.Text);
}

}  // namespace

void DrawBarText(QImage& img, QImage* mask, const QFont& font, const TTextParams& t) {
  if (img.isNull() || t.Text.isEmpty()) return;
  const QFontMetrics fm(font, &img);
  // In pixels of the control: an image with a device pixel ratio is painted
  // at its own resolution.
  const QSize size = img.deviceIndependentSize().toSize();
  const QPoint at = TextStartPoint(t.Orientation, fm.horizontalAdvance(t.Text), fm.height(),
                                   size.width(), size.height());
  if (t.Effect == feInvert) {
    if (mask == nullptr) return;
    if (mask->size() != img.size() || mask->format() != QImage::Format_RGB32) {
      *mask = QImage(img.size(), QImage::Format_RGB32);
    }
    mask->setDevicePixelRatio(img.devicePixelRatio());
    mask->setDotsPerMeterX(img.dotsPerMeterX());
    mask->setDotsPerMeterY(img.dotsPerMeterY());
    FillImage(*mask, qRgb(0, 0, 0));
    PaintText(*mask, font, t, at, qRgb(255, 255, 255), false);
    XorImage(img, *mask);
    return;
  }
  if ((t.Effect == feShadowTopLeft || t.Effect == feShadowBottomRight) && t.ShadowOffset != 0) {
    PaintText(img, font, t, at + QPoint(t.ShadowOffset, t.ShadowOffset), t.Shadow, true);
  }
  PaintText(img, font, t, at, t.Color, true);
}

}  // namespace quillon
