#include "platform/widgets/elided_label.h"

#include <QFontMetrics>

namespace quillon {

TElidedLabel::TElidedLabel(QWidget* parent, Qt::TextElideMode mode) : TRefittingWidget(parent), mode_(mode) {
  setTextFormat(Qt::PlainText);
}

void TElidedLabel::SetFullText(const QString& text) {
  full_ = text;
  Refit();
}

void TElidedLabel::Refit() {
  const QString shown = fontMetrics().elidedText(full_, mode_, contentsRect().width());
  setText(buddy() != nullptr ? QString(shown).replace(QLatin1Char('&'), QStringLiteral("&&")) : shown);
  setToolTip(shown == full_ ? QString() : full_);
}

}  // namespace quillon
