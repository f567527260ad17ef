// TDLScrollBox: the scrolling list of download rows (TDLVisualPanel). Rows
// stack from the top, newest first, each as wide as the list; the list
// scrolls vertically when they do not fit. A click anywhere on a row selects
// it: a small close button appears at the row's upper right (2 pixels below
// its top) and the row's bevel is raised. The close button removes the row
// that lies at its height, which ends that row's transfer.
//
// The selection is one row or none (SelectedRow); the close button stays on
// the selected row when rows are added or removed above it, and goes with it.
//
// A row whose download is still running is removed only after the user agreed
// to stop it (the same question as closing the window with running downloads).
//
// The keyboard: the list is one Tab stop. Taking the focus by Tab selects the
// top row when none is selected; the selected row is the focused one and has
// a frame in the palette's highlight colour while the list has the focus. The
// keys of row_keys.h work on it: Up/Down (Home/End) select another row and
// scroll it into view, Space presses its pause link, Enter its "Open" link
// (only for a finished file), and either presses its download link where it
// offers a start; Ctrl+. presses its cancel link, Delete removes it as the
// close button does and selects the row that takes its place, Ctrl+Shift+O
// shows it in its folder, Shift+F10 opens the list's menu at the row (as the
// Menu key does), Ctrl+Up moves a waiting row up, Escape does nothing.
//
// The queue: with a limit (SetQueueLimit) the list runs at most that many
// downloads at once (TDownloadQueue). A row started beyond it waits in line
// and says its place ("Queued (2nd)."); when a running download ends
// (complete, failed, cancelled, or its row removed) the first waiting row
// starts. A paused download keeps its place among the running ones: its
// transfer and connection stay open while it is held. "Start now" (the
// waiting row's action link, Enter or Space on it, the menu) starts a
// waiting row at once beyond the limit; "Move up" (the menu, Ctrl+Up) moves
// it one place earlier. Waiting rows are saved as queued, in their order,
// and wait again after a restart (WaitInLine). While the window is closed
// (HoldQueue), nothing more starts.
// To assistive technology the list is a list of its rows (top first) and the
// close button; the focused row is its focus child.
// The list's context menu (ListMenu) holds "Start now" and "Move up" for the
// selected row (enabled while it waits) and "Clear finished", which removes
// the finished rows; the window adds its own settings to it. With a list file (SetListFile) the rows are saved there
// (download_list_store.h) as they change: a change starts a one-second
// single-shot timer unless one is pending, so the file is written at most
// once a second; SaveNow writes at once (at exit). A list that cannot be
// written says so on stderr.
#pragma once

#include <QFrame>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "download/download_queue.h"

class QAction;
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
  // Selects `row` and scrolls it into view.
  void SelectRow(TDLVisualPanel* row);
  // The selected row (the one the close button marks), or null.
  TDLVisualPanel* SelectedRow() const;
  // The row of `URL` into `LocalFilename` (as AddDownload took them), or null.
  TDLVisualPanel* FindRow(const std::string& URL, const std::string& LocalFilename) const;
  // The rows as they stand on the screen, top first.
  std::vector<TDLVisualPanel*> RowsTopDown() const;
  // The frame around the selected row while the list has the focus.
  QFrame* FocusFrame() const { return focus_frame_; }
  void RemoveSelected();
  void UpdateBevels();
  void ListResize();

  // The rows whose download is still running, the paused ones left out.
  int RunningCount() const;
  // The rows whose download the user paused (a transfer held open).
  int PausedCount() const;
  // Asks over `parent` whether to stop `running` downloads and close:
  // "N downloads are still running. Stop them and close?" (one download: "1
  // download is still running. Stop it and close?"), with No as the default.
  // `paused` downloads are told on a line of their own: "N downloads are
  // paused; they can be resumed at the next start." ("1 download is paused;
  // it can be resumed ..."); without running ones that line ends in "
  // Close?" and Yes is the default. True for Yes.
  static bool AskStopRunning(QWidget* parent, int running, int paused = 0);
  // Cancels every running or paused download (each row keeps what it has
  // fetched).
  void CancelRunning();

  // Removes the finished rows (TDLVisualPanel::Finished); how many went.
  int ClearFinished();

  // ---- The queue ----------------------------------------------------------------------
  // Downloads run at once at most (0, the default: no limit). A higher limit
  // starts waiting rows.
  void SetQueueLimit(int n);
  int QueueLimit() const { return queue_.Limit(); }
  // Rows that wait their turn.
  int QueuedCount() const { return queue_.WaitingCount(); }
  // Starts a waiting row now, beyond the limit.
  void StartNow(TDLVisualPanel* row);
  // Moves a waiting row one place earlier; false when it cannot move.
  bool MoveUp(TDLVisualPanel* row);
  // Puts `rows` in line in this order (rows brought back queued); they start
  // as slots are free.
  void WaitInLine(const std::vector<TDLVisualPanel*>& rows);
  // While held no waiting row starts (the window is closed).
  void HoldQueue(bool held);
  // Fired when rows begin or stop waiting, and when the limit changes.
  std::function<void()> OnQueueChange;

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
  QMenu* ListMenu;  // "Start now", "Move up", "Clear finished"
  QAction* StartNowAction;
  QAction* MoveUpAction;
  QAction* ClearFinishedAction;

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
  // The close button on the selected row, hidden without one.
  void PlaceCloseButton();
  // The list's menu at `global`.
  void ShowListMenu(const QPoint& global);
  // Delete on the selected row, at `index` from the top.
  void RemoveByKey(int index);
  // A row's change: a running one that ended frees its slot.
  void RowChanged(TDLVisualPanel* row);
  // A row asks to start: true when it may run now, else it waits in line.
  bool MayStart(TDLVisualPanel* row);
  // The row goes: its slot or place is freed.
  void LeaveQueue(TDLVisualPanel* row);
  // Every row's place, shown; OnQueueChange.
  void ShowPlaces();
  // Starts the waiting rows that have a slot, from the event loop (never
  // inside another row's event).
  void SchedulePump();
  void Pump();
  QWidget* content_;
  QFrame* focus_frame_;
  QPointer<TDLVisualPanel> selected_;
  std::string list_file_;
  std::unique_ptr<platform::OneShotTimer> save_timer_;
  TDownloadQueue queue_;
  bool queue_held_ = false;
  bool pump_due_ = false;
  bool pumping_ = false;
};

}  // namespace quillon
