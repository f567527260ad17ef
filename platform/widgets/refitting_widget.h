// TRefittingWidget<Widget>: a widget whose shown text (cut with "…") or
// tooltip depends on its width and font. Refit runs after every resize and
// every font change; the widget calls it itself when its text changes.
#pragma once

#include <QEvent>
#include <QResizeEvent>

namespace quillon {

template <typename Widget>
class TRefittingWidget : public Widget {
 public:
  using Widget::Widget;

 protected:
  // Fits what is shown, and the tooltip, to the current width and font.
  virtual void Refit() = 0;

  void resizeEvent(QResizeEvent* event) override {
    Widget::resizeEvent(event);
    Refit();
  }
  void changeEvent(QEvent* event) override {
    Widget::changeEvent(event);
    if (event->type() == QEvent::FontChange) Refit();
  }
};

}  // namespace quillon
