#include "app/my_status.h"

#include <QLabel>

namespace quillon {

TmyStatusBar::TmyStatusBar(QWidget* parent) : QStatusBar(parent), text_(new QLabel(this)) {
  // The text lives in a label of its own, so that controls placed on the bar
  // and the text never hide each other (a temporary message would).
  addWidget(text_, 1);
  text_->setTextFormat(Qt::PlainText);
}

QString TmyStatusBar::SimpleText() const { return text_->text(); }

void TmyStatusBar::SetSimpleText(const QString& text) { text_->setText(text); }

}  // namespace quillon
