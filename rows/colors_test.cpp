#include "rows/colors.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QPalette>

#include "tests/support/test_palettes.h"

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

// Every role's surface keeps the text readable on a light and a dark palette
// (and on one whose own colours are too close); the tints are the light
// theme's colours on white, and the same hue on a dark theme.
TEST(ColorsTest, RowRolesKeepTheTextReadable) {
  const QPalette white = testing::DesktopPalette(Qt::white, Qt::black, Qt::white, Qt::blue);
  const QPalette murky = testing::DesktopPalette(QColor(90, 90, 90), QColor(150, 150, 150), Qt::black, Qt::blue);
  struct Case {
    const char* name;
    QPalette palette;
  } palettes[] = {{"white", white}, {"light", testing::LightPalette()}, {"dark", testing::DarkPalette()},
                  {"dim links", testing::DimLinkDarkPalette()}, {"murky", murky}};
  for (const Case& p : palettes) {
    const QColor window = p.palette.color(QPalette::Window);
    const QColor text = p.palette.color(QPalette::WindowText);
    for (TRowRole role : {TRowRole::kNormal, TRowRole::kPaused, TRowRole::kFailed, TRowRole::kFinished}) {
      SCOPED_TRACE(std::string(p.name) + " " + std::to_string(static_cast<int>(role)));
      const QColor c = RowRoleColor(role, p.palette);
      const bool murky = std::string(p.name) == "murky";
      // The links too, in the palette's link colour where it is readable,
      // else in one of its hue that is.
      const QColor link = RowLinkColor(role, p.palette);
      const QColor palette_link = p.palette.color(QPalette::Link);
      EXPECT_GE(testing::Contrast(link, c), kMinTextContrast) << link.name().toStdString();
      if (testing::Contrast(palette_link, c) >= kMinTextContrast) {
        EXPECT_EQ(link, palette_link);
      } else {
        EXPECT_GT(link.blue(), link.red() + 8) << link.name().toStdString();
      }
      if (role == TRowRole::kNormal || role == TRowRole::kPaused) {
        EXPECT_EQ(c, window);  // the list's own colour
        if (murky) continue;
      }
      EXPECT_GE(testing::Contrast(text, c), kMinTextContrast) << c.name().toStdString();
      if (murky || c == window) continue;
      if (role == TRowRole::kFinished) {
        EXPECT_TRUE(c.red() == c.green() && c.green() == c.blue()) << c.name().toStdString();
      } else if (role == TRowRole::kFailed) {
        EXPECT_GT(c.red(), c.green() + 8) << c.name().toStdString();
      }
      if (role == TRowRole::kFailed || role == TRowRole::kFinished) {
        // Darker than a light window, lighter than a dark one.
        EXPECT_EQ(c.lightness() < window.lightness(), window.lightness() > 128) << c.name().toStdString();
      }
    }
  }
  EXPECT_EQ(RowRoleColor(TRowRole::kFinished, white), QColor(233, 233, 233));
  EXPECT_EQ(RowRoleColor(TRowRole::kFailed, white), QColor(255, 236, 236));
}

}  // namespace
}  // namespace quillon
