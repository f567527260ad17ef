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
//
// A row whose download is still running is removed only after the user agreed
// to stop it (the same question as closing the window with running downloads).
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

  // Removes a row at once, without a question (its transfer ends with it).
  void RemoveRow(TDLVisualPanel* row);
  void RowSelected(TDLVisualPanel* Sender);
  void RemoveSelected();
  void UpdateBevels();
  void ListResize();

  // The rows whose download is still running.
  int RunningCount() const;
  // Asks over `parent` whether to stop `running` downloads and close:
  // "N downloads are still running. Stop them and close?" (one download: "1
  // download is still running. Stop it and close?"). True for Yes.
  static bool AskStopRunning(QWidget* parent, int running);
  // Cancels every running download (each row keeps what it has fetched).
  void CancelRunning();

  QPushButton* CloseButton;

 protected:
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Relayout();
  QWidget* content_;
};

}  // namespace quillon
