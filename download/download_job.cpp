#include "download/download_job.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "base/file_stream.h"
#include "base/strings.h"

namespace quillon {

namespace {

// The password of an anonymous login, in the usual e-mail form.
constexpr const char* kAnonymousPassword = "quillon@example.com";

// The folder part of a path: everything up to and including the last "/".
std::string FolderOf(const std::string& path) {
  size_t last = path.rfind('/');
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

}  // namespace

TDownloadJob::TDownloadJob(TResumeQuestion* question) : question_(question) {}

TDownloadJob::~TDownloadJob() {
  *alive_ = false;
  // The clients go first, so nothing is written after the file is closed.
  ReleaseClients();
}

void TDownloadJob::ReleaseClients() {
  http_.reset();
  http_stream_.reset();
  ftp_.reset();
}

int64_t TDownloadJob::NowMs() const {
  if (clock_) return clock_();
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TDownloadJob::Changed() {
  if (OnChange) OnChange(this);
}

void TDownloadJob::SetCancelCaption(const std::string& v) {
  cancel_caption_ = v;
  if (action_mode_ == amCancel) action_caption_ = v;
  Changed();
}

void TDownloadJob::SetDownloadCaption(const std::string& v) {
  download_caption_ = v;
  if (action_mode_ == amStart) action_caption_ = v;
  Changed();
}

void TDownloadJob::SetActionCaption(const std::string& text) {
  action_caption_ = text;
  ++action_fit_count_;
}

void TDownloadJob::ToStartMode() {
  SetActionCaption(download_caption_);
  action_mode_ = amStart;
  action_enabled_ = true;
}

void TDownloadJob::ShowFileIcon() {
  if (LocalFileSize(local_filename_) >= 0) icon_shown_ = true;
}

// ---- Start ---------------------------------------------------------------------------

void TDownloadJob::StartDownload() {
  // A restart replaces whatever is left of the previous transfer.
  ReleaseClients();
  in_progress_ = false;
  ftp_completed_ = false;
  icon_shown_ = false;
  paused_ = false;
  position_ = 0;
  SetActionCaption(cancel_caption_);
  action_mode_ = amCancel;
  action_enabled_ = true;
  if (url_.empty()) {
    status_ = "No URL specified.";
    return Changed();
  }
  if (local_filename_.empty()) {
    status_ = "Destination file not specified.";
    return Changed();
  }
  std::string folder = FolderOf(local_filename_);
  if (!folder.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec)) {
      status_ = "Cannot create directory to save download to.";
      return Changed();
    }
  }
  std::string lower = LowerCase(url_);
  if (lower.starts_with("ftp://")) {
    StartFtpDownload();
  } else if (lower.starts_with("http://") || lower.starts_with("https://")) {
    StartHttpDownload();
  } else {
    status_ = "Unsupported protocol.";
    Changed();
  }
}

// ---- HTTP ----------------------------------------------------------------------------

void TDownloadJob::StartHttpDownload() {
  auto http = std::make_unique<THttpCli>();
  http->OnDocData = [this](THttpCli*, const void*, int) { HttpDocData(); };
  http->OnHeaderData = [this](THttpCli*) { HttpHeaderData(); };
  http->OnDocBegin = [this](THttpCli*) { HttpDocBegin(); };
  http->OnRequestDone = [this](THttpCli*, THttpRequest RqType, Word Error) { HttpRequestDone(RqType, Error); };
  http->SetURL(url_);
  // Creates or empties the destination; "Cannot create file" propagates.
  http_stream_ = std::make_unique<TFileStream>(local_filename_, fmCreate);
  http->SetRcvdStream(http_stream_.get());
  http_ = std::move(http);
  in_progress_ = true;
  status_ = "Initiating download...";
  if (OnHttpClientCreated) OnHttpClientCreated(this, http_.get());
  Changed();
  http_->GetAsync();
}

void TDownloadJob::HttpHeaderData() {
  (paused_ ? progress_text_ : status_) += ".";
  Changed();
}

void TDownloadJob::BeginTransfer(int64_t base_count) {
  transfer_start_ms_ = NowMs();
  next_update_ms_ = transfer_start_ms_;
  base_count_ = base_count;
}

void TDownloadJob::HttpDocBegin() {
  position_ = 0;
  pause_caption_ = "Pause";
  paused_ = false;
  pause_visible_ = true;
  BeginTransfer(0);
  Changed();
}

bool TDownloadJob::UpdateDue() {
  int64_t now = NowMs();
  if (now < next_update_ms_) return false;
  next_update_ms_ = now + 1000;
  return true;
}

void TDownloadJob::HttpDocData() {
  if (!http_ || !UpdateDue()) return;
  UpdateProgress(static_cast<double>(http_->ContentLength()), static_cast<double>(http_->RcvdCount()));
}

void TDownloadJob::HttpRequestDone(THttpRequest RqType, Word Error) {
  THttpCli* http = http_.get();
  int code = http->StatusCode();
  status_ = "Complete  StatusCode = " + std::to_string(code) + " Error = " + http->ReasonPhrase();
  if (RqType == hrGet) {
    bool remove_body = false;
    const bool short_body = code >= 200 && code <= 299 && http->ContentLength() >= 0 &&
                            http->RcvdCount() < http->ContentLength();
    if (Error == 3) {
      status_ = "Download Canceled.";
    } else if (Error != 0 && !(Error == kSslTruncatedError && short_body)) {
      status_ = "Download failed: " + http->ReasonPhrase();
      remove_body = code >= 400;
      ToStartMode();
    } else if (code == 404) {
      status_ = "Download not found.";
      remove_body = true;
      ToStartMode();
    } else if (code < 200 || code > 299) {
      status_ = "Download failed: " + std::to_string(code) + " " + http->ReasonPhrase();
      remove_body = code >= 400;
      ToStartMode();
    } else if (short_body) {
      // Also for a TLS connection closed without close-notify: the length
      // says that something is missing.
      status_ = "Download incomplete.";
      ToStartMode();
    } else {
      color_ = clDownloadComplete;
      position_ = 100;
      SetActionCaption("Open");
      action_mode_ = amOpen;
      status_ = "Download Complete.";
    }
    // Closes the destination file before it may be removed.
    http_stream_.reset();
    if (remove_body) {
      std::error_code ec;
      std::filesystem::remove(local_filename_, ec);
    }
    in_progress_ = false;
    http_.reset();  // the client allows this inside its own OnRequestDone
    ShowFileIcon();
  }
  pause_visible_ = false;
  Changed();
}

// ---- FTP -----------------------------------------------------------------------------

void TDownloadJob::StartFtpDownload() {
  TFtpUrlParts parts = SplitFtpUrl(url_);
  auto ftp = std::make_unique<TFtpClient>();
  ftp->OnProgress = [this](TCustomFtpCli*, int64_t Count, bool&) { FtpProgress(Count); };
  ftp->OnRequestDone = [this](TCustomFtpCli*, TFtpRequest RqType, Word Error) { FtpRequestDone(RqType, Error); };
  ftp->OnSessionConnected = [this](TCustomFtpCli*, Word) { FtpSessionConnected(); };
  ftp->OnSessionClosed = [](TCustomFtpCli*, Word) {};
  ftp->SetHostName(parts.host);
  ftp->SetPort(parts.port);
  ftp->SetUserName(parts.user.empty() ? std::string("anonymous") : parts.user);
  ftp->SetPassWord(parts.user.empty() ? std::string(kAnonymousPassword) : parts.password);
  ftp->SetHostDirName(parts.dir);
  ftp->SetHostFileName(parts.file);
  ftp->SetLocalFileName(local_filename_);
  ftp->SetBinary(true);
  ftp->SetPassive(false);
  ftp_ = std::move(ftp);
  status_ = "Connecting to server...";
  in_progress_ = true;
  // The link stays disabled until Size has completed.
  action_enabled_ = false;
  pause_visible_ = false;
  if (OnFtpClientCreated) OnFtpClientCreated(this, ftp_.get());
  Changed();
  ftp_->Connect();
}

void TDownloadJob::FtpSessionConnected() {
  status_ = "Session Connected.";
  Changed();
}

void TDownloadJob::FtpProgress(int64_t Count) {
  if (!ftp_ || !UpdateDue()) return;
  UpdateProgress(static_cast<double>(ftp_->SizeResult()), static_cast<double>(Count));
}

void TDownloadJob::FtpRequestDone(TFtpRequest RqType, Word Error) {
  TFtpClient* ftp = ftp_.get();
  if (Error != 0) return FtpFailed(RqType);
  switch (RqType) {
    case ftpRqConnect: ftp->User(); break;
    case ftpRqUser: ftp->Pass(); break;
    case ftpRqPass:
      if (!ftp->HostDirName().empty())
        ftp->Cwd();
      else
        ftp->TypeSet();
      break;
    case ftpRqCwd: ftp->TypeSet(); break;
    case ftpRqTypeSet: ftp->Size(); break;
    case ftpRqSize: FtpSizeDone(); break;
    case ftpRqGet:
    case ftpRqRestartGet:
      ftp_completed_ = true;
      position_ = 100;
      color_ = clDownloadComplete;
      status_ = "Completed.";
      SetActionCaption("Open");
      pause_visible_ = false;
      action_mode_ = amOpen;
      Changed();
      ftp->Quit();
      break;
    case ftpRqQuit:
      in_progress_ = false;
      ftp_.reset();  // the client allows this inside its own OnRequestDone
      ShowFileIcon();
      Changed();
      break;
    default: break;
  }
}

void TDownloadJob::FtpSizeDone() {
  bool resume = false;
  int64_t local_size = LocalFileSize(local_filename_);
  if (local_size >= 0 && local_size < ftp_->SizeResult() && question_) {
    std::weak_ptr<bool> alive = alive_;
    TFtpClient* asked = ftp_.get();
    resume = question_->AskResume(kResumeQuestion);
    // The question may have run the event loop: the row may be gone, or the
    // transfer ended or replaced.
    if (alive.expired() || ftp_.get() != asked) return;
    local_size = LocalFileSize(local_filename_);
    resume = resume && local_size >= 0 && local_size < ftp_->SizeResult();
  }
  action_enabled_ = true;
  pause_caption_ = "Pause";
  paused_ = false;
  pause_visible_ = true;
  BeginTransfer(resume ? local_size : 0);
  Changed();
  if (resume) {
    ftp_->SetResumeAt(local_size);
    ftp_->RestartGet();
  } else {
    ftp_->SetResumeAt(0);
    ftp_->Get();
  }
}

void TDownloadJob::FtpFailed(TFtpRequest RqType) {
  TFtpClient* ftp = ftp_.get();
  status_ = "Status = " + std::to_string(ftp->StatusCode()) + " LastResponse was : \"" + ftp->LastResponse() +
            "\" (" + ftp->ErrorMessage() + ")";
  bool quit_failed = RqType == ftpRqQuit;
  if (quit_failed && ftp_completed_) status_ = "Completed.";  // the file is complete; only the goodbye failed
  if (RqType == ftpRqConnect || RqType == ftpRqUser || RqType == ftpRqPass) status_ = "Could not connect or log in.";
  if (RqType == ftpRqGet || RqType == ftpRqRestartGet) {
    status_ = "Download cancelled.";
    color_ = clDownloadCancelled;
  }
  in_progress_ = false;
  pause_visible_ = false;
  if (!ftp_completed_) ToStartMode();
  if (!quit_failed && ftp->Connected()) {
    Changed();
    ftp->Quit();  // its completion releases the client
    return;
  }
  ftp_.reset();  // the client allows this inside its own OnRequestDone
  ShowFileIcon();
  Changed();
}

// ---- Progress ------------------------------------------------------------------------

void TDownloadJob::UpdateProgress(double total, double received) {
  int64_t elapsed = (NowMs() - transfer_start_ms_) / 1000;
  TProgressText p = ProgressText(total, received, elapsed, received - static_cast<double>(base_count_));
  // Data already under way when the user paused still arrives; the row keeps
  // saying "Paused." and shows the newest progress text on Resume.
  progress_text_ = p.text;
  if (!paused_) status_ = p.text;
  if (p.position >= 0) position_ = p.position;
  Changed();
}

// ---- Clicks --------------------------------------------------------------------------

void TDownloadJob::ActionClick() {
  switch (action_mode_) {
    case amStart: StartDownload(); break;
    case amCancel: Cancel(); break;
    case amOpen: break;
  }
}

void TDownloadJob::Cancel() {
  if (action_mode_ != amCancel || !in_progress_ || !action_enabled_) return;
  std::weak_ptr<bool> alive = alive_;
  std::string lower = LowerCase(url_);
  if ((lower.starts_with("http://") || lower.starts_with("https://")) && http_) {
    http_->Abort();
    if (alive.expired()) return;
    color_ = clDownloadCancelled;
  } else if (lower.starts_with("ftp://") && ftp_) {
    ftp_->Abort();
    if (alive.expired()) return;
  }
  ToStartMode();
  pause_visible_ = false;
  in_progress_ = false;
  status_ = "Download Cancelled.";
  Changed();
}

void TDownloadJob::PauseClick() {
  TWSocket* socket = nullptr;
  if (http_)
    socket = &http_->CtrlSocket();
  else if (ftp_)
    socket = ftp_->DataSocket();
  if (pause_caption_ == "Pause") {
    if (socket) socket->Pause();
    pause_caption_ = "Resume";
    paused_ = true;
    progress_text_ = status_;
    status_ = "Paused.";
  } else {
    pause_caption_ = "Pause";
    paused_ = false;
    if (status_ == "Paused.") status_ = progress_text_;
    if (socket) socket->Resume();
  }
  Changed();
}

}  // namespace quillon
