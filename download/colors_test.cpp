#include "download/colors.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QPalette>

namespace quillon {
namespace {

TEST(ColorsTest, PlainColoursAreTheirOwnRGB) {
  EXPECT_EQ(RGBToColor(1, 2, 3), 0x030201);
  EXPECT_EQ(RedOf(0x030201), 1);
  EXPECT_EQ(GreenOf(0x030201), 2);
  EXPECT_EQ(BlueOf(0x030201), 3);
  EXPECT_EQ(ColorToRGB(clRed), RGBToColor(255, 0, 0));
  EXPECT_EQ(ColorToRGB(0x7F123456), 0x123456);  // upper byte ignored
  EXPECT_EQ(ToQColor(clBlue), QColor(0, 0, 255));
  EXPECT_EQ(FromQColor(QColor(10, 20, 30)), RGBToColor(10, 20, 30));
}

TEST(ColorsTest, SystemColoursResolveThroughThePalette) {
  const QPalette p = QApplication::palette();
  EXPECT_TRUE(IsSystemColor(clBtnFace));
  EXPECT_FALSE(IsSystemColor(clWhite));
  EXPECT_EQ(ColorToRGB(clBtnFace), FromQColor(p.color(QPalette::Active, QPalette::Button)));
  EXPECT_EQ(ColorToRGB(clHighlight), FromQColor(p.color(QPalette::Active, QPalette::Highlight)));
  EXPECT_EQ(ColorToRGB(clWindow), FromQColor(p.color(QPalette::Active, QPalette::Base)));
  EXPECT_EQ(ColorToRGB(clBtnShadow), FromQColor(p.color(QPalette::Active, QPalette::Dark)));
  // An index the palette does not know still gives a colour.
  EXPECT_EQ(ColorToRGB(clSystemColor | 99), RGBToColor(240, 240, 240));
}

TEST(ColorsTest, ShiftClampsEachChannel) {
  EXPECT_EQ(ShiftColor(RGBToColor(250, 100, 0), 64), RGBToColor(255, 164, 64));
  EXPECT_EQ(ShiftColor(RGBToColor(250, 100, 0), -64), RGBToColor(186, 36, 0));
}

}  // namespace
}  // namespace quillon
