#include "platform/widgets/path_edit.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace quillon {

namespace {
// The line edit's own spacing between its frame and its text.
constexpr int kHorizontalMargin = 2;
}  // namespace

TPathEdit::TPathEdit(QWidget* parent) : TRefittingWidget(parent) {
  setReadOnly(true);
  connect(this, &QLineEdit::textChanged, this, [this] { Refit(); });
}

QRect TPathEdit::TextRect() const {
  QStyleOptionFrame option;
  initStyleOption(&option);
  QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
  const QMargins margins = textMargins();
  return r.marginsRemoved(margins).adjusted(kHorizontalMargin, 0, -kHorizontalMargin, 0);
}

QString TPathEdit::ShownText() const {
  const QString path = text();
  const QFontMetrics metrics = fontMetrics();
  const int width = TextRect().width();
  if (metrics.horizontalAdvance(path) <= width) return path;
  // The folders give way first: "…" takes the end of them, the file name stays.
  const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
  const QString tail = QStringLiteral("\u2026/") + path.mid(slash + 1);
  const int rest = width - metrics.horizontalAdvance(tail);
  if (slash > 0 && rest >= 0) {
    QString head = path.left(slash);
    while (!head.isEmpty() && (metrics.horizontalAdvance(head) > rest || head.back().isHighSurrogate())) head.chop(1);
    return head + tail;
  }
  // A name too long on its own is cut in its middle.
  return metrics.elidedText(path, Qt::ElideMiddle, width);
}

void TPathEdit::Refit() { setToolTip(ShownText() == text() ? QString() : text()); }

void TPathEdit::paintEvent(QPaintEvent* event) {
  // With the focus, the line edit's own drawing: the whole path, scrolled
  // to the cursor, with the selection the user makes.
  if (hasFocus()) {
    QLineEdit::paintEvent(event);
    return;
  }
  QPainter painter(this);
  QStyleOptionFrame option;
  initStyleOption(&option);
  style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
  const QRect r = TextRect();
  painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
  painter.drawText(r, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, ShownText());
}

}  // namespace quillon
