#include "rows/progress_cyl_styles.h"

#include <gtest/gtest.h>

#include <QWidget>
#include <set>
#include <string>

#include "rows/progress_cyl.h"

namespace quillon {
namespace {

QRgb Px(const QImage& img, int x, int y) { return img.pixel(x, y) & 0xFFFFFFu; }
QRgb Rgb(int r, int g, int b) { return qRgb(r, g, b) & 0xFFFFFFu; }

TEST(ProgressCylStylesTest, ApplyingALookShowsAHiddenControl) {
  QWidget parent;
  auto* c = new TProgressCyl(&parent);
  c->hide();
  c->SetProEffect(peCustom);  // only stored
  EXPECT_TRUE(c->isHidden());
  c->SetProEffect(peGlassRed);
  EXPECT_FALSE(c->isHidden());
  EXPECT_EQ(c->ProEffect(), peGlassRed);
}

TEST(ProgressCylStylesTest, LookIsAppliedHiddenAndWithTheUpdatingFlag) {
  QWidget parent;
  auto* c = new TProgressCyl(&parent);
  c->SetBorderWidth(1);
  c->SetPosition(100);
  int calls = 0;
  c->OnProgressDone = [&calls](TProgressCyl* sender) {
    ++calls;
    EXPECT_TRUE(sender->Updating());
    EXPECT_TRUE(sender->isHidden());
  };
  c->SetProEffect(demoSystem);  // sets the border back to 2: the edge moves
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(c->Updating());
  EXPECT_EQ(c->ProEffect(), demoSystem);
}

TEST(ProgressCylStylesTest, GlassOrangeSetsColoursAndStylesButNotTheFrame) {
  QWidget parent;
  auto* c = new TProgressCyl(&parent);
  c->SetBorderWidth(1);
  c->SetBevelInner(bvLowered);
  c->SetBevelOuter(bvRaised);
  c->SetShowText(false);
  c->SetFontColor(clRed);
  c->SetCylinderEffect(ceLow);
  c->SetProEffect(peGlassOrange);
  EXPECT_EQ(c->BorderWidth(), 1);
  EXPECT_EQ(c->BevelInner(), bvLowered);
  EXPECT_EQ(c->BevelOuter(), bvRaised);
  EXPECT_FALSE(c->ShowText());
  EXPECT_EQ(c->FontColor(), clBlack);
  EXPECT_EQ(c->BackBorderColor(), clBlack);
  EXPECT_EQ(c->Color(), clBtnFace);
  EXPECT_EQ(c->BevelColor(), clBtnFace);
  EXPECT_EQ(c->CylinderEffect(), ceMaximum);
  EXPECT_EQ(c->FontEffect(), feNone);
  EXPECT_EQ(c->ForeColor(), RGBToColor(255, 128, 0));
  EXPECT_EQ(c->BackColor(), RGBToColor(192, 192, 192));
  EXPECT_EQ(c->ForeLineColor(), RGBToColor(128, 0, 0));
  EXPECT_EQ(c->ForeStyle().Values(), ShadingStyle(2));
  EXPECT_EQ(c->BackStyle().Values(), ShadingStyle(2));

  // Manual changes afterwards make the look custom and keep the values.
  c->SetBevelWidth(2);
  EXPECT_EQ(c->ProEffect(), peGlassOrange);
  c->SetForeColor(RGBToColor(1, 2, 3));
  EXPECT_EQ(c->ProEffect(), peCustom);
  EXPECT_EQ(c->BackColor(), RGBToColor(192, 192, 192));
}

TEST(ProgressCylStylesTest, DemoLooksSetFrameAndTextVisibility) {
  QWidget parent;
  auto* c = new TProgressCyl(&parent);
  c->SetProEffect(demoMetal);
  EXPECT_FALSE(c->ShowText());
  EXPECT_EQ(c->BevelOuter(), bvNone);
  EXPECT_EQ(c->BevelInner(), bvLowered);
  EXPECT_EQ(c->BorderWidth(), 2);
  EXPECT_EQ(c->FontShadowColor(), RGBToColor(255, 255, 255));
  EXPECT_EQ(c->ForeStyle().Values(), ShadingStyle(5));
  c->SetProEffect(demoSunken);
  EXPECT_TRUE(c->ShowText());
  EXPECT_EQ(c->BevelInner(), bvRaised);
  EXPECT_EQ(c->FontEffect(), feInvert);
  EXPECT_TRUE(c->HasTextMask());
  EXPECT_EQ(c->BackStyle().Values(), ShadingStyle(6));
  EXPECT_EQ(c->ForeStyle().Values(), ShadingStyle(1));
  c->SetProEffect(demoSystem);
  EXPECT_TRUE(c->ShowText());
  EXPECT_EQ(c->BevelOuter(), bvLowered);
  EXPECT_FALSE(c->HasTextMask());
}

TEST(ProgressCylStylesTest, EveryLookApplies) {
  QWidget parent;
  auto* c = new TProgressCyl(&parent);
  std::set<std::string> names;
  for (int i = 0; i < kProEffectCount; ++i) {
    const auto look = static_cast<TProEffect>(i);
    names.insert(ProEffectName(look));
    if (look == peCustom) continue;
    c->SetForeColor(RGBToColor(1, 2, 3));
    c->SetProEffect(look);
    SCOPED_TRACE(ProEffectName(look));
    EXPECT_EQ(c->ProEffect(), look);
    EXPECT_FALSE(c->Updating());
    EXPECT_NE(c->ForeColor(), RGBToColor(1, 2, 3));
    EXPECT_EQ(c->CylinderEffect(), look == peUpLoad1 || look == peUpLoad2 ? ceHigh : ceMaximum);
    EXPECT_FALSE(c->Bitmap().isNull());
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(kProEffectCount));
  EXPECT_EQ(std::string(ProEffectName(peMetalLightBlue)), "peMetalLightBlue");
  EXPECT_EQ(ShadingStyle(0), ShadingStyle(1));
  EXPECT_EQ(ShadingStyle(13), ShadingStyle(1));
  EXPECT_EQ(ShadingStyle(1), TPCStyleValues{});
}

TEST(ProgressCylStylesTest, LookPixelsFollowTheirStyles) {
  QWidget parent;
  auto* c = new TProgressCyl(&parent);
  c->SetShowText(false);
  c->SetPosition(50);
  // Content rows 4..17, row step 18.
  c->SetProEffect(peGlassOrange);
  // S2 (ColorFactor +1): darkest at counter 0 on row 8; orange fractions
  // 1, 0.6265, 0.25.
  EXPECT_EQ(Px(c->Bitmap(), 20, 8), Rgb(255, 159, 63));
  EXPECT_EQ(Px(c->Bitmap(), 20, 5), Rgb(255, 193, 77));
  c->SetProEffect(peMetalRed);
  // S4 turns 255 into -1.21625 and 0 into 0.25, with counters from
  // trunc(14 / -1.5) = -9: the dark band lies two thirds down, on row 13.
  EXPECT_EQ(Px(c->Bitmap(), 20, 13), Rgb(121, 0, 0));
  EXPECT_EQ(Px(c->Bitmap(), 20, 12), Rgb(143, 0, 0));
  EXPECT_EQ(Px(c->Bitmap(), 20, 5), Rgb(255, 0, 0));
  EXPECT_EQ(Px(c->Bitmap(), 120, 13), Rgb(121, 121, 121));
}

}  // namespace
}  // namespace quillon
