// Anchored placement of child controls: each control has bounds in its parent
// and a set of anchored edges. When the parent is resized, an edge anchored to
// the parent's right or bottom keeps its distance to that edge; a control
// anchored on both sides of an axis stretches, one anchored on neither keeps
// its place. Moving a control through SetBounds takes its new distances as the
// ones to keep.
#pragma once

#include <QObject>
#include <QRect>

#include <map>

class QWidget;

namespace quillon {

enum TAnchor : unsigned { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };
constexpr unsigned akAll = akLeft | akTop | akRight | akBottom;

class TAnchors : public QObject {
 public:
  // Watches `parent`'s size; owned by it.
  explicit TAnchors(QWidget* parent);

  // Puts `child` (a child of the parent) at `bounds` and keeps `anchors`.
  void Place(QWidget* child, const QRect& bounds, unsigned anchors = akLeft | akTop);
  // Moves or sizes a placed control; its anchors stay.
  void SetBounds(QWidget* child, const QRect& bounds);
  // Places every control for the parent's current size now. A hidden parent
  // gets its resize event only when it is shown; before then, its controls
  // are where the last resize left them.
  void Realign();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Entry {
    unsigned anchors;
    QRect bounds;     // at the parent size below
    QSize parent_size;
  };
  void Apply(QWidget* child, const Entry& entry);

  QWidget* parent_;
  std::map<QWidget*, Entry> entries_;
};

}  // namespace quillon
