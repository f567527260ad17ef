#include "platform/widgets/anchors.h"

#include <QEvent>
#include <QWidget>

#include <algorithm>

namespace quillon {

TAnchors::TAnchors(QWidget* parent) : QObject(parent), parent_(parent) {
  parent->installEventFilter(this);
}

void TAnchors::Place(QWidget* child, const QRect& bounds, unsigned anchors) {
  entries_[child] = Entry{anchors, bounds, parent_->size()};
  child->setGeometry(bounds);
  QObject::connect(child, &QObject::destroyed, this,
                   [this, child] { entries_.erase(child); });
}

void TAnchors::SetBounds(QWidget* child, const QRect& bounds) {
  auto it = entries_.find(child);
  if (it == entries_.end()) {
    child->setGeometry(bounds);
    return;
  }
  it->second.bounds = bounds;
  it->second.parent_size = parent_->size();
  child->setGeometry(bounds);
}

void TAnchors::Apply(QWidget* child, const Entry& e) {
  const int dw = parent_->width() - e.parent_size.width();
  const int dh = parent_->height() - e.parent_size.height();
  int x = e.bounds.x(), y = e.bounds.y(), w = e.bounds.width(), h = e.bounds.height();
  if (e.anchors & akRight) {
    if (e.anchors & akLeft) w += dw;
    else x += dw;
  }
  if (e.anchors & akBottom) {
    if (e.anchors & akTop) h += dh;
    else y += dh;
  }
  child->setGeometry(x, y, std::max(w, 0), std::max(h, 0));
}

void TAnchors::Realign() {
  for (const auto& [child, entry] : entries_) Apply(child, entry);
}

bool TAnchors::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent_ && event->type() == QEvent::Resize) Realign();
  return QObject::eventFilter(watched, event);
}

}  // namespace quillon
