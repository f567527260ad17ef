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
//
// The keyboard: the list is one Tab stop. Taking the focus by Tab selects the
// top row when none is selected; the selected row is the focused one and has
// a frame in the palette's highlight colour while the list has the focus. The
// keys of row_keys.h work on it: Up/Down (Home/End) select another row and
// scroll it into view, Space presses its pause link, Enter its "Open" link
// (only for a finished file), Delete removes it as the close button does and
// selects the row that takes its place, Ctrl+Shift+O shows it in its folder.
// To assistive technology the list is a list of its rows (top first) and the
// close button; the focused row is its focus child.
// The list's context menu (ListMenu) holds "Clear finished", which removes
// the finished rows. With a list file (SetListFile) the rows are saved there
// (download_list_store.h) as they change: a change starts a one-second
// single-shot timer unless one is pending, so the file is written at most
// once a second; SaveNow writes at once (at exit). A list that cannot be
// written says so on stderr.
#pragma once

#include <QFrame>
#include <QPushButton>
#include <QScrollArea>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QMenu;

namespace quillon {

namespace platform {
class OneShotTimer;
}
class TDLVisualPanel;

class TDLScrollBox : public QScrollArea {
 public:
  explicit TDLScrollBox(QWidget* owner);
  ~TDLScrollBox() override;

  // A new row for URL and file, at the top; not started.
  TDLVisualPanel* AddDownload(const std::string& URL, const std::string& LocalFilename);
  // The rows, oldest first.
  std::vector<TDLVisualPanel*> Rows() const;
  // The rows' area (the close button lives there too).
  QWidget* Content() const { return content_; }

  // Removes a row at once, without a question (its transfer ends with it).
  void RemoveRow(TDLVisualPanel* row);
  void RowSelected(TDLVisualPanel* Sender);
  // The selected row (the one the close button marks), or null.
  TDLVisualPanel* SelectedRow() const;
  // The rows as they stand on the screen, top first.
  std::vector<TDLVisualPanel*> RowsTopDown() const;
  // The frame around the selected row while the list has the focus.
  QFrame* FocusFrame() const { return focus_frame_; }
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

  // Removes the finished rows (TDLVisualPanel::Finished); how many went.
  int ClearFinished();

  // Saves the rows to `path` from now on (empty: nowhere).
  void SetListFile(const std::string& path) { list_file_ = path; }
  const std::string& ListFile() const { return list_file_; }
  // Writes the list within a second (nothing when a write is already due).
  void ScheduleSave();
  // Writes the list now.
  void SaveNow();
  // Fired after each write of the list file.
  std::function<void()> OnListSaved;

  QPushButton* CloseButton;
  QMenu* ListMenu;  // "Clear finished"

 protected:
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void Relayout();
  void UpdateFocusFrame();
  // Selects `row` and scrolls it into view.
  void SelectRow(TDLVisualPanel* row);
  // Delete on the selected row, at `index` from the top.
  void RemoveByKey(int index);
  QWidget* content_;
  QFrame* focus_frame_;
  std::string list_file_;
  std::unique_ptr<platform::OneShotTimer> save_timer_;
};

}  // namespace quillon
