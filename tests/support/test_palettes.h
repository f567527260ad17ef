// A light and a dark desktop palette for the theme tests, and the contrast
// rule the row colours keep (relative luminance as the web's accessibility
// guidelines define it), computed here independently of the program's own.
#pragma once

#include <QColor>
#include <QPalette>
#include <algorithm>
#include <cmath>

namespace quillon::testing {

inline QPalette DesktopPalette(QColor window, QColor text, QColor base, QColor link) {
  QPalette p(window);
  for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive}) {
    p.setColor(g, QPalette::Window, window);
    p.setColor(g, QPalette::Button, window);
    p.setColor(g, QPalette::WindowText, text);
    p.setColor(g, QPalette::ButtonText, text);
    p.setColor(g, QPalette::Text, text);
    p.setColor(g, QPalette::Base, base);
    p.setColor(g, QPalette::Link, link);
  }
  return p;
}

inline QPalette LightPalette() {
  return DesktopPalette(QColor(239, 239, 239), QColor(0, 0, 0), QColor(255, 255, 255), QColor(0, 0, 238));
}
inline QPalette DarkPalette() {
  return DesktopPalette(QColor(53, 53, 53), QColor(238, 238, 236), QColor(45, 45, 45), QColor(138, 180, 248));
}

// A dark theme whose own link colour is dim on its window (3.3:1), as the
// GTK theme's dark variant gives it.
inline QPalette DimLinkDarkPalette() {
  return DesktopPalette(QColor(53, 53, 53), QColor(238, 238, 236), QColor(45, 45, 45), QColor(53, 132, 228));
}

inline double Luminance(const QColor& c) {
  auto lin = [](int v) {
    const double s = v / 255.0;
    return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * lin(c.red()) + 0.7152 * lin(c.green()) + 0.0722 * lin(c.blue());
}

inline double Contrast(const QColor& a, const QColor& b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace quillon::testing
