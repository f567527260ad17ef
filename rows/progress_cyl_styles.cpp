#include "rows/progress_cyl_styles.h"

#include <array>
#include <optional>

#include "rows/progress_cyl.h"

namespace quillon {

namespace {

const std::array<TPCStyleValues, 12> kStyles = {{
    {255, 4.0f, -1.0f, 255, 255, -1.0f, -3.0f},            // S1
    {255, 4.0f, -1.0f, 255, 255, 1.0f, -3.0f},             // S2
    {255, 3.0f, -0.8f, 255, 200, 1.0f, -3.0f},             // S3
    {-100, 4.0f, -1.7f, -100, -100, -1.0f, -1.5f},         // S4
    {-100, 4.0f, -1.7f, -100, -100, -1.0f, -1.6f},         // S5
    {255, 2.0f, -1.0f, 153, 0, 1.0f, -3.0f},               // S6
    {-50, 8.0f, -1.5f, -150, -80, -1.0f, -1.5f},           // S7
    {255, 4.0f, -1.5f, 153, 0, 1.0f, -3.0f},               // S8
    {200, 4.0f, -0.5f, 200, 200, -1.2f, -3.0f},            // S9
    {255, 4.0f, -1.5f, 153, 0, 1.0f, -3.2f},               // S10
    {-100, 4.0f, -1.5f, -80, -100, -1.0f, -1.5f},          // S11
    {-100, 4.0f, -1.5f, -80, -100, -1.5f, -1.5f},          // S12
}};

// Bevels, border and text visibility of the three demo looks.
struct TFrameValues {
  TBevelCut Outer;
  TBevelCut Inner;
  int Border;
  bool ShowText;
};

struct TLook {
  TProEffect Look;
  const char* Name;
  TFontEffect FontEffect;
  std::optional<TColor> FontShadowColor;
  TColor ForeColor;
  TColor BackColor;
  TColor ForeLineColor;
  int BackStyle;
  int ForeStyle;
  std::optional<TFrameValues> Frame;
};

constexpr TColor C(int r, int g, int b) { return RGBToColor(r, g, b); }
constexpr std::nullopt_t kNoShadow = std::nullopt;
constexpr TColor kWhite = C(255, 255, 255);
constexpr TColor kBlack = C(0, 0, 0);

const TLook kLooks[] = {
    {demoSystem, "demoSystem", feShadowBottomRight, clBtnFace, clBtnFace, kWhite, clHighlight, 1, 1,
     TFrameValues{bvLowered, bvRaised, 2, true}},
    {demoMetal, "demoMetal", feShadowBottomRight, kWhite, C(127, 212, 255), kWhite, kBlack, 5, 5,
     TFrameValues{bvNone, bvLowered, 2, false}},
    {demoSunken, "demoSunken", feInvert, kBlack, kWhite, C(128, 0, 0), C(255, 0, 0), 6, 1,
     TFrameValues{bvNone, bvRaised, 2, true}},
    {peGlassRed, "peGlassRed", feNone, kNoShadow, C(204, 0, 0), C(128, 128, 128), kWhite, 2, 3, {}},
    {peGlassOrange, "peGlassOrange", feNone, kNoShadow, C(255, 128, 0), C(192, 192, 192), C(128, 0, 0),
     2, 2, {}},
    {peGlassYellow, "peGlassYellow", feNone, kNoShadow, C(206, 206, 0), C(192, 192, 192), kBlack, 2, 3,
     {}},
    {peGlassGreen, "peGlassGreen", feNone, kNoShadow, C(0, 128, 0), C(128, 128, 128), kWhite, 2, 2, {}},
    {peGlassCyan, "peGlassCyan", feNone, kNoShadow, C(0, 128, 128), C(192, 192, 192), C(255, 255, 0),
     2, 2, {}},
    {peGlassBlue, "peGlassBlue", feNone, kNoShadow, C(0, 107, 215), C(128, 128, 128), kWhite, 2, 3, {}},
    {peGlassViolet, "peGlassViolet", feNone, kNoShadow, C(102, 102, 179), C(192, 192, 192), kBlack, 2,
     2, {}},
    {peGlassPurple, "peGlassPurple", feNone, kNoShadow, C(128, 0, 128), C(128, 128, 128), kWhite, 2, 2,
     {}},
    {peSystem1, "peSystem1", feShadowBottomRight, clBtnFace, clBtnFace, clWindow, clHighlight, 1, 1, {}},
    {peSystem2, "peSystem2", feShadowBottomRight, clBtnFace, clBtnFace, clWindow, clHighlight, 4, 7, {}},
    {peSystem3, "peSystem3", feShadowBottomRight, clBtnFace, clBtnShadow, clBtnFace, clWindow, 1, 1, {}},
    {peSystem4, "peSystem4", feShadowBottomRight, clBtnFace, clBtnShadow, clBtnFace, clWindow, 4, 4, {}},
    {peSystem5, "peSystem5", feInvert, kNoShadow, clWindow, clHighlight, clHighlight, 6, 1, {}},
    {peSystem6, "peSystem6", feInvert, kNoShadow, clWindow, clHighlight, clHighlight, 8, 4, {}},
    {peSystem7, "peSystem7", feInvert, kNoShadow, clHighlight, clBtnShadow, clWindow, 6, 9, {}},
    {peSystem8, "peSystem8", feInvert, kNoShadow, clHighlight, clBtnShadow, clBtnFace, 10, 11, {}},
    {peUpLoad1, "peUpLoad1", feInvert, kNoShadow, C(185, 0, 0), clWindow, kBlack, 1, 6, {}},
    {peUpLoad2, "peUpLoad2", feInvert, kNoShadow, clBtnShadow, clBtnFace, kBlack, 12, 10, {}},
    {peMetalRed, "peMetalRed", feShadowBottomRight, clBtnFace, C(255, 0, 0), kWhite, kBlack, 4, 4, {}},
    {peMetalOrange, "peMetalOrange", feShadowBottomRight, clBtnFace, C(255, 150, 0), kWhite, kBlack, 4,
     4, {}},
    {peMetalYellow, "peMetalYellow", feShadowBottomRight, clBtnFace, C(255, 255, 0), kWhite, kBlack, 4,
     4, {}},
    {peMetalCyan, "peMetalCyan", feShadowBottomRight, clBtnFace, C(0, 255, 255), kWhite, kBlack, 4, 4,
     {}},
    {peMetalGreen, "peMetalGreen", feShadowBottomRight, clBtnFace, C(0, 255, 64), kWhite, kBlack, 4, 4,
     {}},
    {peMetalLightBlue, "peMetalLightBlue", feShadowBottomRight, clBtnFace, C(127, 212, 255), kWhite,
     kBlack, 4, 4, {}},
    {peMetalBlue, "peMetalBlue", feShadowBottomRight, clBtnFace, C(0, 155, 230), kWhite, kBlack, 4, 4,
     {}},
    {peMetalViolet, "peMetalViolet", feShadowBottomRight, clBtnFace, C(155, 155, 206), kWhite, kBlack,
     4, 4, {}},
    {peMetalDarkGray, "peMetalDarkGray", feShadowBottomRight, clBtnFace, C(137, 139, 152), kWhite,
     kBlack, 4, 4, {}},
    {peMetalGold, "peMetalGold", feShadowBottomRight, clBtnFace, C(255, 204, 129), kWhite, kBlack, 4,
     4, {}},
    {peStdRed, "peStdRed", feInvert, kNoShadow, C(204, 0, 0), C(102, 0, 0), kWhite, 6, 1, {}},
    {peStdYellow, "peStdYellow", feInvert, kNoShadow, C(255, 255, 0), C(153, 153, 0), kWhite, 6, 1, {}},
    {peStdGreen, "peStdGreen", feInvert, kNoShadow, C(0, 255, 51), C(0, 128, 64), kWhite, 6, 1, {}},
    {peStdBlue, "peStdBlue", feInvert, kNoShadow, C(0, 107, 215), C(29, 48, 99), kWhite, 6, 1, {}},
};

static_assert(std::size(kLooks) == kProEffectCount - 1, "every look but peCustom has a row");

const TLook* FindLook(TProEffect look) {
  for (const TLook& l : kLooks) {
    if (l.Look == look) return &l;
  }
  return nullptr;
}

}  // namespace

const TPCStyleValues& ShadingStyle(int number) {
  if (number < 1 || number > static_cast<int>(kStyles.size())) number = 1;
  return kStyles[number - 1];
}

const char* ProEffectName(TProEffect look) {
  if (look == peCustom) return "peCustom";
  const TLook* l = FindLook(look);
  return l != nullptr ? l->Name : "";
}

void ApplyLookValues(TProgressCyl& c, TProEffect look) {
  const TLook* l = FindLook(look);
  if (l == nullptr) return;
  c.SetFontColor(clBlack);
  c.SetBackBorderColor(clBlack);
  c.SetColor(clBtnFace);
  c.SetBevelColor(clBtnFace);
  c.SetCylinderEffect(look == peUpLoad1 || look == peUpLoad2 ? ceHigh : ceMaximum);
  if (l->Frame) {
    c.SetBevelOuter(l->Frame->Outer);
    c.SetBevelInner(l->Frame->Inner);
    c.SetBorderWidth(l->Frame->Border);
    c.SetShowText(l->Frame->ShowText);
  }
  c.SetFontEffect(l->FontEffect);
  if (l->FontShadowColor) c.SetFontShadowColor(*l->FontShadowColor);
  c.SetForeColor(l->ForeColor);
  c.SetBackColor(l->BackColor);
  c.SetForeLineColor(l->ForeLineColor);
  c.BackStyle().Assign(ShadingStyle(l->BackStyle));
  c.ForeStyle().Assign(ShadingStyle(l->ForeStyle));
}

}  // namespace quillon
