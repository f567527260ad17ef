// TDLVisualPanel: one download as a row of the download list, as wide as the
// list and 75 pixels high at the design's 8-point font (13-pixel lines); a
// larger font makes it taller in proportion, and its places follow. It owns a
// TDownloadJob, which does the transfer, and shows what the job reports: the
// URL being fetched (a mirror's once it takes over), the destination file (shortened
// with ".../" to fit), a status line (each text ends left of the links,
// shortened with "…" when needed, and is whole in its tooltip; a status that
// does not fit one line takes two), a progress cylinder ("Done" and then the
// file's icon only for a complete file; a failed row's cylinder shows what
// was received), the row's colour for its role (from the palette, followed
// when it changes), and its links in the palette's link colour, made lighter
// or darker where that is not readable on the row (RowLinkColor): the action
// link (cancel while a transfer runs, "Open" when complete, the download
// caption when a start is offered), the pause link ("Pause"/"Resume") and,
// above "Open" of a complete file, "Show in folder".
//
// Clicks on the row, its labels, the cylinder and both links fire OnClick
// (the list selects the row with it). To assistive technology the row is a
// list item named by its file name whose description is its status text; a
// new status fires a description change (while the transfer runs, at most
// every 5 s: TDescriptionPacer), a new position of the cylinder a value
// change. The FTP resume question is a Yes/No
// message box. Destroying the row ends its transfer and closes its file.
//
// A row of a list that runs a limited number of downloads at once may wait
// for its turn (SetQueuePlace): it then says "Queued (2nd)." (QueuedText) as
// its status, offers "Start now" as its action link, and shows no pause link;
// the list starts it when its turn comes (StartQueued).
#pragma once

#include <QFrame>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/date_time.h"
#include "rows/click_label.h"
#include "rows/download_accessibility.h"
#include "download/download_job.h"
#include "download/download_list_store.h"
#include "rows/progress_cyl.h"
#include "platform/message_target.h"

class QLabel;
class QTimer;

namespace quillon {

class TDLVisualPanel : public QFrame, private TResumeQuestion, private platform::MessageHandler {
 public:
  static constexpr int kRowHeight = 75;
  static constexpr int kDesignLineHeight = 13;
  // The row's height for `font`: kRowHeight, taller for lines higher than
  // kDesignLineHeight.
  static int RowHeight(const QFont& font);

  // `owner` becomes the parent.
  explicit TDLVisualPanel(QWidget* owner);
  ~TDLVisualPanel() override;

  // ---- Properties -------------------------------------------------------------------
  void SetURLDownload(const std::string& v);
  const std::string& LocalFilename() const { return job_.LocalFilename(); }
  void SetLocalFilename(const std::string& v);
  bool DownloadInProgress() const { return job_.DownloadInProgress(); }
  const std::string& CancelCaption() const { return job_.CancelCaption(); }
  void SetCancelCaption(const std::string& v) { job_.SetCancelCaption(v); }
  const std::string& DownloadCaption() const { return job_.DownloadCaption(); }
  void SetDownloadCaption(const std::string& v) { job_.SetDownloadCaption(v); }
  // The URL and the captions given to the row are UTF-8 (they come from a
  // UTF-8 catalogue) rather than windows-1252. A URL given before is shown
  // anew by RefitTexts.
  void SetTextsUtf8(bool v) { texts_utf8_ = v; }
  TDateTime DLStartTime() const { return dl_start_time_; }
  // Shows "Start download: " + date and time below the file name.
  void SetDLStartTime(TDateTime v);
  std::string RestartCaption;  // kept for callers, never shown
  std::string OpenCaption;     // kept for callers, never shown
  std::string DLCategory;      // kept for callers, never used

  // The outer bevel: lowered, or raised for the selected row.
  void SetBevelOuter(TBevelCut v);
  TBevelCut BevelOuter() const { return bevel_outer_; }

  // ---- Operations ---------------------------------------------------------------------
  // Starts (or restarts) the transfer; see TDownloadJob. A destination file
  // that cannot be created raises EFCreateError. When the destination NAME
  // exists and no other row writes it (WrittenElsewhere), the user is asked
  // first, before anything is fetched: "NAME already exists. Replace it?"
  // Replace starts (the complete download replaces NAME), Keep both starts
  // into the first free "NAME (n).ext" (FreeNumberedPath), Cancel starts
  // nothing and returns false (the question runs the event loop: the row may
  // be gone then too). A destination another row writes is left to the
  // job's lock, which refuses the start without a question.
  // A row that waits its turn stays so (true, nothing asked); one that the
  // list's MayStart holds back waits after the question.
  bool StartDownload();
  // Asked before a start (StartDownload, and Resume of a row brought back
  // paused) once the user confirmed it: true starts now, false leaves the row
  // waiting (the list gave it a place). Unset: every start runs at once.
  std::function<bool(TDLVisualPanel* Sender)> MayStart;
  // The row's turn came: it starts without a question (Resume's start for a
  // row brought back paused). The list's OnStateChange sees the outcome.
  void StartQueued();
  // True while StartQueued or a start runs the job's first steps.
  bool Starting() const { return starting_; }
  // The place in line (1 first), or 0: not waiting. Shown at once.
  void SetQueuePlace(int place);
  int QueuePlace() const { return queue_place_; }
  // "Start now" pressed on a waiting row (its action link, Enter, Space).
  std::function<void(TDLVisualPanel* Sender)> OnStartNow;
  // True when another row's running download writes `file`; set by the list.
  std::function<bool(const std::string& file)> WrittenElsewhere;
  // Shows the complete file selected in its folder (the desktop's file
  // manager, else the folder opened); nothing while the file is not complete.
  void ShowInFolder();
  // Fired when a transfer ends, complete or not (a retry's wait does not end
  // it); the handler may remove the row.
  std::function<void(TDLVisualPanel* Sender)> OnFinished;
  // The file-name label's text for the current width.
  void RefitFileName();
  // The URL, file-name and status labels shortened with "…" so that they end
  // left of the links; each shows its whole text as a tooltip.
  void RefitTexts();

  std::function<void(TDLVisualPanel* Sender)> OnClick;
  // Fired after every change the job reports (the list saves itself then).
  std::function<void(TDLVisualPanel* Sender)> OnStateChange;

  // ---- The list kept across restarts --------------------------------------------------
  // The row as it is to be saved; absent for a row that was never started.
  // A running row is saved as paused, with the bytes NAME.part holds.
  std::optional<TSavedDownload> SavedDownload() const;
  // Shows a saved row, before any start. The list may have been written by
  // another program: of it the row believes the URL, the file, the state
  // and a failed row's status, never its size, SHA-256, mirrors or a
  // finished row's status. Size, SHA-256, piece hashes, mirrors and the
  // connections per host are `link`'s, what the catalogue in use says today
  // about the URL (absent: none, and one connection).
  //  - Finished: "File no longer exists." when its file is gone; shown
  //    failed with "File changed since download." when the file's size or
  //    SHA-256 differs from the link's; "Download Complete. (verified)" when
  //    it matches the link's SHA-256 (without " (verified)" for a hash
  //    nobody authenticated); "Download Complete." without a link or a hash
  //    to check. ("Completed." instead for a row saved with FTP's text.) A
  //    file up to 1 MiB is hashed at once; a larger one on a worker thread,
  //    the row saying "Checking the file's SHA-256..." until the result
  //    comes back through the event loop (a row destroyed or started
  //    meanwhile drops it).
  //  - A paused one, and a failed one that left a part: paused with what its
  //    part holds; Resume continues it, after the question StartDownload
  //    asks when NAME exists.
  //  - A failed one without a part: its status.
  //  - A queued one: as a paused one when it left a part, else as one not
  //    started; its place in line is the list's to give (SetQueuePlace).
  // The row writes only into the saved file's folder and never makes it: a
  // start whose folder is gone fails ("Download failed: the folder FOLDER
  // no longer exists.").
  void Restore(const TSavedDownload& saved, const std::optional<TCatalogueLink>& link = std::nullopt);
  // Complete, or restored as finished with its file gone, and not waiting
  // to be fetched again: "Clear finished" removes it.
  bool Finished() const { return queue_place_ == 0 && (job_.ActionMode() == amOpen || missing_); }

  // ---- Controls (for the list and for tests) ------------------------------------------
  QLabel* FileIcon = nullptr;
  TProgressCyl* ProgressCyl = nullptr;
  TClickLabel* URLLabel = nullptr;
  TClickLabel* StartTimeLabel = nullptr;
  TClickLabel* FileNameLabel = nullptr;
  TClickLabel* StatusLabel = nullptr;
  TClickLabel* ActionLink = nullptr;
  TClickLabel* PauseLink = nullptr;
  TClickLabel* ShowFolderLink = nullptr;
  TDownloadJob& Job() { return job_; }
  // The job's status line as shown (UTF-8 when it is well-formed UTF-8), or
  // the place in line of a waiting row.
  QString StatusText() const;
  // The status line as assistive technology was last told it.
  QString DescribedStatus() const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  bool AskResume(const std::string& question) override;
  // The worker's report that a restored file is hashed.
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  // Before a start: the question about an existing NAME (see StartDownload).
  // False when the user cancelled or the row went meanwhile.
  bool ConfirmExistingFile();
  // Shows a restored finished file as its check found it (the last step:
  // the row may be gone after it).
  void ShowCheckedFile(bool same);
  // Stops waiting for a restored file's hash.
  void DropFileCheck();
  // Fires OnClick; false when its handler removed the row.
  bool RowClick();
  void ActionClick();
  void PauseClick();
  void SetActionCaption(const std::string& text);
  void ShowFileIcon();
  void Sync();
  // The links in a colour readable on the row's surface (RowLinkColor).
  void ColourLinks();
  // Tells assistive technology a new status, paced; a text held back is told
  // by a timer once its time comes.
  void TellStatus();
  void PlaceControls();
  int LinkHeight() const;
  void PlaceLabel(QLabel* label, int left, int top);
  // Where the texts must end: left of the links, whichever is further left.
  // The status line lies beside the action link; the texts above it end
  // left of "Show in folder" too while it shows.
  int TextRight() const;
  int UpperTextRight() const;
  void ShowText(TClickLabel* label, const QString& full, Qt::TextElideMode mode);
  // The status line, in two lines (broken at a space) when one would cut it
  // and the row has room for them; the other texts move up to make room.
  void ShowStatus(const QString& full);
  int TextWidth(const std::string& text) const;
  // The URL or a caption for a label (see SetTextsUtf8).
  QString CatalogueText(const std::string& text) const;

  TDownloadJob job_;
  TDateTime dl_start_time_ = 0;
  int64_t started_at_ = 0;  // seconds since 1970 of the last start
  bool missing_ = false;    // restored as finished, its file gone
  std::string missing_status_;  // the saved status of such a row
  // A restored finished file being hashed on a worker thread.
  struct TFileCheck;
  std::shared_ptr<TFileCheck> check_;
  uint64_t check_serial_ = 0;
  std::unique_ptr<platform::MessageTarget> check_target_;
  std::string complete_text_;  // a restored finished row's completion text
  TBevelCut bevel_outer_ = bvLowered;
  int shown_fit_count_ = -1;
  TRowRole shown_role_ = TRowRole::kNormal;
  int status_lines_ = 1;
  bool pressed_ = false;
  bool icon_loaded_ = false;
  bool texts_utf8_ = false;
  // Distances of the links' left edges from the row's right edge.
  int action_gap_ = 0;
  int pause_gap_ = 0;
  int folder_gap_ = 0;
  bool was_running_ = false;  // for OnFinished and the announcement
  int queue_place_ = 0;       // SetQueuePlace
  bool shown_queued_ = false;  // the action link says "Start now"
  bool starting_ = false;
  TDescriptionPacer described_;
  QTimer* describe_timer_ = nullptr;  // made for the first text held back
  // Expires with the row, whose event handlers may remove it; the last member.
  TLifetime lifetime_;
};

}  // namespace quillon
