// The enumerations of the cylinder progress indicator and its looks.
#pragma once

namespace quillon {

// Shading strength across the bar: 1, 51, 102, 153, 204, 255.
enum TCylinderEffect { ceFlat, ceUltraLow, ceLow, ceMedium, ceHigh, ceMaximum };

enum TFontEffect { feNone, feInvert, feShadowTopLeft, feShadowBottomRight };

enum TFontOrientation { foLeftToRight, foTopToBottom, foBottomToTop };

enum TProgressBarOrientation { pbHorizontal, pbVertical };

enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };

// The ready-made looks. peCustom is not a look: it marks a control whose look
// was changed by hand after a look had been applied.
enum TProEffect {
  demoSystem, demoMetal, demoSunken, peCustom,
  peGlassRed, peGlassOrange, peGlassYellow, peGlassGreen, peGlassCyan, peGlassBlue,
  peGlassViolet, peGlassPurple,
  peSystem1, peSystem2, peSystem3, peSystem4, peSystem5, peSystem6, peSystem7, peSystem8,
  peUpLoad1, peUpLoad2,
  peMetalRed, peMetalOrange, peMetalYellow, peMetalCyan, peMetalGreen, peMetalLightBlue,
  peMetalBlue, peMetalViolet, peMetalDarkGray, peMetalGold,
  peStdRed, peStdYellow, peStdGreen, peStdBlue,
};
constexpr int kProEffectCount = peStdBlue + 1;

constexpr int CylinderStrength(TCylinderEffect e) {
  switch (e) {
    case ceFlat: return 1;
    case ceUltraLow: return 51;
    case ceLow: return 102;
    case ceMedium: return 153;
    case ceHigh: return 204;
    case ceMaximum: return 255;
  }
  return 255;
}

}  // namespace quillon
