// TClickLabel: a text label with a click event (a left-button press and
// release on it), as the download row's labels and links need. Its text is
// plain text: file names, URLs and server replies show literally. A label
// marked as a link is a push button to assistive technology, whose press
// action is Click(). A handler of OnClick may destroy the label.
#pragma once

#include <QLabel>
#include <functional>

#include "base/lifetime.h"

namespace quillon {

class TClickLabel : public QLabel {
 public:
  explicit TClickLabel(QWidget* parent) : QLabel(parent) { setTextFormat(Qt::PlainText); }
  // Integer tag, as the action link keeps its mode in it.
  int Tag = 0;
  std::function<void(TClickLabel* Sender)> OnClick;
  // Shown as a link (the row's action and pause links), not as text.
  bool Link = false;
  // What a click does, for the keyboard and assistive technology: fires
  // OnClick unless the label is hidden or disabled. OnClick may destroy the
  // label.
  void Click();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
  TLifetime lifetime_;  // last: its tokens expire first
};

}  // namespace quillon
