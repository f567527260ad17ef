// TElidedComboBox: a drop-down list whose closed box shows its current text
// cut with "…" at its end when the box is too narrow for it (the style alone
// would clip it), with the whole text as the box's tooltip. Items wider than
// the open list carry their whole text as their tooltip as well. Both follow
// resizes, font changes and changes of the items.
#pragma once

#include <QComboBox>

#include "platform/widgets/refitting_widget.h"

namespace quillon {

class TElidedComboBox : public TRefittingWidget<QComboBox> {
 public:
  explicit TElidedComboBox(QWidget* parent);

  // The current text as the closed box shows it.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int TextWidth() const;
  // Sets the tooltips for the current width, font and items.
  void Refit() override;
};

}  // namespace quillon
