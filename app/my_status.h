// TmyStatusBar: the window's status bar: one line of text without panels, and
// room for other controls placed on it.
#pragma once

#include <QStatusBar>

class QLabel;

namespace quillon {

class TmyStatusBar : public QStatusBar {
 public:
  explicit TmyStatusBar(QWidget* parent = nullptr);

  QString SimpleText() const;
  void SetSimpleText(const QString& text);

 private:
  QLabel* text_;
};

}  // namespace quillon
