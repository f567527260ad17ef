#include "rows/progress_cyl.h"

#include <QEnterEvent>
#include <QEvent>
#include <QFont>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>

#include "rows/progress_cyl_styles.h"
#include "platform/ansi_text.h"

namespace quillon {

namespace {

// The framework's Round: to nearest, halves to even (the default rounding mode).
long long RoundEven(long double v) { return std::llrint(v); }

}  // namespace

TProgressCyl::TProgressCyl(QWidget* owner)
    : QWidget(owner), fore_style_(this), back_style_(this) {
  // ready_ is false and updating_ true until the end of construction.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  resize(150, 22);
  bitmap_ = QImage(size(), QImage::Format_RGB32);
  QFont font(QStringLiteral("Arial"), 9);
  font.setBold(true);
  setFont(font);
  font_color_ = clBlack;
  SetText("%");
  SetTextDone("Done");
  SetFontEffect(feShadowBottomRight);
  SetFontShadowColor(clBtnFace);
  SetFontOrientation(foLeftToRight);
  SetShowText(true);
  SetOrientation(pbHorizontal);
  SetMin(0);
  SetMax(100);
  SetStep(1);
  SetStopAtMax(true);
  SetBevelOuter(bvLowered);
  SetBorderWidth(2);
  SetBevelWidth(1);
  SetBevelInner(bvRaised);
  SetBackColor(clBtnFace);
  SetBackBorderColor(clBlack);
  SetForeLineColor(clHighlight);
  SetForeColor(clWhite);
  SetColor(clBtnFace);
  SetBevelColor(clBtnFace);
  SetCylinderEffect(ceMaximum);
  last_edge_ = INT32_MIN;
  last_percentage_ = INT32_MIN;
  SetPosition(0);
  handled_size_ = size();
  ready_ = true;
  updating_ = false;
  Repaint();
}

TProgressCyl::~TProgressCyl() { ReleaseTextResources(); }

// ---- state helpers -------------------------------------------------------

void TProgressCyl::MarkCustom() {
  if (!updating_) pro_effect_ = peCustom;
}

void TProgressCyl::Repaint() {
  if (!ready_) return;
  ++repaint_count_;
  dirty_ = true;
  update();
}

bool TProgressCyl::ValidFor(int w, int h, int bevel_width, int border_width) const {
  if (bevel_width < 0 || border_width < 0 || w <= 0 || h <= 0) return false;
  // In 64 bits so that absurd widths cannot overflow.
  const long long a = static_cast<long long>(bevel_width) + border_width;
  const long long f = static_cast<long long>(border_width) + 2LL * bevel_width;
  return w - 2 * f > 0 && h - 2 * f > 0 && w - 2 * a > 0 && h - 2 * a > 0;
}

bool TProgressCyl::GeometryValid() const {
  return ValidFor(width(), height(), bevel_width_, border_width_);
}

void TProgressCyl::BuildBevelPairs() {
  switch (bevel_inner_) {
    case bvSpace: inner_pair_ = {color_, color_}; break;
    case bvLowered:
      inner_pair_ = (bevel_outer_ == bvLowered && border_width_ == 0)
                        ? std::pair{dark_, light_} : std::pair{shadow_, highlight_};
      break;
    case bvRaised:
      inner_pair_ = (bevel_outer_ == bvRaised && border_width_ == 0)
                        ? std::pair{light_, shadow_} : std::pair{highlight_, shadow_};
      break;
    case bvNone: break;
  }
  switch (bevel_outer_) {
    case bvSpace: outer_pair_ = {color_, color_}; break;
    case bvLowered: outer_pair_ = {shadow_, highlight_}; break;
    case bvRaised:
      outer_pair_ = (bevel_inner_ == bvRaised && border_width_ == 0)
                        ? std::pair{highlight_, dark_} : std::pair{highlight_, shadow_};
      break;
    case bvNone: break;
  }
}

void TProgressCyl::RecomputeGeometry() {
  const int f = ContentInset();
  const int cw = width() - 2 * f, ch = height() - 2 * f;
  if (cw > 0 && ch > 0) {
    const int strength = CylinderStrength(cylinder_effect_);
    row_step_ = static_cast<float>(strength / ch);
    column_step_ = static_cast<float>(strength / cw);
  }
  SetPosition(position_);
}

void TProgressCyl::PrepareTextResources() {
  ReleaseTextResources();
  if (font_effect_ == feInvert) {
    mask_ = QImage(size(), QImage::Format_RGB32);
  } else {
    shadow_offset_ = font_effect_ == feShadowTopLeft ? -1
                     : font_effect_ == feShadowBottomRight ? 1 : 0;
  }
}

void TProgressCyl::ReleaseTextResources() { mask_ = QImage(); }

template <typename T>
void TProgressCyl::SetGeometryValue(T& field, T value) {
  const T old = field;
  field = value;
  if (!GeometryValid()) field = old;
  BuildBevelPairs();
  RecomputeGeometry();
  Repaint();
}

// ---- colours -------------------------------------------------------------

void TProgressCyl::SetBackBorderColor(TColor v) {
  back_border_color_ = v;
  MarkCustom();
  Repaint();
}

void TProgressCyl::SetBackColor(TColor v) {
  back_color_ = v;
  back_fr_ = ColorFractions(ColorToRGB(v), back_style_.Values());
  MarkCustom();
  Repaint();
}

void TProgressCyl::SetForeColor(TColor v) {
  fore_color_ = v;
  fore_fr_ = ColorFractions(ColorToRGB(v), fore_style_.Values());
  MarkCustom();
  Repaint();
}

void TProgressCyl::SetForeLineColor(TColor v) {
  fore_line_color_ = v;
  line_fr_ = ColorFractions(ColorToRGB(v), fore_style_.Values());
  MarkCustom();
  Repaint();
}

void TProgressCyl::SetFontShadowColor(TColor v) {
  font_shadow_color_ = v;
  MarkCustom();
  Repaint();
}

void TProgressCyl::SetBevelColor(TColor v) {
  bevel_color_ = v;
  if (v == clBtnFace) {
    highlight_ = clBtnHighlight;
    shadow_ = clBtnShadow;
    light_ = cl3DLight;
    dark_ = cl3DDkShadow;
  } else {
    const TColor rgb = ColorToRGB(v);
    highlight_ = light_ = ShiftColor(rgb, 64);
    shadow_ = dark_ = ShiftColor(rgb, -64);
  }
  MarkCustom();
  BuildBevelPairs();
  RecomputeGeometry();
  Repaint();
}

void TProgressCyl::SetColor(TColor v) {
  color_ = v;
  // The bvSpace pairs are drawn in this colour.
  BuildBevelPairs();
  Repaint();
}

void TProgressCyl::SetFontColor(TColor v) {
  font_color_ = v;
  Repaint();
}

void TProgressCyl::SystemColorsChanged() {
  SetForeColor(fore_color_);
  SetForeLineColor(fore_line_color_);
  SetFontShadowColor(font_shadow_color_);
  SetBackColor(back_color_);
  SetBackBorderColor(back_border_color_);
  SetBevelColor(bevel_color_);
}

void TProgressCyl::StyleChanged() {
  MarkCustom();
  SystemColorsChanged();
}

// ---- frame and shading ---------------------------------------------------

void TProgressCyl::SetBevelInner(TBevelCut v) { SetGeometryValue(bevel_inner_, v); }
void TProgressCyl::SetBevelOuter(TBevelCut v) { SetGeometryValue(bevel_outer_, v); }
void TProgressCyl::SetBevelWidth(int v) { SetGeometryValue(bevel_width_, v); }
void TProgressCyl::SetBorderWidth(int v) { SetGeometryValue(border_width_, v); }

void TProgressCyl::SetCylinderEffect(TCylinderEffect v) {
  cylinder_effect_ = v;
  MarkCustom();
  RecomputeGeometry();
  Repaint();
}

void TProgressCyl::SetOrientation(TProgressBarOrientation v) {
  orientation_ = v;
  SetFontOrientation(v == pbVertical ? foBottomToTop : foLeftToRight);
  RecomputeGeometry();
  Repaint();
}

// ---- text ----------------------------------------------------------------

void TProgressCyl::SetFontEffect(TFontEffect v) {
  font_effect_ = v;
  if (v != feInvert) ReleaseTextResources();
  if (show_text_) PrepareTextResources();
  MarkCustom();
  Repaint();
}

void TProgressCyl::SetFontOrientation(TFontOrientation v) {
  font_orientation_ = v;
  if (show_text_) PrepareTextResources();
  Repaint();
}

void TProgressCyl::SetShowText(bool v) {
  show_text_ = v;
  if (v) {
    PrepareTextResources();
  } else {
    ReleaseTextResources();
  }
  Repaint();
}

void TProgressCyl::SetText(const std::string& v) {
  if (v == text_) return;
  text_ = v;
  Repaint();
}

void TProgressCyl::SetTextDone(const std::string& v) {
  if (v == text_done_) return;
  text_done_ = v;
  Repaint();
}

void TProgressCyl::SetFontSize(int points) {
  QFont f = font();
  f.setPointSize(points);
  setFont(f);
}

std::string TProgressCyl::DisplayText() const {
  if (!text_done_.empty() && percentage_ == 100) return text_done_;
  return std::to_string(percentage_) + text_;
}

// ---- range ---------------------------------------------------------------

void TProgressCyl::SetPosition(int v) {
  position_ = std::clamp(v, min_, max_);
  const long long range = static_cast<long long>(max_) - min_;
  const long long e = static_cast<long long>(position_) - min_;
  const int percentage = static_cast<int>(RoundEven(static_cast<long double>(e) / range * 100));
  const int f = ContentInset();
  const long double ek = static_cast<long double>(e) * k_;
  int edge;
  if (orientation_ == pbHorizontal) {
    edge = static_cast<int>(RoundEven(width() * ek) + f - RoundEven(2.0L * f * ek));
    edge = std::max(edge, f + 1);
  } else {
    edge = static_cast<int>((height() - f) - RoundEven(height() * ek) + RoundEven(2.0L * f * ek));
  }
  if (edge == last_edge_ && percentage == last_percentage_) return;
  last_edge_ = edge;
  last_percentage_ = percentage;
  percentage_ = percentage;
  Repaint();
  // Last, so that a handler may do anything with the control.
  if (position_ == max_) static_cast<void>(FireEvent(lifetime_, OnProgressDone, this));
}

void TProgressCyl::SetMin(int v) {
  if (v == min_) return;
  long long value = v;
  if (value == max_) value = static_cast<long long>(max_) - 1;
  if (value < max_ && value >= INT_MIN) {
    min_ = static_cast<int>(value);
    k_ = 1.0f / static_cast<float>(static_cast<long long>(max_) - min_);
    if (position_ < min_) position_ = min_;
  }
  RecomputeGeometry();
}

void TProgressCyl::SetMax(int v) {
  if (v == max_) return;
  long long value = v;
  if (value == min_) value = static_cast<long long>(min_) + 1;
  if (value > min_ && value <= INT_MAX) {
    max_ = static_cast<int>(value);
    k_ = 1.0f / static_cast<float>(static_cast<long long>(max_) - min_);
    if (position_ > max_) position_ = max_;
  }
  RecomputeGeometry();
}

// ---- looks ---------------------------------------------------------------

void TProgressCyl::SetProEffect(TProEffect v) {
  pro_effect_ = v;
  if (v == peCustom) return;
  const bool was_updating = updating_;
  updating_ = true;
  setVisible(false);
  ApplyLookValues(*this, v);
  setVisible(true);
  updating_ = was_updating;
}

// ---- size and painting ---------------------------------------------------

void TProgressCyl::SetBounds(int left, int top, int w, int h) {
  setGeometry(left, top, w, h);
  HandleResize();
}

void TProgressCyl::HandleResize() {
  if (!ready_ || !GeometryValid()) return;
  handled_size_ = size();
  bitmap_ = QImage(size(), QImage::Format_RGB32);
  if (!mask_.isNull()) mask_ = QImage(size(), QImage::Format_RGB32);
  RecomputeGeometry();
  Repaint();
}

void TProgressCyl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (size() != handled_size_) HandleResize();
}

void TProgressCyl::Paint() {
  // A hidden control may have been resized without a resize event.
  if (ready_ && size() != handled_size_) HandleResize();
  dirty_ = false;
  if (!ready_ || !GeometryValid()) return;
  if (bitmap_.size() != size()) bitmap_ = QImage(size(), QImage::Format_RGB32);
  PaintTo(bitmap_);
}

const QImage& TProgressCyl::Bitmap() {
  if (dirty_ || size() != handled_size_) Paint();
  return bitmap_;
}

void TProgressCyl::PaintTo(QImage& target) {
  if (!GeometryValid() || target.size() != size() || target.format() != QImage::Format_RGB32) {
    return;
  }
  PaintBarTo(target);
  PaintTextTo(target, &mask_);
}

void TProgressCyl::PaintBarTo(QImage& target) {
  const int w = width(), h = height(), f = ContentInset(), a = BevelInset();
  FillImage(target, ToRgb32(color_));

  TBarParams bar;
  bar.Orientation = orientation_;
  bar.Inset = f;
  bar.Edge = last_edge_;
  bar.Step = orientation_ == pbHorizontal ? row_step_ : column_step_;
  bar.Fore = fore_style_.Values();
  bar.Back = back_style_.Values();
  bar.ForeFractions = fore_fr_;
  bar.LineFractions = line_fr_;
  bar.BackFractions = back_fr_;
  DrawBar(target, bar);

  FrameRect(target, f, f, w - f, h - f, ToRgb32(back_border_color_));
  if (bevel_inner_ != bvNone) {
    Frame3D(target, a, a, w - a, h - a, ToRgb32(inner_pair_.first), ToRgb32(inner_pair_.second),
            bevel_width_);
  }
  if (bevel_outer_ != bvNone) {
    Frame3D(target, 0, 0, w, h, ToRgb32(outer_pair_.first), ToRgb32(outer_pair_.second),
            bevel_width_);
  }
}

void TProgressCyl::PaintTextTo(QImage& target, QImage* mask) {
  if (!show_text_) return;
  TTextParams text;
  text.Text = AnsiToQString(DisplayText());
  text.Orientation = font_orientation_;
  text.Effect = font_effect_;
  text.Color = ToRgb32(font_color_);
  text.Shadow = ToRgb32(font_shadow_color_);
  text.ShadowOffset = shadow_offset_;
  DrawBarText(target, mask, font(), text);
}

void TProgressCyl::paintEvent(QPaintEvent*) {
  if (dirty_ || size() != handled_size_) Paint();
  QPainter painter(this);
  if (!ready_ || !GeometryValid() || bitmap_.size() != size()) {
    // Too small for its bevels and border: no bar, only the background.
    painter.fillRect(rect(), ToQColor(color_));
    return;
  }
  const qreal ratio = devicePixelRatioF();
  if (ratio == 1) {
    painter.drawImage(0, 0, bitmap_);
    return;
  }
  // A screen with more device pixels than pixels: the bar and its frames are
  // enlarged pixel for pixel (the design's one-pixel lines stay sharp) and
  // the text is drawn on top at the screen's own resolution.
  QImage bar(size(), QImage::Format_RGB32);
  PaintBarTo(bar);
  QImage screen = bar.scaled((QSizeF(size()) * ratio).toSize(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
  screen.setDevicePixelRatio(ratio);
  QImage mask;
  PaintTextTo(screen, &mask);
  painter.drawImage(QPointF(0, 0), screen);
}

// ---- messages ------------------------------------------------------------

void TProgressCyl::enterEvent(QEnterEvent* event) {
  QWidget::enterEvent(event);
  // The repaint request first, so that the handler may do anything.
  Repaint();
  static_cast<void>(FireEvent(lifetime_, OnMouseEnter, this));
}

void TProgressCyl::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  Repaint();
  static_cast<void>(FireEvent(lifetime_, OnMouseLeave, this));
}

void TProgressCyl::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (!ready_) return;
  // System colours resolve through the application palette: a new one means
  // new RGB values for them. (A parent's own palette, e.g. a row colour, is
  // not a system colour change.)
  if (event->type() == QEvent::ApplicationPaletteChange) SystemColorsChanged();
  if (event->type() == QEvent::FontChange) Repaint();
}

void TProgressCyl::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !rect().contains(event->position().toPoint())) {
    QWidget::mouseReleaseEvent(event);
    return;
  }
  // A click is taken here: Qt passes an unaccepted release on, looking at this
  // control again after OnClick, whose handler may have destroyed it.
  event->accept();
  static_cast<void>(FireEvent(lifetime_, OnClick, this));
}

}  // namespace quillon
