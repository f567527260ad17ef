#include "download/colors.h"

#include <QColor>
#include <QGuiApplication>
#include <QPalette>
#include <algorithm>

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

}  // namespace quillon
