// TDownloadJob: one download without any widget. It creates and drives the
// HTTP client (http:// and https://) or the FTP client (ftp://) and keeps what a download
// row shows: the status text, the row colour, the cylinder position, the
// action link's mode, caption and enabled state, the pause link, and whether
// the file's icon replaces the cylinder. Every change ends with one OnChange,
// so a viewer (the row TDLVisualPanel, or quillon-get) reads the new values
// there. The only question a download asks, whether to continue a shorter
// local file over FTP, goes to a TResumeQuestion.
//
// Life of a download:
//   StartDownload: checks (texts "No URL specified.", "Destination file not
//     specified.", "Cannot create directory to save download to.",
//     "Unsupported protocol."), creates the destination folder, then
//   HTTP: "Initiating download..." + one "." per header line, progress
//     texts once a second, then one of "Download Complete." (error 0,
//     status 200-299, every byte of a known length; open mode, light grey),
//     "Download Canceled." (aborted), "Download failed: <reason>" (network
//     or protocol error), "Download not found." (404), "Download failed:
//     <code> <reason>" (other statuses), "Download incomplete." (a 2xx body
//     shorter than its length, also when TLS ended without close-notify);
//     the failures go to start mode, and an error body (status 400 or more)
//     is removed.
//   FTP: "Connecting to server...", "Session Connected.", then User, Pass,
//     Cwd (when there is a folder), TypeSet, Size, the resume decision, Get or
//     RestartGet, Quit; "Completed." (open mode, light grey), or on a failure
//     "Could not connect or log in." (connect, USER, PASS), "Download
//     cancelled." (light pink; Get, RestartGet) or "Status = <code>
//     LastResponse was : "<reply>" (<message>)"; failures go to start mode.
//   Pause/Resume (the pause link): "Paused." until Resume, then the progress
//     text again.
//   Cancel (ActionClick in cancel mode): aborts, start mode, "Download
//     Cancelled." until the client's completion replaces it.
// Destroying the job ends its transfer and closes the destination file.
// User-interface thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "download/colors.h"
#include "download/download_texts.h"
#include "net/ftp/ftp_client.h"
#include "net/http/http_cli.h"

namespace quillon {

class TFileStream;

// Answers "continue the shorter local file?" for a job.
class TResumeQuestion {
 public:
  virtual ~TResumeQuestion() = default;
  // `question` is the text to show; true continues, false fetches the whole
  // file. The answerer may run the event loop (a modal message box); the job
  // may be destroyed meanwhile, which it notices.
  virtual bool AskResume(const std::string& question) = 0;
};

// Row colours of a finished download; clDefault keeps the widget's own.
constexpr TColor clDefault = clSystemColor | 15;  // the button face, as a panel has
constexpr TColor clDownloadComplete = RGBToColor(233, 233, 233);
constexpr TColor clDownloadCancelled = RGBToColor(255, 236, 236);

// The action link's modes, as its tag holds them.
enum TActionMode { amCancel = 0, amOpen = 1, amStart = 2 };

inline constexpr const char* kResumeQuestion =
    "Previous file exists, resume download?\r\nPress YES to resume, NO for full download.";

class TDownloadJob {
 public:
  // Milliseconds of a monotonic clock; tests replace it.
  using TClock = std::function<int64_t()>;

  explicit TDownloadJob(TResumeQuestion* question = nullptr);
  ~TDownloadJob();
  TDownloadJob(const TDownloadJob&) = delete;
  TDownloadJob& operator=(const TDownloadJob&) = delete;

  // ---- Settings ---------------------------------------------------------------
  const std::string& URL() const { return url_; }
  void SetURL(const std::string& v) { url_ = v; }
  const std::string& LocalFilename() const { return local_filename_; }
  void SetLocalFilename(const std::string& v) { local_filename_ = v; }
  // Caption of the action link while a transfer runs / when a (re)start is
  // offered; setting one changes the shown caption only in its own mode.
  const std::string& CancelCaption() const { return cancel_caption_; }
  void SetCancelCaption(const std::string& v);
  const std::string& DownloadCaption() const { return download_caption_; }
  void SetDownloadCaption(const std::string& v);
  void SetClock(TClock clock) { clock_ = std::move(clock); }
  void SetResumeQuestion(TResumeQuestion* q) { question_ = q; }

  // ---- What a viewer shows ---------------------------------------------------------
  bool DownloadInProgress() const { return in_progress_; }
  const std::string& Status() const { return status_; }
  TColor Color() const { return color_; }
  int Position() const { return position_; }
  TActionMode ActionMode() const { return action_mode_; }
  const std::string& ActionCaption() const { return action_caption_; }
  // Counts the calls of SetActionCaption (which also refit the link's width);
  // a caption setter changes the text without counting.
  int ActionFitCount() const { return action_fit_count_; }
  bool ActionEnabled() const { return action_enabled_; }
  bool PauseVisible() const { return pause_visible_; }
  const std::string& PauseCaption() const { return pause_caption_; }
  // True when the file's icon replaces the progress cylinder.
  bool IconShown() const { return icon_shown_; }

  THttpCli* HttpClient() const { return http_.get(); }
  TFtpClient* FtpClient() const { return ftp_.get(); }

  // ---- Operations ------------------------------------------------------------------
  void StartDownload();
  // The action link: cancel, start again or (open mode) nothing: opening the
  // file is the viewer's business.
  void ActionClick();
  // Aborts the running transfer (cancel mode only, while a download runs).
  void Cancel();
  // The pause link: "Pause" pauses the data connection and shows "Paused.",
  // "Resume" resumes it and brings the progress text back.
  void PauseClick();

  // Fired after every change of what a viewer shows.
  std::function<void(TDownloadJob* Sender)> OnChange;
  // Fired when a client has been created and wired, before its first
  // request: a caller may add settings (a proxy, credentials, passive mode).
  std::function<void(TDownloadJob* Sender, THttpCli* Client)> OnHttpClientCreated;
  std::function<void(TDownloadJob* Sender, TFtpClient* Client)> OnFtpClientCreated;

 private:
  void StartHttpDownload();
  void StartFtpDownload();
  void HttpHeaderData();
  void HttpDocBegin();
  void HttpDocData();
  void HttpRequestDone(THttpRequest RqType, Word Error);
  void FtpSessionConnected();
  void FtpProgress(int64_t Count);
  void FtpRequestDone(TFtpRequest RqType, Word Error);
  void FtpSizeDone();
  void FtpFailed(TFtpRequest RqType);
  void UpdateProgress(double total, double received);
  bool UpdateDue();
  void BeginTransfer(int64_t base_count);
  void SetActionCaption(const std::string& text);
  void ToStartMode();
  void ShowFileIcon();
  void ReleaseClients();
  void Changed();
  int64_t NowMs() const;

  TResumeQuestion* question_;
  TClock clock_;
  std::string url_;
  std::string local_filename_;
  std::string cancel_caption_;
  std::string download_caption_ = "Download";

  bool in_progress_ = false;
  std::string status_ = "...";
  TColor color_ = clDefault;
  int position_ = 0;
  TActionMode action_mode_ = amStart;
  std::string action_caption_ = "Download";
  int action_fit_count_ = 0;
  bool action_enabled_ = true;
  bool pause_visible_ = true;
  std::string pause_caption_ = "Pause";
  // Paused by the pause link: the status says "Paused." and the progress
  // text that would be shown waits in progress_text_ until Resume.
  bool paused_ = false;
  std::string progress_text_;
  bool icon_shown_ = false;

  std::unique_ptr<THttpCli> http_;
  std::unique_ptr<TFileStream> http_stream_;
  std::unique_ptr<TFtpClient> ftp_;
  bool ftp_completed_ = false;  // Get or RestartGet ended well, Quit follows
  int64_t transfer_start_ms_ = 0;
  int64_t next_update_ms_ = 0;
  int64_t base_count_ = 0;  // bytes already on disk when the transfer began
  // Expires with the job, so that code after a modal question can tell.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quillon
