#include "rows/colors.h"

#include <QColor>
#include <QGuiApplication>
#include <QPalette>
#include <algorithm>
#include <cmath>
#include <optional>

namespace quillon {

namespace {

// The classic grey scheme, used only when no GUI application is running.
TColor FallbackSystemColor(int index) {
  switch (index) {
    case 5: case 24: return clWhite;               // window, info background
    case 13: return RGBToColor(0, 120, 215);       // highlight
    case 14: return clWhite;                       // highlight text
    case 16: return RGBToColor(160, 160, 160);     // button shadow
    case 17: return RGBToColor(109, 109, 109);     // grey text
    case 20: return clWhite;                       // button highlight
    case 21: return RGBToColor(105, 105, 105);     // 3-D dark shadow
    case 22: return RGBToColor(227, 227, 227);     // 3-D light
    case 7: case 8: case 9: case 18: case 23: return clBlack;
    default: return RGBToColor(240, 240, 240);     // faces, menus, borders
  }
}

bool PaletteRoleFor(int index, QPalette::ColorGroup* group, QPalette::ColorRole* role) {
  *group = QPalette::Active;
  switch (index) {
    case 0: case 4: case 10: case 11: case 15: *role = QPalette::Button; return true;
    case 1: case 12: *role = QPalette::Window; return true;
    case 2: *role = QPalette::Highlight; return true;
    case 3: *group = QPalette::Inactive; *role = QPalette::Highlight; return true;
    case 5: *role = QPalette::Base; return true;
    case 6: case 21: *role = QPalette::Shadow; return true;
    case 7: *role = QPalette::WindowText; return true;
    case 8: *role = QPalette::Text; return true;
    case 9: *role = QPalette::HighlightedText; return true;
    case 13: *role = QPalette::Highlight; return true;
    case 14: *role = QPalette::HighlightedText; return true;
    case 16: *role = QPalette::Dark; return true;
    case 17: *group = QPalette::Disabled; *role = QPalette::Text; return true;
    case 18: *role = QPalette::ButtonText; return true;
    case 19: *group = QPalette::Inactive; *role = QPalette::HighlightedText; return true;
    case 20: *role = QPalette::Light; return true;
    case 22: *role = QPalette::Midlight; return true;
    case 23: *role = QPalette::ToolTipText; return true;
    case 24: *role = QPalette::ToolTipBase; return true;
    default: return false;
  }
}

}  // namespace

TColor ColorToRGB(TColor c) {
  if (!IsSystemColor(c)) return c & 0xFFFFFF;
  const int index = c & 0xFF;
  QPalette::ColorGroup group;
  QPalette::ColorRole role;
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr ||
      !PaletteRoleFor(index, &group, &role)) {
    return FallbackSystemColor(index);
  }
  return FromQColor(QGuiApplication::palette().color(group, role));
}

TColor ShiftColor(TColor rgb, int delta) {
  auto ch = [delta](int v) { return std::clamp(v + delta, 0, 255); };
  return RGBToColor(ch(RedOf(rgb)), ch(GreenOf(rgb)), ch(BlueOf(rgb)));
}

QColor ToQColor(TColor c) {
  const TColor rgb = ColorToRGB(c);
  return QColor(RedOf(rgb), GreenOf(rgb), BlueOf(rgb));
}

TColor FromQColor(const QColor& c) { return RGBToColor(c.red(), c.green(), c.blue()); }

double RelativeLuminance(const QColor& c) {
  auto linear = [](double s) { return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4); };
  return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

double ContrastRatio(const QColor& a, const QColor& b) {
  const double la = RelativeLuminance(a), lb = RelativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

namespace {

// `from` moved toward `to` by t (0: from, 1: to).
QColor Mix(const QColor& from, const QColor& to, double t) {
  auto ch = [t](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
  return QColor(ch(from.red(), to.red()), ch(from.green(), to.green()), ch(from.blue(), to.blue()));
}

// The tint of a role as the rows of a light theme show it on white.
std::optional<QColor> RoleTint(TRowRole role) {
  switch (role) {
    case TRowRole::kFinished: return QColor(233, 233, 233);
    case TRowRole::kFailed: return QColor(255, 236, 236);
    case TRowRole::kNormal:
    case TRowRole::kPaused: break;
  }
  return std::nullopt;
}

}  // namespace

QColor RowRoleColor(TRowRole role, const QPalette& palette) {
  const QColor window = palette.color(QPalette::Window);
  const QColor text = palette.color(QPalette::WindowText);
  const std::optional<QColor> tint = RoleTint(role);
  if (!tint) return window;
  QColor tinted;
  if (RelativeLuminance(window) >= RelativeLuminance(text)) {
    // Light theme: multiply.
    tinted = QColor(window.red() * tint->red() / 255, window.green() * tint->green() / 255,
                    window.blue() * tint->blue() / 255);
  } else {
    // Dark theme: the tint's hue and saturation with its lightness mirrored
    // (light pink becomes dark red), screened onto the window colour, so the
    // row stands out from the list by as much as it does on a light theme.
    const QColor dark = QColor::fromHslF(std::max(tint->hslHueF(), 0.0f), tint->hslSaturationF(),
                                         1.0f - tint->lightnessF());
    auto screen = [](int a, int b) { return 255 - (255 - a) * (255 - b) / 255; };
    tinted = QColor(screen(window.red(), dark.red()), screen(window.green(), dark.green()),
                    screen(window.blue(), dark.blue()));
  }
  // Back toward the window colour while the text is not readable on it...
  for (int step = 10; step >= 0 && ContrastRatio(text, tinted) < kMinTextContrast; --step)
    tinted = Mix(window, tinted, step / 10.0);
  // ... and, for a palette whose own colours lack the contrast, away from the text.
  const QColor away = RelativeLuminance(text) > 0.18 ? QColor(0, 0, 0) : QColor(255, 255, 255);
  const QColor start = tinted;
  for (int step = 1; step <= 20 && ContrastRatio(text, tinted) < kMinTextContrast; ++step)
    tinted = Mix(start, away, step / 20.0);
  return tinted;
}

QColor RowLinkColor(TRowRole role, const QPalette& palette) {
  const QColor surface = RowRoleColor(role, palette);
  const QColor link = palette.color(QPalette::Link);
  const QColor away = RelativeLuminance(surface) < 0.18 ? QColor(255, 255, 255) : QColor(0, 0, 0);
  QColor shown = link;
  for (int step = 1; step <= 20 && ContrastRatio(shown, surface) < kMinTextContrast; ++step)
    shown = Mix(link, away, step / 20.0);
  return shown;
}

}  // namespace quillon
