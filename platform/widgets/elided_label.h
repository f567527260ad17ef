// TElidedLabel: a one-line plain-text label that shows as much of its text as
// its width allows, cut with "…" (at its end, or in its middle) in the font's
// own metrics, and refits on every resize and font change. While the text is
// cut, the whole text is the label's tooltip; a text that fits has none.
// A label that names another control (its buddy) shows "&" as written: its
// text makes no mnemonic.
#pragma once

#include <QLabel>

#include "platform/widgets/refitting_widget.h"

namespace quillon {

class TElidedLabel : public TRefittingWidget<QLabel> {
 public:
  explicit TElidedLabel(QWidget* parent, Qt::TextElideMode mode = Qt::ElideRight);

  // The whole text; text() is what is shown (with a buddy, "&" doubled).
  void SetFullText(const QString& text);
  const QString& FullText() const { return full_; }

 private:
  void Refit() override;

  Qt::TextElideMode mode_;
  QString full_;
};

}  // namespace quillon
