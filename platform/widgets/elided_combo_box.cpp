#include "platform/widgets/elided_combo_box.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace quillon {

TElidedComboBox::TElidedComboBox(QWidget* parent) : TRefittingWidget(parent) {
  connect(this, &QComboBox::currentIndexChanged, this, [this] { Refit(); });
  connect(model(), &QAbstractItemModel::rowsInserted, this, [this] { Refit(); });
}

int TElidedComboBox::TextWidth() const {
  QStyleOptionComboBox option;
  initStyleOption(&option);
  // The label is drawn one pixel in from each side of the edit field.
  return style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this).width() - 2;
}

QString TElidedComboBox::ShownText() const {
  return fontMetrics().elidedText(currentText(), Qt::ElideRight, TextWidth());
}

void TElidedComboBox::Refit() {
  setToolTip(ShownText() == currentText() ? QString() : currentText());
  // The open list is as wide as the box (its items are cut with "…" by the view).
  const int item_width = TextWidth();
  const QFontMetrics metrics = view()->fontMetrics();
  for (int i = 0; i < count(); ++i) {
    const QString text = itemText(i);
    setItemData(i, metrics.horizontalAdvance(text) > item_width ? text : QString(), Qt::ToolTipRole);
  }
}

void TElidedComboBox::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  painter.setPen(palette().color(QPalette::Text));
  QStyleOptionComboBox option;
  initStyleOption(&option);
  painter.drawComplexControl(QStyle::CC_ComboBox, option);
  option.currentText = ShownText();
  painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

}  // namespace quillon
