#include "rows/progress_cyl.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QPalette>
#include <climits>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace quillon {
namespace {

// 24-bit pixel value (the top byte of an RGB32 pixel carries nothing).
QRgb Px(const QImage& img, int x, int y) { return img.pixel(x, y) & 0xFFFFFFu; }
QRgb Rgb(int r, int g, int b) { return qRgb(r, g, b) & 0xFFFFFFu; }

// A default control (150 x 22, border 2, bevel width 1: content inset 4,
// content height 14, row step 255 div 14 = 18) with plain colours so that the
// expected pixels are known numbers: fore white (fractions 1), edge line blue,
// empty part 200, 100, 0 (fractions 0.838, 0.544, 0.25). No text.
std::unique_ptr<TProgressCyl> MakeBar() {
  auto c = std::make_unique<TProgressCyl>();
  c->SetShowText(false);
  c->SetForeColor(RGBToColor(255, 255, 255));
  c->SetForeLineColor(RGBToColor(0, 0, 255));
  c->SetBackColor(RGBToColor(200, 100, 0));
  return c;
}

// Row 10 of the default horizontal bar: counter 2, brightness 255 - 2 * 18.
const QRgb kForeRow10 = Rgb(219, 219, 219);
const QRgb kLineRow10 = Rgb(54, 54, 219);
const QRgb kBackRow10 = Rgb(183, 119, 54);

TEST(ProgressCylTest, ConstructorValues) {
  TProgressCyl c;
  EXPECT_TRUE(c.Ready());
  EXPECT_FALSE(c.Updating());
  EXPECT_EQ(c.width(), 150);
  EXPECT_EQ(c.height(), 22);
  EXPECT_EQ(c.BackBorderColor(), clBlack);
  EXPECT_EQ(c.BackColor(), clBtnFace);
  EXPECT_EQ(c.BevelColor(), clBtnFace);
  EXPECT_EQ(c.BevelInner(), bvRaised);
  EXPECT_EQ(c.BevelOuter(), bvLowered);
  EXPECT_EQ(c.BevelWidth(), 1);
  EXPECT_EQ(c.BorderWidth(), 2);
  EXPECT_EQ(c.CylinderEffect(), ceMaximum);
  EXPECT_EQ(c.FontEffect(), feShadowBottomRight);
  EXPECT_EQ(c.FontOrientation(), foLeftToRight);
  EXPECT_EQ(c.FontShadowColor(), clBtnFace);
  EXPECT_EQ(c.ForeColor(), clWhite);
  EXPECT_EQ(c.ForeLineColor(), clHighlight);
  EXPECT_EQ(c.Min(), 0);
  EXPECT_EQ(c.Max(), 100);
  EXPECT_EQ(c.Position(), 0);
  EXPECT_EQ(c.Orientation(), pbHorizontal);
  EXPECT_EQ(c.ProEffect(), demoSystem);
  EXPECT_TRUE(c.ShowText());
  EXPECT_EQ(c.Text(), "%");
  EXPECT_EQ(c.TextDone(), "Done");
  EXPECT_EQ(c.Step(), 1);
  EXPECT_TRUE(c.StopAtMax());
  EXPECT_EQ(c.Color(), clBtnFace);
  EXPECT_EQ(c.font().family(), "Arial");
  EXPECT_EQ(c.font().pointSize(), 9);
  EXPECT_TRUE(c.font().bold());
  EXPECT_EQ(c.ForeStyle().Values(), TPCStyleValues{});
  EXPECT_EQ(c.BackStyle().Values(), TPCStyleValues{});
  EXPECT_EQ(c.ContentInset(), 4);
  EXPECT_EQ(c.BevelInset(), 3);
  EXPECT_EQ(c.RowStep(), 18.0f);
  EXPECT_EQ(c.ColumnStep(), 1.0f);
  EXPECT_EQ(c.DisplayText(), "0%");
  EXPECT_FALSE(c.Bitmap().isNull());
  EXPECT_EQ(c.Bitmap().size(), QSize(150, 22));
}

TEST(ProgressCylTest, ColourFractionsOfTheDefaultStyle) {
  const TPCStyleValues s;
  EXPECT_FLOAT_EQ(ChannelFraction(255, s), 1.0f);
  EXPECT_FLOAT_EQ(ChannelFraction(0, s), 0.25f);
  EXPECT_FLOAT_EQ(ChannelFraction(100, s), (0.75f * 100 + 63.75f) / 255);
  // Saturation and truncation toward zero of the pixel rule.
  EXPECT_EQ(ShadeChannel(0, 18, s, 2.0f), 255);
  EXPECT_EQ(ShadeChannel(20, 18, s, 1.0f), 0);  // 255 - 360 < 0
  EXPECT_EQ(ShadeChannel(-3, 18, s, 0.5f), 100);  // 201 * 0.5 = 100.5
}

TEST(ProgressCylTest, HorizontalFillEdge) {
  auto c = MakeBar();
  // At Min one column is still filled: the edge line lies on f + 1.
  EXPECT_EQ(c->Edge(), 5);
  EXPECT_EQ(Px(c->Bitmap(), 4, 10), Rgb(0, 0, 0));  // the one-pixel frame
  EXPECT_EQ(Px(c->Bitmap(), 5, 10), kLineRow10);
  EXPECT_EQ(Px(c->Bitmap(), 6, 10), kBackRow10);

  c->SetPosition(45);
  EXPECT_EQ(c->Edge(), 67);
  EXPECT_EQ(Px(c->Bitmap(), 66, 10), kForeRow10);
  EXPECT_EQ(Px(c->Bitmap(), 67, 10), kLineRow10);
  EXPECT_EQ(Px(c->Bitmap(), 68, 10), kBackRow10);

  // At Max the edge lies just right of the content, under the inner bevel;
  // without an inner bevel the edge line shows there.
  c->SetBevelInner(bvNone);
  c->SetPosition(100);
  EXPECT_EQ(c->Edge(), 146);
  EXPECT_EQ(Px(c->Bitmap(), 144, 10), kForeRow10);
  EXPECT_EQ(Px(c->Bitmap(), 145, 10), Rgb(0, 0, 0));
  EXPECT_EQ(Px(c->Bitmap(), 146, 10), kLineRow10);
}

TEST(ProgressCylTest, VerticalFillEdge) {
  auto c = MakeBar();
  c->SetOrientation(pbVertical);
  c->SetBounds(0, 0, 25, 100);
  c->SetBevelInner(bvNone);
  // Content 17 wide: column step 15, counters from trunc(17 / -3) = -5, so
  // column 12 has counter 3 and brightness 255 - 45 = 210 in every row.
  ASSERT_EQ(c->ColumnStep(), 15.0f);
  const QRgb fore = Rgb(210, 210, 210), line = Rgb(52, 52, 210), back = Rgb(176, 114, 52);

  // At Min no row is filled; the edge row lies just below the content.
  EXPECT_EQ(c->Edge(), 96);
  for (int y = 5; y <= 94; ++y) ASSERT_EQ(Px(c->Bitmap(), 12, y), back) << y;
  EXPECT_EQ(Px(c->Bitmap(), 12, 96), line);

  c->SetPosition(45);
  EXPECT_EQ(c->Edge(), 55);
  EXPECT_EQ(Px(c->Bitmap(), 12, 54), back);
  EXPECT_EQ(Px(c->Bitmap(), 12, 55), line);
  EXPECT_EQ(Px(c->Bitmap(), 12, 56), fore);
  EXPECT_EQ(Px(c->Bitmap(), 12, 94), fore);

  c->SetPosition(100);
  EXPECT_EQ(c->Edge(), 4);
  for (int y = 5; y <= 94; ++y) ASSERT_EQ(Px(c->Bitmap(), 12, y), fore) << y;
  // The colour changes across the bar, not along it.
  EXPECT_EQ(Px(c->Bitmap(), 9, 50), Rgb(255, 255, 255));
}

TEST(ProgressCylTest, DefaultStyleIsBrightestOneThirdDown) {
  auto c = MakeBar();
  c->SetPosition(50);
  const QImage& img = c->Bitmap();
  // Counters start at trunc(14 / -3) = -4 on row 4: row 8 has counter 0.
  EXPECT_EQ(Px(img, 20, 8), Rgb(255, 255, 255));
  EXPECT_EQ(Px(img, 20, 5), Rgb(201, 201, 201));   // counter -3
  EXPECT_EQ(Px(img, 20, 16), Rgb(111, 111, 111));  // counter 8
  EXPECT_EQ(Px(img, 120, 8), Rgb(213, 138, 63));   // 255 x fractions
  EXPECT_EQ(Px(img, 120, 5), Rgb(168, 109, 50));   // 201 x fractions
  for (int y = 5; y <= 16; ++y) {
    EXPECT_LE(qRed(Px(img, 20, y)), qRed(Px(img, 20, 8)));
    EXPECT_LE(qRed(Px(img, 120, y)), qRed(Px(img, 120, 8)));
  }
  // Darker towards both edges.
  EXPECT_LT(qRed(Px(img, 20, 16)), qRed(Px(img, 20, 12)));
  EXPECT_LT(qRed(Px(img, 20, 5)), qRed(Px(img, 20, 7)));
}

TEST(ProgressCylTest, FlatEffectGivesAFlatBar) {
  auto c = MakeBar();
  c->SetPosition(50);
  c->SetCylinderEffect(ceFlat);
  EXPECT_EQ(c->RowStep(), 0.0f);
  EXPECT_EQ(c->ColumnStep(), 0.0f);
  const QImage& img = c->Bitmap();
  for (int y = 5; y <= 16; ++y) {
    EXPECT_EQ(Px(img, 20, y), Rgb(255, 255, 255)) << y;
    EXPECT_EQ(Px(img, 120, y), Rgb(213, 138, 63)) << y;
  }
}

TEST(ProgressCylTest, BevelPairsAndFrameColours) {
  auto c = MakeBar();
  c->SetColor(RGBToColor(10, 20, 30));
  c->SetBackBorderColor(RGBToColor(1, 2, 3));
  c->SetBevelColor(RGBToColor(100, 100, 200));
  const TColor hl = RGBToColor(164, 164, 255), sh = RGBToColor(36, 36, 136);
  EXPECT_EQ(c->BevelHighlight(), hl);
  EXPECT_EQ(c->BevelShadow(), sh);
  EXPECT_EQ(c->BevelLight(), hl);
  EXPECT_EQ(c->BevelDark(), sh);
  // Outer lowered: (shadow, highlight); inner raised with a border:
  // (highlight, shadow).
  EXPECT_EQ(c->OuterPair(), std::pair(sh, hl));
  EXPECT_EQ(c->InnerPair(), std::pair(hl, sh));
  const QImage& img = c->Bitmap();
  const QRgb hlp = Rgb(164, 164, 255), shp = Rgb(36, 36, 136);
  EXPECT_EQ(Px(img, 0, 10), shp);     // outer left
  EXPECT_EQ(Px(img, 60, 0), shp);     // outer top
  EXPECT_EQ(Px(img, 149, 10), hlp);   // outer right
  EXPECT_EQ(Px(img, 60, 21), hlp);    // outer bottom
  EXPECT_EQ(Px(img, 1, 10), Rgb(10, 20, 30));  // border ring in Color
  EXPECT_EQ(Px(img, 2, 10), Rgb(10, 20, 30));
  EXPECT_EQ(Px(img, 3, 10), hlp);     // inner left
  EXPECT_EQ(Px(img, 60, 3), hlp);     // inner top
  EXPECT_EQ(Px(img, 146, 10), shp);   // inner right
  EXPECT_EQ(Px(img, 60, 18), shp);    // inner bottom
  EXPECT_EQ(Px(img, 4, 10), Rgb(1, 2, 3));  // one-pixel frame
  EXPECT_EQ(Px(img, 60, 17), Rgb(1, 2, 3));

  // Channels are clamped.
  c->SetBevelColor(RGBToColor(250, 30, 128));
  EXPECT_EQ(c->BevelHighlight(), RGBToColor(255, 94, 192));
  EXPECT_EQ(c->BevelShadow(), RGBToColor(186, 0, 64));
}

TEST(ProgressCylTest, BevelPairTable) {
  TProgressCyl c;
  // clBtnFace gives four distinct system colours.
  const TColor hl = clBtnHighlight, sh = clBtnShadow, light = cl3DLight, dark = cl3DDkShadow;
  c.SetBorderWidth(0);
  c.SetBevelOuter(bvLowered);
  c.SetBevelInner(bvLowered);
  EXPECT_EQ(c.InnerPair(), std::pair(dark, light));
  EXPECT_EQ(c.OuterPair(), std::pair(sh, hl));
  c.SetBevelOuter(bvRaised);
  EXPECT_EQ(c.InnerPair(), std::pair(sh, hl));
  c.SetBevelInner(bvRaised);
  EXPECT_EQ(c.InnerPair(), std::pair(light, sh));
  EXPECT_EQ(c.OuterPair(), std::pair(hl, dark));
  c.SetBorderWidth(1);
  EXPECT_EQ(c.InnerPair(), std::pair(hl, sh));
  EXPECT_EQ(c.OuterPair(), std::pair(hl, sh));
  c.SetBevelInner(bvSpace);
  c.SetBevelOuter(bvSpace);
  EXPECT_EQ(c.InnerPair(), std::pair(clBtnFace, clBtnFace));
  EXPECT_EQ(c.OuterPair(), std::pair(clBtnFace, clBtnFace));
  // A bvNone bevel draws nothing: the pixel keeps Color.
  c.SetColor(RGBToColor(9, 8, 7));
  c.SetBevelOuter(bvNone);
  EXPECT_EQ(Px(c.Bitmap(), 0, 10), Rgb(9, 8, 7));
}

TEST(ProgressCylTest, TextStartPoints) {
  EXPECT_EQ(TextStartPoint(foLeftToRight, 30, 14, 150, 22), QPoint(60, 5));
  EXPECT_EQ(TextStartPoint(foTopToBottom, 30, 14, 25, 100), QPoint(18, 35));
  EXPECT_EQ(TextStartPoint(foBottomToTop, 30, 14, 25, 100), QPoint(6, 65));
  // Divisions round toward zero, also for text wider than the control.
  EXPECT_EQ(TextStartPoint(foLeftToRight, 33, 14, 30, 11), QPoint(-1, 0));
}

TEST(ProgressCylTest, DisplayText) {
  TProgressCyl c;
  c.SetPosition(45);
  EXPECT_EQ(c.DisplayText(), "45%");
  c.SetText(" percent");
  EXPECT_EQ(c.DisplayText(), "45 percent");
  c.SetPosition(100);
  EXPECT_EQ(c.DisplayText(), "Done");
  c.SetTextDone("");
  EXPECT_EQ(c.DisplayText(), "100 percent");
}

// Bounding box of the pixels that differ between two images.
QRect Changed(const QImage& a, const QImage& b, int* count = nullptr) {
  QRect box;
  int n = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (Px(a, x, y) != Px(b, x, y)) {
        box |= QRect(x, y, 1, 1);
        ++n;
      }
    }
  }
  if (count != nullptr) *count = n;
  return box;
}

TEST(ProgressCylTest, TextLiesInItsCellForEachOrientation) {
  struct Case {
    TProgressBarOrientation bar;
    TFontOrientation text;
    QSize size;
  };
  for (const Case& k : {Case{pbHorizontal, foLeftToRight, {150, 22}},
                        Case{pbVertical, foBottomToTop, {25, 100}},
                        Case{pbVertical, foTopToBottom, {25, 100}}}) {
    auto c = MakeBar();
    c->SetOrientation(k.bar);
    c->SetFontOrientation(k.text);
    c->SetBounds(0, 0, k.size.width(), k.size.height());
    c->SetFontEffect(feNone);
    c->SetFontColor(RGBToColor(255, 0, 0));
    c->SetPosition(45);
    const QImage without = c->Bitmap().copy();
    c->SetShowText(true);
    const QImage with = c->Bitmap().copy();
    const QFontMetrics fm(c->font(), &with);
    const int w = fm.horizontalAdvance("45%"), h = fm.height();
    const QPoint at = TextStartPoint(k.text, w, h, k.size.width(), k.size.height());
    QRect cell;
    switch (k.text) {
      case foLeftToRight: cell = QRect(at.x(), at.y(), w, h); break;
      case foBottomToTop: cell = QRect(at.x(), at.y() - w, h, w); break;
      case foTopToBottom: cell = QRect(at.x() - h, at.y(), h, w); break;
    }
    int n = 0;
    const QRect ink = Changed(without, with, &n);
    SCOPED_TRACE(k.text);
    EXPECT_GT(n, 20);
    EXPECT_TRUE(cell.adjusted(-1, -1, 1, 1).contains(ink)) << ink.x() << "," << ink.y() << " "
                                                          << ink.width() << "x" << ink.height();
    // Turned text is taller than wide.
    if (k.text == foLeftToRight) {
      EXPECT_GT(ink.width(), ink.height());
    } else {
      EXPECT_GT(ink.height(), ink.width());
    }
    // On a screen of two device pixels per pixel the text is drawn at that
    // resolution in the same cell.
    QImage bar(k.size, QImage::Format_RGB32);
    c->PaintBarTo(bar);
    QImage sharp = bar.scaled(k.size * 2);
    sharp.setDevicePixelRatio(2);
    const QImage sharp_without = sharp.copy();
    QImage mask;
    c->PaintTextTo(sharp, &mask);
    const QRect sharp_ink = Changed(sharp_without, sharp, &n);
    const QRect sharp_cell(cell.topLeft() * 2, cell.size() * 2);
    EXPECT_TRUE(sharp_cell.adjusted(-2, -2, 2, 2).contains(sharp_ink))
        << sharp_ink.x() << "," << sharp_ink.y() << " " << sharp_ink.width() << "x" << sharp_ink.height();
    EXPECT_GT(sharp_ink.height(), ink.height() * 3 / 2);
  }
}

TEST(ProgressCylTest, InvertedTextTurnsPixelsToTheirInverse) {
  auto c = MakeBar();
  c->SetPosition(45);
  c->SetFontEffect(feInvert);
  EXPECT_FALSE(c->HasTextMask());  // the text is hidden
  const QImage without = c->Bitmap().copy();
  c->SetShowText(true);
  EXPECT_TRUE(c->HasTextMask());
  const QImage with = c->Bitmap().copy();
  int inverted = 0;
  for (int y = 0; y < with.height(); ++y) {
    for (int x = 0; x < with.width(); ++x) {
      const QRgb before = Px(without, x, y), after = Px(with, x, y);
      if (after != before) {
        ASSERT_EQ(after, before ^ 0xFFFFFFu) << x << "," << y;
        ++inverted;
      }
    }
  }
  EXPECT_GT(inverted, 20);
  c->SetFontEffect(feShadowTopLeft);
  EXPECT_FALSE(c->HasTextMask());
  c->SetFontEffect(feInvert);
  EXPECT_TRUE(c->HasTextMask());
  c->SetShowText(false);
  EXPECT_FALSE(c->HasTextMask());
}

TEST(ProgressCylTest, ShadowIsDrawnAtTheOffset) {
  auto c = MakeBar();
  c->SetPosition(45);
  c->SetFontShadowColor(RGBToColor(0, 255, 0));
  const QImage bare = c->Bitmap().copy();
  c->SetShowText(true);
  c->SetFontEffect(feNone);
  const QImage plain = c->Bitmap().copy();
  const QRect ink = Changed(bare, plain);
  ASSERT_FALSE(ink.isEmpty());
  // The shadow shows where the text moved by the offset is not covered.
  c->SetFontEffect(feShadowTopLeft);
  const QRect top_left = Changed(plain, c->Bitmap());
  EXPECT_EQ(top_left.left(), ink.left() - 1);
  EXPECT_EQ(top_left.top(), ink.top() - 1);
  EXPECT_LE(top_left.right(), ink.right());
  c->SetFontEffect(feShadowBottomRight);
  const QRect bottom_right = Changed(plain, c->Bitmap());
  EXPECT_EQ(bottom_right.right(), ink.right() + 1);
  EXPECT_EQ(bottom_right.bottom(), ink.bottom() + 1);
  EXPECT_GE(bottom_right.left(), ink.left());
}

// Paints into a view of a larger buffer and checks that nothing around the
// view changed.
void ExpectNoWriteOutside(TProgressCyl& c) {
  const int w = c.width(), h = c.height(), stride = w + 2;
  const QRgb sentinel = 0x12345678u;
  std::vector<QRgb> buffer(static_cast<size_t>(stride) * (h + 2), sentinel);
  QImage view(reinterpret_cast<uchar*>(&buffer[stride + 1]), w, h, stride * 4,
              QImage::Format_RGB32);
  c.PaintTo(view);
  for (int y = 0; y < h + 2; ++y) {
    for (int x = 0; x < stride; ++x) {
      const bool inside = y >= 1 && y <= h && x >= 1 && x <= w;
      if (!inside) {
        ASSERT_EQ(buffer[y * stride + x], sentinel) << x << "," << y;
      }
    }
  }
  // Nothing of the view was left unpainted either.
  for (int y = 1; y <= h; ++y) {
    for (int x = 1; x <= w; ++x) ASSERT_NE(buffer[y * stride + x], sentinel);
  }
}

TEST(ProgressCylTest, InsetZeroWritesNothingOutsideTheImage) {
  auto c = MakeBar();
  c->SetShowText(true);
  c->SetBorderWidth(0);
  c->SetBevelWidth(0);
  ASSERT_EQ(c->ContentInset(), 0);
  c->SetPosition(100);
  EXPECT_EQ(c->Edge(), 150);  // one column right of the image
  ExpectNoWriteOutside(*c);
  // Row step 255 div 22 = 11, counters from trunc(22 / -3) = -7: row 10 is 222.
  EXPECT_EQ(Px(c->Bitmap(), 148, 10), Rgb(222, 222, 222));

  c->SetOrientation(pbVertical);
  c->SetBounds(0, 0, 25, 100);
  c->SetPosition(0);
  EXPECT_EQ(c->Edge(), 100);  // one row below the image
  ExpectNoWriteOutside(*c);
  c->SetPosition(100);
  ExpectNoWriteOutside(*c);
}

TEST(ProgressCylTest, PositionIsClamped) {
  TProgressCyl c;
  c.SetPosition(150);
  EXPECT_EQ(c.Position(), 100);
  EXPECT_EQ(c.Percentage(), 100);
  c.SetPosition(-5);
  EXPECT_EQ(c.Position(), 0);
  EXPECT_EQ(c.Percentage(), 0);
}

TEST(ProgressCylTest, MinAndMaxRules) {
  TProgressCyl c;
  c.SetMin(100);  // equal to Max
  EXPECT_EQ(c.Min(), 99);
  c.SetMin(200);  // above Max: not stored
  EXPECT_EQ(c.Min(), 99);
  c.SetMin(0);
  c.SetMax(0);  // equal to Min
  EXPECT_EQ(c.Max(), 1);
  c.SetMax(-10);  // below Min: not stored
  EXPECT_EQ(c.Max(), 1);

  c.SetMax(100);
  c.SetPosition(10);
  c.SetMin(20);
  EXPECT_EQ(c.Position(), 20);
  EXPECT_EQ(c.Percentage(), 0);
  c.SetPosition(90);
  c.SetMax(50);
  EXPECT_EQ(c.Position(), 50);
  EXPECT_EQ(c.Percentage(), 100);

  // The widest range works without overflow.
  c.SetMin(INT_MIN);
  c.SetMax(INT_MAX);
  c.SetPosition(0);
  EXPECT_EQ(c.Percentage(), 50);
  c.SetMax(INT_MIN);  // equal to Min: Min + 1
  EXPECT_EQ(c.Max(), INT_MIN + 1);
  c.SetMin(INT_MAX);  // above Max
  EXPECT_EQ(c.Min(), INT_MIN);
}

TEST(ProgressCylTest, RefusedBevelAndBorderValuesKeepTheOldValue) {
  auto c = MakeBar();
  c->SetPosition(30);
  const QImage before = c->Bitmap().copy();
  c->SetBevelWidth(5);  // inset 2 + 10 leaves no content in 22 rows
  EXPECT_EQ(c->BevelWidth(), 1);
  c->SetBorderWidth(9);
  EXPECT_EQ(c->BorderWidth(), 2);
  c->SetBorderWidth(-1);
  EXPECT_EQ(c->BorderWidth(), 2);
  c->SetBevelWidth(-1);
  EXPECT_EQ(c->BevelWidth(), 1);
  EXPECT_EQ(c->Bitmap(), before);
  c->SetBorderWidth(7);  // inset 9: four rows left
  EXPECT_EQ(c->BorderWidth(), 7);
  EXPECT_EQ(c->ContentInset(), 9);

  // Too small a control paints nothing and does not fail.
  c->SetBounds(0, 0, 10, 10);
  EXPECT_FALSE(c->GeometryValid());
  c->Paint();
  c->SetPosition(100);
  c->SetBounds(0, 0, 150, 22);
  EXPECT_TRUE(c->GeometryValid());
  EXPECT_EQ(c->Bitmap().size(), QSize(150, 22));
}

TEST(ProgressCylTest, StylesRefuseZeroDivisors) {
  TProgressCyl c;
  TPCColorStyle& s = c.ForeStyle();
  s.SetIntensity(0);
  s.SetRangeRGB(0);
  s.SetLightAngle(0);
  s.SetLightAngle(std::numeric_limits<float>::infinity());
  EXPECT_EQ(s.Values(), TPCStyleValues{});
  EXPECT_EQ(c.ProEffect(), demoSystem);  // nothing was accepted
  s.SetColorRGB(255);  // the current value
  EXPECT_EQ(c.ProEffect(), demoSystem);
  s.SetIntensity(2);
  EXPECT_EQ(s.Intensity(), 2.0f);
  EXPECT_EQ(c.ProEffect(), peCustom);
  // The style change recomputed the fractions: white now gives
  // ((255 * -1 + 255) / 2 + 255) / 255 = 1, black 127.5 / 255.
  EXPECT_FLOAT_EQ(c.ForeFractions().Red, 1.0f);
  c.SetForeColor(clBlack);
  EXPECT_FLOAT_EQ(c.ForeFractions().Red, 0.5f);
  // Assigning a whole style copies its values.
  TPCColorStyle other;
  other.SetLightAngle(-2);
  other.SetRangeRGB(100);
  c.SetBackStyle(other);
  EXPECT_EQ(c.BackStyle().Values(), other.Values());
}

TEST(ProgressCylTest, OrientationTurnsTheText) {
  TProgressCyl c;
  c.SetOrientation(pbVertical);
  EXPECT_EQ(c.FontOrientation(), foBottomToTop);
  c.SetFontOrientation(foTopToBottom);
  c.SetOrientation(pbHorizontal);
  EXPECT_EQ(c.FontOrientation(), foLeftToRight);
  EXPECT_EQ(c.ProEffect(), demoSystem);
}

TEST(ProgressCylTest, WhichChangesMakeTheLookCustom) {
  TProgressCyl c;
  auto keeps = [&c](const char* what, const std::function<void()>& change) {
    c.SetProEffect(peGlassOrange);
    change();
    EXPECT_EQ(c.ProEffect(), peGlassOrange) << what;
  };
  auto customs = [&c](const char* what, const std::function<void()>& change) {
    c.SetProEffect(peGlassOrange);
    change();
    EXPECT_EQ(c.ProEffect(), peCustom) << what;
  };
  keeps("BevelWidth", [&] { c.SetBevelWidth(2); });
  keeps("BevelInner", [&] { c.SetBevelInner(bvLowered); });
  keeps("BorderWidth", [&] { c.SetBorderWidth(1); });
  keeps("Orientation", [&] { c.SetOrientation(pbVertical); });
  keeps("Text", [&] { c.SetText(" %"); });
  keeps("ShowText", [&] { c.SetShowText(false); });
  keeps("Max", [&] { c.SetMax(200); });
  keeps("Position", [&] { c.SetPosition(20); });
  customs("ForeColor", [&] { c.SetForeColor(clRed); });
  customs("BackColor", [&] { c.SetBackColor(clRed); });
  customs("ForeLineColor", [&] { c.SetForeLineColor(clRed); });
  customs("BevelColor", [&] { c.SetBevelColor(clRed); });
  customs("BackBorderColor", [&] { c.SetBackBorderColor(clRed); });
  customs("FontShadowColor", [&] { c.SetFontShadowColor(clRed); });
  customs("FontEffect", [&] { c.SetFontEffect(feInvert); });
  customs("CylinderEffect", [&] { c.SetCylinderEffect(ceLow); });
  customs("BackStyle", [&] { c.BackStyle().SetColorFactor(3); });
}

TEST(ProgressCylTest, PositionRepaintsOnlyWhenEdgeOrPercentageMoves) {
  TProgressCyl c;
  c.SetMax(1000);
  c.SetPosition(500);
  const int count = c.RepaintCount();
  c.SetPosition(500);
  c.SetPosition(501);  // 50.1 %: edge and percentage unchanged
  EXPECT_EQ(c.RepaintCount(), count);
  c.SetPosition(510);  // 51 %
  EXPECT_EQ(c.RepaintCount(), count + 1);
  c.SetPosition(-3);  // clamped to 0
  EXPECT_EQ(c.RepaintCount(), count + 2);
  c.SetPosition(0);
  EXPECT_EQ(c.RepaintCount(), count + 2);
}

TEST(ProgressCylTest, ProgressDoneFiresWhenTheDrawnStateChangesAtMax) {
  TProgressCyl c;
  int done = 0;
  c.OnProgressDone = [&done, &c](TProgressCyl* sender) {
    EXPECT_EQ(sender, &c);
    ++done;
  };
  c.SetPosition(99);
  EXPECT_EQ(done, 0);
  c.SetPosition(100);
  EXPECT_EQ(done, 1);
  c.SetPosition(100);
  EXPECT_EQ(done, 1);
  c.SetBounds(0, 0, 200, 22);  // the edge moves
  EXPECT_EQ(done, 2);
  c.SetBorderWidth(1);  // so does it here
  EXPECT_EQ(done, 3);
}

TEST(ProgressCylTest, MouseEnterAndLeave) {
  TProgressCyl c;
  std::vector<std::string> seen;
  c.OnMouseEnter = [&seen](TProgressCyl*) { seen.push_back("enter"); };
  c.OnMouseLeave = [&seen](TProgressCyl*) { seen.push_back("leave"); };
  const int count = c.RepaintCount();
  QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
  QApplication::sendEvent(&c, &enter);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&c, &leave);
  EXPECT_EQ(seen, (std::vector<std::string>{"enter", "leave"}));
  EXPECT_EQ(c.RepaintCount(), count + 2);
}

TEST(ProgressCylTest, ShownControlCopiesTheOffscreenImage) {
  auto c = MakeBar();
  c->SetPosition(45);
  c->show();
  const QImage shown = c->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shown.size(), QSize(150, 22));
  EXPECT_EQ(Changed(shown, c->Bitmap()), QRect());
}

TEST(ProgressCylTest, ResizeAndFontChangesRedraw) {
  auto c = MakeBar();
  c->SetPosition(100);
  c->resize(200, 30);  // hidden: no resize event until the next frame
  EXPECT_EQ(c->Bitmap().size(), QSize(200, 30));
  EXPECT_EQ(c->Edge(), 196);
  EXPECT_EQ(c->RowStep(), 11.0f);  // 255 div 22
  const int count = c->RepaintCount();
  c->SetFontSize(8);
  EXPECT_EQ(c->font().pointSize(), 8);
  EXPECT_GT(c->RepaintCount(), count);
}

TEST(ProgressCylTest, SystemColoursFollowThePalette) {
  const QPalette saved = QApplication::palette();
  TProgressCyl c;
  c.SetShowText(false);
  c.SetPosition(50);
  QPalette p = saved;
  p.setColor(QPalette::Highlight, QColor(255, 0, 0));
  QApplication::setPalette(p);
  c.SystemColorsChanged();  // what the palette-change message does
  EXPECT_EQ(ColorToRGB(clHighlight), RGBToColor(255, 0, 0));
  EXPECT_FLOAT_EQ(c.LineFractions().Red, 1.0f);
  EXPECT_FLOAT_EQ(c.LineFractions().Green, 0.25f);
  // The edge line on row 8 (counter 0) is 255 x fractions.
  EXPECT_EQ(Px(c.Bitmap(), c.Edge(), 8), Rgb(255, 63, 63));
  QApplication::setPalette(saved);
}

}  // namespace
}  // namespace quillon
