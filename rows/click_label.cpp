#include "rows/click_label.h"

#include <QMouseEvent>

namespace quillon {

void TClickLabel::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  event->accept();
}

void TClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  bool click = pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  event->accept();
  // A click on a disabled label never arrives here: Qt holds mouse events back.
  if (click) static_cast<void>(FireEvent(lifetime_, OnClick, this));
}

void TClickLabel::Click() {
  if (!isHidden() && isEnabled()) static_cast<void>(FireEvent(lifetime_, OnClick, this));
}

}  // namespace quillon
