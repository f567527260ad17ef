// TPathEdit: a read-only field for a file path that shows the path cut with
// "…" in its middle when the field is too narrow, keeping the file name whole
// as long as it fits, with the whole path as the field's tooltip. text()
// stays the whole path; only what is drawn is shortened. The field is a Tab
// stop drawn in the palette's normal text colours: with the focus it shows
// the whole path, which the user can select and copy, and it keeps the
// keys it does not use (Enter, Escape) for the window.
#pragma once

#include <QLineEdit>

#include "platform/widgets/refitting_widget.h"

namespace quillon {

class TPathEdit : public TRefittingWidget<QLineEdit> {
 public:
  explicit TPathEdit(QWidget* parent);

  // The path as the field shows it.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect TextRect() const;
  // The tooltip: the whole path while the field shows it cut.
  void Refit() override;
};

}  // namespace quillon
