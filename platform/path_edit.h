// TPathEdit: a read-only field for a file path that shows the path cut with
// "…" in its middle when the field is too narrow, keeping the file name whole
// as long as it fits, with the whole path as the field's tooltip. text()
// stays the whole path; only what is drawn is shortened.
#pragma once

#include <QLineEdit>

namespace quillon {

class TPathEdit : public QLineEdit {
 public:
  explicit TPathEdit(QWidget* parent);

  // The path as the field shows it.
  QString ShownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QRect TextRect() const;
  void UpdateToolTip();
};

}  // namespace quillon
