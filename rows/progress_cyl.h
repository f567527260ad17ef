// TProgressCyl: a progress indicator drawn as a lit cylinder or glass tube.
//
// The filled and the empty part of the bar are each shaded across the bar's
// thickness (TPCColorStyle), so the bar looks round. Around it sit a one-pixel
// frame, an inner and an outer bevel and a border ring; on top a percentage
// text (or TextDone at 100 percent), horizontal or turned by 90 or 270
// degrees, plain, shadowed or inverted against the bar. Horizontal bars fill
// from the left, vertical bars from the bottom.
//
// Every frame is drawn into an off-screen 24-bit image, pixel by pixel for the
// bar, and shown with a single copy; the background is never erased, so the
// control does not flicker. Drawing is lazy: a change marks the frame stale
// (Repaint) and the next paint event, or Bitmap(), draws it.
//
// Setters follow these rules:
// - a setter that would leave no content area (bevel cuts, BevelWidth,
//   BorderWidth, or negative widths) keeps the old value;
// - Position is clamped to [Min, Max]; Min and Max never become equal and a
//   Min above Max (Max below Min) is not stored;
// - Position repaints only when the fill edge or the percentage moves, and
//   fires OnProgressDone when that happens at Max;
// - outside a look preset (the updating flag), changing a colour, the font
//   effect, the cylinder effect or a shading style sets ProEffect to
//   peCustom; bevel cuts and widths, border, orientation, texts, ShowText and
//   the range do not.
// Nothing raises. A handler of any event may destroy the control. User-interface
// thread only.
#pragma once

#include <QImage>
#include <QSize>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

#include "base/lifetime.h"
#include "rows/colors.h"
#include "rows/pc_color_style.h"
#include "rows/progress_cyl_paint.h"
#include "rows/progress_cyl_types.h"

namespace quillon {

class TProgressCyl : public QWidget {
  Q_OBJECT

 public:
  using TNotifyEvent = std::function<void(TProgressCyl* sender)>;

  explicit TProgressCyl(QWidget* owner = nullptr);
  ~TProgressCyl() override;

  // Colour of the one-pixel frame around the bar.
  TColor BackBorderColor() const { return back_border_color_; }
  void SetBackBorderColor(TColor v);
  // Base colour of the empty part.
  TColor BackColor() const { return back_color_; }
  void SetBackColor(TColor v);
  // Base colour of the four bevel colours.
  TColor BevelColor() const { return bevel_color_; }
  void SetBevelColor(TColor v);
  TBevelCut BevelInner() const { return bevel_inner_; }
  void SetBevelInner(TBevelCut v);
  TBevelCut BevelOuter() const { return bevel_outer_; }
  void SetBevelOuter(TBevelCut v);
  int BevelWidth() const { return bevel_width_; }
  void SetBevelWidth(int v);
  // Ring between the two bevels.
  int BorderWidth() const { return border_width_; }
  void SetBorderWidth(int v);
  TCylinderEffect CylinderEffect() const { return cylinder_effect_; }
  void SetCylinderEffect(TCylinderEffect v);
  TFontEffect FontEffect() const { return font_effect_; }
  void SetFontEffect(TFontEffect v);
  TFontOrientation FontOrientation() const { return font_orientation_; }
  void SetFontOrientation(TFontOrientation v);
  TColor FontShadowColor() const { return font_shadow_color_; }
  void SetFontShadowColor(TColor v);
  // Base colour of the filled part.
  TColor ForeColor() const { return fore_color_; }
  void SetForeColor(TColor v);
  // Colour of the one-pixel line at the fill's edge.
  TColor ForeLineColor() const { return fore_line_color_; }
  void SetForeLineColor(TColor v);
  // Shading of the filled part and the edge line, and of the empty part.
  // Assigning a style copies its seven values through the style's setters.
  TPCColorStyle& ForeStyle() { return fore_style_; }
  void SetForeStyle(const TPCColorStyle& v) { fore_style_.Assign(v); }
  TPCColorStyle& BackStyle() { return back_style_; }
  void SetBackStyle(const TPCColorStyle& v) { back_style_.Assign(v); }
  int Max() const { return max_; }
  void SetMax(int v);
  int Min() const { return min_; }
  void SetMin(int v);
  // Also turns the text: foBottomToTop for vertical, foLeftToRight for
  // horizontal bars.
  TProgressBarOrientation Orientation() const { return orientation_; }
  void SetOrientation(TProgressBarOrientation v);
  int Position() const { return position_; }
  void SetPosition(int v);
  // Applies a look (anything but peCustom, which is only stored): sets the
  // look's values through the normal setters with the updating flag set, the
  // control hidden meanwhile and shown afterwards.
  TProEffect ProEffect() const { return pro_effect_; }
  void SetProEffect(TProEffect v);
  bool ShowText() const { return show_text_; }
  void SetShowText(bool v);
  // Text is the suffix after the percentage; TextDone replaces the whole text
  // at 100 percent when not empty. Bytes in windows-1252.
  const std::string& Text() const { return text_; }
  void SetText(const std::string& v);
  const std::string& TextDone() const { return text_done_; }
  void SetTextDone(const std::string& v);
  int Step() const { return step_; }
  void SetStep(int v) { step_ = v; }
  bool StopAtMax() const { return stop_at_max_; }
  void SetStopAtMax(bool v) { stop_at_max_ = v; }

  // The control's background colour (also the bvSpace bevel colour).
  TColor Color() const { return color_; }
  void SetColor(TColor v);
  // Colour of the text (the control's font colour).
  TColor FontColor() const { return font_color_; }
  void SetFontColor(TColor v);
  // Convenience for the font's point size (the font itself is QWidget::font).
  void SetFontSize(int points);
  // Size changes that take effect at once, also on a hidden control.
  void SetBounds(int left, int top, int width, int height);
  void SetWidth(int v) { SetBounds(x(), y(), v, height()); }
  void SetHeight(int v) { SetBounds(x(), y(), width(), v); }

  TNotifyEvent OnMouseEnter;
  TNotifyEvent OnMouseLeave;
  TNotifyEvent OnProgressDone;
  TNotifyEvent OnClick;

  // The text shown now: TextDone at 100 percent when not empty, else the
  // percentage followed by Text.
  std::string DisplayText() const;
  int Percentage() const { return percentage_; }
  // The fill edge: a column (horizontal) or a row (vertical).
  int Edge() const { return last_edge_; }
  int ContentInset() const { return border_width_ + 2 * bevel_width_; }
  int BevelInset() const { return bevel_width_ + border_width_; }
  float RowStep() const { return row_step_; }
  float ColumnStep() const { return column_step_; }
  TChannelFractions ForeFractions() const { return fore_fr_; }
  TChannelFractions LineFractions() const { return line_fr_; }
  TChannelFractions BackFractions() const { return back_fr_; }
  // The bevel colours (highlight, shadow, light, dark) and pairs (top-left,
  // bottom-right), unresolved.
  TColor BevelHighlight() const { return highlight_; }
  TColor BevelShadow() const { return shadow_; }
  TColor BevelLight() const { return light_; }
  TColor BevelDark() const { return dark_; }
  std::pair<TColor, TColor> InnerPair() const { return inner_pair_; }
  std::pair<TColor, TColor> OuterPair() const { return outer_pair_; }
  bool Ready() const { return ready_; }
  bool Updating() const { return updating_; }
  bool GeometryValid() const;
  bool HasTextMask() const { return !mask_.isNull(); }
  // How often a repaint was requested since construction.
  int RepaintCount() const { return repaint_count_; }

  // Requests a new frame (nothing while the control is not ready).
  void Repaint();
  // Draws the frame into the off-screen image now (nothing when not ready or
  // the geometry is invalid).
  void Paint();
  // The off-screen image, with any pending frame drawn first.
  const QImage& Bitmap();
  // Draws a frame into `target`, which must have the control's size (it may
  // be a view into a larger buffer; nothing outside it is written).
  void PaintTo(QImage& target);
  // The parts of PaintTo: everything but the text into an image of the
  // control's size; the text into `target`, which may have more device
  // pixels than the control has pixels (its device pixel ratio says how many).
  void PaintBarTo(QImage& target);
  void PaintTextTo(QImage& target, QImage* mask);

  // What the control does when the system colours change: every colour is set
  // again to its own value (fractions and bevel colours recomputed).
  void SystemColorsChanged();
  // Called by the owned styles after an accepted change.
  void StyleChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool ValidFor(int w, int h, int bevel_width, int border_width) const;
  void HandleResize();
  void MarkCustom();
  void BuildBevelPairs();
  void RecomputeGeometry();
  void PrepareTextResources();
  void ReleaseTextResources();
  // Stores a bevel/border value and keeps it only if the geometry stays valid.
  template <typename T>
  void SetGeometryValue(T& field, T value);

  bool ready_ = false;
  bool updating_ = true;
  bool dirty_ = false;
  int repaint_count_ = 0;
  QSize handled_size_;

  QImage bitmap_;
  QImage mask_;  // only while the text is shown inverted
  int shadow_offset_ = 0;

  TColor back_border_color_ = clBlack;
  TColor back_color_ = clBtnFace;
  TColor bevel_color_ = clBtnFace;
  TBevelCut bevel_inner_ = bvNone;
  TBevelCut bevel_outer_ = bvNone;
  int bevel_width_ = 0;
  int border_width_ = 0;
  TCylinderEffect cylinder_effect_ = ceMaximum;
  TFontEffect font_effect_ = feNone;
  TFontOrientation font_orientation_ = foLeftToRight;
  TColor font_shadow_color_ = clBtnFace;
  TColor fore_color_ = clWhite;
  TColor fore_line_color_ = clHighlight;
  TPCColorStyle fore_style_;
  TPCColorStyle back_style_;
  int max_ = 100;
  int min_ = 0;
  TProgressBarOrientation orientation_ = pbHorizontal;
  int position_ = 0;
  TProEffect pro_effect_ = demoSystem;
  bool show_text_ = false;
  std::string text_;
  std::string text_done_;
  int step_ = 1;
  bool stop_at_max_ = true;
  TColor color_ = clBtnFace;
  TColor font_color_ = clBlack;

  TChannelFractions fore_fr_, line_fr_, back_fr_;
  TColor highlight_ = clBtnHighlight, shadow_ = clBtnShadow, light_ = cl3DLight,
         dark_ = cl3DDkShadow;
  std::pair<TColor, TColor> inner_pair_, outer_pair_;
  float row_step_ = 0;
  float column_step_ = 0;
  float k_ = 0.01f;  // 1 / (Max - Min)
  int percentage_ = 0;
  int last_edge_ = INT32_MIN;
  int last_percentage_ = INT32_MIN;
  TLifetime lifetime_;  // last: its tokens expire first
};

}  // namespace quillon
