#include "app/my_status.h"

#include <QLabel>
#include <QStringList>

#include "download/progress_text.h"
#include "platform/ansi_text.h"

namespace quillon {

TmyStatusBar::TmyStatusBar(QWidget* parent)
    : QStatusBar(parent), text_(new QLabel(this)), traffic_(new QLabel(this)) {
  // The text lives in a label of its own, so that controls placed on the bar
  // and the text never hide each other (a temporary message would).
  addWidget(text_, 1);
  text_->setTextFormat(Qt::PlainText);
  addPermanentWidget(traffic_);
  traffic_->setTextFormat(Qt::PlainText);
  traffic_->hide();
}

QString TmyStatusBar::SimpleText() const { return text_->text(); }

void TmyStatusBar::SetSimpleText(const QString& text) { text_->setText(text); }

void TmyStatusBar::SetTraffic(int64_t limit, int queued) {
  QStringList parts;
  if (limit > 0) parts << QStringLiteral("Limited to ") + AnsiToQString(FormatRate(static_cast<double>(limit)));
  if (queued > 0) parts << QStringLiteral("%1 queued").arg(queued);
  traffic_->setText(parts.join(QStringLiteral(" \u00B7 ")));
  traffic_->setVisible(!parts.isEmpty());
}

QString TmyStatusBar::TrafficText() const { return traffic_->text(); }

}  // namespace quillon
