// TDLScrollBox: the scrolling list of download rows (TDLVisualPanel). Rows
// stack from the top, newest first, each as wide as the list; the list
// scrolls vertically when they do not fit. A click anywhere on a row selects
// it: a small close button appears at the row's upper right (2 pixels below
// its top) and the row's bevel is raised. The close button removes the row
// that lies at its height, which ends that row's transfer.
//
// The selected row is the one whose top is 2 pixels above the close button's
// top while the button is shown; there is no other selection state. A row
// added above the selection moves the rows down but not the button.
#pragma once

#include <QPushButton>
#include <QScrollArea>
#include <string>
#include <vector>

namespace quillon {

class TDLVisualPanel;

class TDLScrollBox : public QScrollArea {
 public:
  explicit TDLScrollBox(QWidget* owner);

  // A new row for URL and file, at the top; not started.
  TDLVisualPanel* AddDownload(const std::string& URL, const std::string& LocalFilename);
  // The rows, oldest first.
  std::vector<TDLVisualPanel*> Rows() const;
  // The rows' area (the close button lives there too).
  QWidget* Content() const { return content_; }

  void RowSelected(TDLVisualPanel* Sender);
  void RemoveSelected();
  void UpdateBevels();
  void ListResize();

  QPushButton* CloseButton;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Relayout();
  QWidget* content_;
};

}  // namespace quillon
