#include "download/download_job.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <system_error>
#include <utility>

#include "base/strings.h"
#include "download/file_name_rule.h"
#include "download/ftp_session_transfer.h"
#include "download/http_transfer.h"
#include "download/partial_file.h"
#include "download/pieces_transfer.h"
#include "download/queued_file_stream.h"
#include "download/rate_limiter.h"
#include "download/retry_text.h"
#include "net/http/url.h"
#include "platform/timer.h"

namespace quillon {

namespace {

// The folder part of a path: everything up to and including the last "/".
std::string FolderOf(const std::string& path) {
  size_t last = path.rfind('/');
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// A random number in [0, 1) for the random part of a retry's wait.
double RandomFraction() {
  static std::minstd_rand random(std::random_device{}());
  return std::uniform_real_distribution<double>(0.0, 1.0)(random);
}

}  // namespace

TDownloadJob::TDownloadJob(TResumeQuestion* question)
    : question_(question), write_queue_limit_(TQueuedFileStream::kDefaultLimit) {}

TDownloadJob::~TDownloadJob() {
  if (rate_limiter_) rate_limiter_->Unregister(rate_limiter_key_);
  lifetime_.Invalidate();
  // Destroyed from inside one of a client's events (a row removing itself on
  // a change), the client is destroyed there too: it sees that and returns.
  // The clients go first, so nothing is written after the file is closed.
  ReleaseClients();
}

void TDownloadJob::ReleaseClients() {
  if (retry_timer_) retry_timer_->Stop();
  retry_next_ = nullptr;
  transfer_.reset();
  // Drops whatever is still queued; the writer closes the file after the
  // block it may be writing.
  part_stream_.reset();
  queue_full_ = false;
  KeepOrRemovePart(true);
}

void TDownloadJob::SetPhase(TJobPhase phase) {
  // A transfer that fails while the user holds it waits for its retry
  // still held (Resume goes on with the retry), and the file's first bytes
  // do not end a hold either.
  if (phase != TJobPhase::kRetrying && phase != TJobPhase::kTransferring) held_ = false;
  phase_ = phase;
  // The socket of a held transfer waits.
  if (held_) ApplyPause();
}

void TDownloadJob::SetOutcome(TJobOutcome outcome) {
  if (outcome == TJobOutcome::kFailed && outcome_ == TJobOutcome::kCancelled) return;
  outcome_ = outcome;
}

void TDownloadJob::EndTransfer() {
  SetPhase(phase_ == TJobPhase::kSettling && part_stream_ ? TJobPhase::kSettling : TJobPhase::kDone);
}

// A restored paused row has no transfer until Resume.
bool TDownloadJob::DownloadInProgress() const { return phase_ != TJobPhase::kIdle && phase_ != TJobPhase::kDone; }

TActionMode TDownloadJob::ActionMode() const {
  switch (outcome_) {
    case TJobOutcome::kComplete: return amOpen;
    case TJobOutcome::kFailed:
    case TJobOutcome::kCancelled: return amStart;
    case TJobOutcome::kNone: break;
  }
  return phase_ == TJobPhase::kIdle ? amStart : amCancel;
}

bool TDownloadJob::PauseVisible() const {
  // An HTTP request can be held while it waits for its answer; an FTP
  // session's login has no data connection to hold.
  return outcome_ == TJobOutcome::kNone &&
         (held_ || phase_ == TJobPhase::kTransferring || phase_ == TJobPhase::kRetrying ||
          (phase_ == TJobPhase::kConnecting && HttpClient()));
}

TRowRole TDownloadJob::Role() const {
  switch (outcome_) {
    case TJobOutcome::kComplete: return TRowRole::kFinished;
    case TJobOutcome::kFailed:
    case TJobOutcome::kCancelled: return TRowRole::kFailed;
    case TJobOutcome::kNone: break;
  }
  return held_ ? TRowRole::kPaused : TRowRole::kNormal;
}

const std::string& TDownloadJob::PauseCaption() const {
  static const std::string pause = "Pause", resume = "Resume";
  return held_ ? resume : pause;
}

int64_t TDownloadJob::NowMs() const {
  if (clock_) return clock_();
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool TDownloadJob::Changed() { return FireEvent(lifetime_, OnChange, this); }

void TDownloadJob::ChangedLast() { static_cast<void>(FireEvent(lifetime_, OnChange, this)); }

void TDownloadJob::SetCancelCaption(const std::string& v) {
  cancel_caption_ = v;
  if (ActionMode() == amCancel) action_caption_ = v;
  ChangedLast();
}

void TDownloadJob::SetDownloadCaption(const std::string& v) {
  download_caption_ = v;
  if (ActionMode() == amStart) action_caption_ = v;
  ChangedLast();
}

void TDownloadJob::SetActionCaption(const std::string& text) {
  action_caption_ = text;
  ++action_fit_count_;
}

void TDownloadJob::ToStartMode() {
  SetActionCaption(download_caption_);
  action_enabled_ = true;
}

// Only a complete file replaces the cylinder; a failed row keeps showing
// what was received.
void TDownloadJob::ShowFileIcon() {
  if (ActionMode() == amOpen && LocalFileSize(local_filename_) >= 0) icon_shown_ = true;
}

// ---- Start ---------------------------------------------------------------------------

void TDownloadJob::StartDownload() { Begin(TTryMode::kAsk); }

void TDownloadJob::Begin(TTryMode mode) {
  // A restart replaces whatever is left of the previous transfer.
  ReleaseClients();
  run_.Begin();
  SetPhase(TJobPhase::kIdle);
  SetOutcome(TJobOutcome::kNone);  // a new start has no outcome yet
  // A new start begins with the URL that was set, not with a mirror of it.
  if (mirror_index_ > 0) url_ = picked_url_;
  mirror_index_ = 0;
  picked_url_ = url_;
  attempt_ = 0;
  mirror_status_.clear();
  abandoned_text_.clear();
  spliced_ = false;
  pieces_refused_ = false;
  sources_text_.clear();
  failure_kind_ = TFailureKind::kNone;
  icon_shown_ = false;
  verified_ = false;
  write_error_.clear();
  position_ = 0;
  progress_ = {};
  SetActionCaption(cancel_caption_);
  action_enabled_ = true;
  if (!expected_.error.empty()) {
    Finish(false, "Download failed: " + expected_.error + ".");
    SetPhase(TJobPhase::kDone);
    return ChangedLast();
  }
  if (url_.empty()) {
    SetPhase(TJobPhase::kDone);
    status_ = "No URL specified.";
    return ChangedLast();
  }
  if (local_filename_.empty()) {
    SetPhase(TJobPhase::kDone);
    status_ = "Destination file not specified.";
    return ChangedLast();
  }
  std::string folder = FolderOf(local_filename_);
  // A row brought back from the list writes only into the folder it was
  // started for, and never makes one.
  if (std::error_code ec; !makes_folder_ && !folder.empty() && !std::filesystem::is_directory(folder, ec)) {
    NoteFailure(TFailureKind::kFileIo);
    SetPhase(TJobPhase::kDone);
    Finish(false, "Download failed: the folder " + folder.substr(0, folder.size() - 1) + " no longer exists.");
    return ChangedLast();
  }
  if (!folder.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (!std::filesystem::is_directory(folder, ec)) {
      NoteFailure(TFailureKind::kFileIo);
      SetPhase(TJobPhase::kDone);
      status_ = "Cannot create directory to save download to.";
      return ChangedLast();
    }
  }
  // "Keep both" never writes over a file that is there, nor takes the name
  // of another download running now (several of one name at once).
  struct stat existing {};
  if (existing_ == TExistingFile::kKeepBoth)
    local_filename_ = ::lstat(set_filename_.c_str(), &existing) == 0 || IsHeldPart(PartialFileName(set_filename_))
                          ? FreeNumberedPath(set_filename_, IsHeldPart)
                          : set_filename_;
  part_name_ = PartialFileName(local_filename_);
  std::string lower = LowerCase(url_);
  if (!lower.starts_with("ftp://") && !lower.starts_with("http://") && !lower.starts_with("https://")) {
    SetPhase(TJobPhase::kDone);
    status_ = "Unsupported protocol.";
    return ChangedLast();
  }
  // A line break in a URL would end a command early; a URL without a host
  // has nobody to ask. Nothing is sent for either.
  if (const std::string refusal = UrlRefusal(url_); !refusal.empty()) {
    SetPhase(TJobPhase::kDone);
    Finish(false, "Download failed: " + refusal);
    return ChangedLast();
  }
  // From here to the end of the transfer NAME.part is this download's alone.
  if (!TakePart()) return ChangedLast();
  StartTry(mode);
}

std::vector<std::string> TDownloadJob::PieceSources() const {
  if (pieces_refused_ || mirror_index_ != 0) return {};
  std::vector<std::string> urls{url_};
  if (!expected_.sha256.empty() || !expected_.pieces.Empty())
    for (const std::string& mirror : mirrors_) {
      const std::string lower = LowerCase(mirror);
      if ((lower.starts_with("http://") || lower.starts_with("https://") || lower.starts_with("ftp://")) &&
          UrlRefusal(mirror).empty())
        urls.push_back(mirror);
    }
  if (urls.size() == 1 && connections_per_host_ <= 1) return {};
  return urls;
}

void TDownloadJob::StartTry(TTryMode mode, bool ftp_active) {
  if (std::vector<std::string> sources = PieceSources(); !sources.empty())
    transfer_ = std::make_unique<TPiecesTransfer>(*this, mode, std::move(sources));
  else if (LowerCase(url_).starts_with("ftp://"))
    transfer_ = std::make_unique<TFtpSessionTransfer>(*this, mode, ftp_active);
  else
    transfer_ = std::make_unique<THttpTransfer>(*this, mode);
  transfer_->Start();
}

// Ends a transfer: open mode on success, start mode with the failure text
// otherwise (a status text already set stays when `failure` is empty).
void TDownloadJob::Finish(bool complete, const std::string& failure) {
  if (complete) {
    SetOutcome(TJobOutcome::kComplete);
    position_ = 100;
    SetActionCaption("Open");
  } else {
    if (!failure.empty()) status_ = failure;
    NoteFailure(TFailureKind::kGeneric);
    SetOutcome(TJobOutcome::kFailed);
    ToStartMode();
  }
}

void TDownloadJob::FinishCommitted(const std::string& failure) {
  if (!failure.empty()) return Finish(false, failure);
  status_ = CompletionText("Download Complete.");
  Finish(true, "");
}

// ---- Retries and mirrors ------------------------------------------------------------

bool TDownloadJob::RetryOrMirror(std::string& failure, const TTryFailure& how) {
  if (!part_.Held()) return false;
  TTryFailure failed = how;
  // A failure on this computer's side (the file, the part's lock): another
  // try or URL does not help.
  failed.local = failure_kind_ == TFailureKind::kFileIo;
  std::vector<std::string> sources{PickedURL()};
  sources.insert(sources.end(), mirrors_.begin(), mirrors_.end());
  const TRetryPolicy::TDecision next = TRetryPolicy(retries_, retry_wait_).Next(
      failed, failure, attempt_, sources, mirror_index_, !expected_.sha256.empty(), RandomFraction());
  switch (next.step) {
    case TRetryPolicy::kGiveUp: failure = next.failure; return false;
    case TRetryPolicy::kRetry: {
      ++attempt_;
      int64_t wait = next.wait_ms;
      ShowRetryStatus(RetryText((wait + 999) / 1000, attempt_, retries_, failure));
      if (retry_wait_hook_) wait = retry_wait_hook_(wait);
      Schedule([this] { StartTry(TTryMode::kContinue); }, wait);
      return true;
    }
    case TRetryPolicy::kNextSource:
      // Why this source is left, before the mirror's text replaces it.
      abandoned_text_ = AbandonedText(url_, failure);
      ShowRetryStatus(abandoned_text_);
      // From the event loop too, once the failed client has been dropped.
      Schedule([this, k = next.source] { NextMirror(k); }, 0);
      return true;
  }
  return false;
}

void TDownloadJob::ShowRetryStatus(const std::string& text) {
  if (held_) {
    progress_text_ = text;
    status_ = "Paused.";
  } else {
    status_ = text;
  }
}

bool TDownloadJob::RefetchSplicedPart(const std::string& failure) {
  if (failure != NotTheFileText() || !spliced_ || !part_.Held()) return false;
  // The part was joined from two sources: the one that served the rest
  // sends the whole file once more before the file counts as not the
  // publisher's. A whole file is no longer spliced.
  spliced_ = false;
  ShowRetryStatus("SHA-256 mismatch of a file joined from two sources: fetching it whole from " +
                  RedactedUrl(url_));
  Schedule([this] { StartTry(TTryMode::kWhole); }, 0);
  return true;
}

void TDownloadJob::Schedule(std::function<void()> next, int64_t wait_ms) {
  retry_next_ = std::move(next);
  SetPhase(TJobPhase::kRetrying);
  AfterPartWritten([this, wait_ms] { StartRetryTimer(wait_ms); });
}

bool TDownloadJob::RetryDue() const {
  return phase_ == TJobPhase::kRetrying && retry_next_ && !part_stream_ && !(retry_timer_ && retry_timer_->Active());
}

void TDownloadJob::StartRetryTimer(int64_t ms) {
  if (!retry_timer_) {
    retry_timer_ = std::make_unique<platform::OneShotTimer>();
    // A wait that ends while the user holds the row ends with Resume.
    retry_timer_->OnTimer = [this] {
      if (!held_) RetryNow();
    };
  }
  retry_timer_->Start(static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, UINT32_MAX)));
}

void TDownloadJob::RetryNow() {
  write_error_.clear();
  // A part that failed its checks was removed: the next try takes the name
  // again (which another download may hold by now).
  std::error_code ec;
  if (!std::filesystem::exists(part_name_, ec)) {
    part_.Release();
    if (!TakePart()) return ChangedLast();
  }
  auto next = std::move(retry_next_);
  retry_next_ = nullptr;
  if (next) next();
}

void TDownloadJob::NextMirror(size_t k) {
  mirror_index_ = k;
  url_ = mirrors_[k - 1];
  attempt_ = 0;
  mirror_status_ = MirrorText(mirror_index_, mirrors_.size(), url_);
  status_ = mirror_status_;
  const std::string lower = LowerCase(url_);
  const std::string refusal = UrlRefusal(url_);
  if (!refusal.empty() ||
      (!lower.starts_with("ftp://") && !lower.starts_with("http://") && !lower.starts_with("https://"))) {
    SetPhase(TJobPhase::kDone);
    Finish(false, refusal.empty() ? "Unsupported protocol." : "Download failed: " + refusal);
    KeepOrRemovePart(true);
    return ChangedLast();
  }
  StartTry(TTryMode::kContinue);
}

void TDownloadJob::DropPendingRetry() {
  if (retry_timer_) retry_timer_->Stop();
  retry_next_ = nullptr;
  part_stream_.reset();  // a cancel does not wait for the writer
  KeepOrRemovePart(transfer_ && transfer_->PartContinuable());
  ToStartMode();
  SetPhase(TJobPhase::kDone);
  SetOutcome(TJobOutcome::kCancelled);
  status_ = LowerCase(url_).starts_with("ftp://") ? "Download cancelled." : "Download Cancelled.";
  ShowFileIcon();
  ChangedLast();
}

// ---- Progress ------------------------------------------------------------------------

void TDownloadJob::BeginTransfer(int64_t base_count) {
  transfer_start_ms_ = NowMs();
  next_update_ms_ = transfer_start_ms_;
  base_count_ = base_count;
}

bool TDownloadJob::UpdateDue() {
  int64_t now = NowMs();
  if (now < next_update_ms_) return false;
  next_update_ms_ = now + 1000;
  return true;
}

void TDownloadJob::UpdateProgress(double total, double received) {
  int64_t elapsed = (NowMs() - transfer_start_ms_) / 1000;
  TProgressText p = ProgressText(total, received, elapsed, received - static_cast<double>(base_count_));
  // "from 3 sources" goes after the sizes, before the rate: a row that
  // cuts its second line short still shows it.
  if (const size_t rate = p.text.find(" ("); !sources_text_.empty() && rate != std::string::npos)
    p.text.insert(rate + 1, sources_text_ + "  ");
  else if (!sources_text_.empty())
    p.text += (p.text.ends_with(' ') ? "" : " ") + sources_text_;
  // Data already under way when the user paused still arrives; the row keeps
  // saying "Paused." and shows the newest progress text on Resume.
  progress_text_ = p.text;
  progress_ = p;
  if (!held_) status_ = p.text;
  if (p.position >= 0) position_ = p.position;
  ChangedLast();
}

// ---- Clicks --------------------------------------------------------------------------

void TDownloadJob::ActionClick() {
  switch (ActionMode()) {
    case amStart: StartDownload(); break;
    case amCancel: Cancel(); break;
    case amOpen: break;
  }
}

void TDownloadJob::Cancel() {
  if (ActionMode() != amCancel || !action_enabled_) return;
  if (!DownloadInProgress()) {
    if (!held_) return;
    // A restored paused row: no transfer to end; NAME.part stays for a later start.
    SetOutcome(TJobOutcome::kCancelled);
    ToStartMode();
    SetPhase(TJobPhase::kDone);
    status_ = "Download Cancelled.";
    return ChangedLast();
  }
  const bool client = transfer_ && transfer_->Active();
  // The HTTP resume question comes before any transfer: nothing to cancel.
  if (phase_ == TJobPhase::kAsking && !FtpClient()) return;
  if (phase_ == TJobPhase::kRetrying) return DropPendingRetry();
  run_.Begin();  // a question still open belongs to the cancelled run
  if (phase_ == TJobPhase::kCommitting) {
    // The writer had not finished the whole part: it stays a part. Without
    // a client whose end would settle it, the part is settled here.
    part_stream_.reset();
    if (!client) KeepOrRemovePart(true);
  }
  SetOutcome(TJobOutcome::kCancelled);
  if (client) {
    auto alive = lifetime_.Token();
    transfer_->Abort();
    if (!alive) return;
  }
  ToStartMode();
  EndTransfer();
  status_ = "Download Cancelled.";
  ChangedLast();
}

void TDownloadJob::PauseClick() {
  if (!held_) {
    held_ = true;
    progress_text_ = status_;
    status_ = "Paused.";
  } else if (!DownloadInProgress()) {
    // Held without a transfer (a restored paused row): Resume starts it,
    // continuing NAME.part unasked when its record allows.
    return Begin(TTryMode::kContinue);
  } else {
    held_ = false;
    status_ = progress_text_;
    // The wait before a retry ended while held: the retry starts now.
    if (RetryDue()) {
      if (!Changed()) return;
      return RetryNow();
    }
  }
  ApplyPause();
  ChangedLast();
}

void TDownloadJob::ShowRestored(TRestoredState state, const std::string& status, int position) {
  if (DownloadInProgress()) return;
  // A paused download of an earlier run has no transfer until Resume.
  SetPhase(state == rsPaused ? TJobPhase::kDone : TJobPhase::kIdle);
  held_ = state == rsPaused;
  SetOutcome(TJobOutcome::kNone);
  position_ = std::clamp(position, 0, 100);
  icon_shown_ = false;
  switch (state) {
    case rsFinished:
      Finish(true, "");
      SetPhase(TJobPhase::kDone);
      status_ = status;
      ShowFileIcon();
      break;
    case rsMissing:
      ToStartMode();
      status_ = "File no longer exists.";
      position_ = 0;
      break;
    case rsPaused:
      // Resume / Cancel, as the row offered before the restart.
      SetActionCaption(cancel_caption_);
      action_enabled_ = true;
      status_ = "Paused.";
      break;
    case rsFailed:
      Finish(false, status);
      SetPhase(TJobPhase::kDone);
      break;
  }
  ChangedLast();
}

void TDownloadJob::ApplyPause() {
  if (transfer_) transfer_->Hold(held_ || queue_full_ || (rate_limiter_ && rate_limiter_->Holding()));
}

void TDownloadJob::SetRateLimiter(TRateLimiter* limiter) {
  if (limiter == rate_limiter_) return;
  if (rate_limiter_) rate_limiter_->Unregister(rate_limiter_key_);
  rate_limiter_ = limiter;
  if (rate_limiter_) rate_limiter_key_ = rate_limiter_->Register([this] { ApplyPause(); });
  ApplyPause();
}

void TDownloadJob::SpendReceived(int64_t bytes, THttpCli* client) {
  const int read_size = rate_limiter_ ? rate_limiter_->ReadSize() : 0;
  if (client) client->SetBodyReadSize(read_size > 0 ? read_size : kHttpBodyReadSize);
  if (!rate_limiter_) return;
  rate_limiter_->Spend(bytes);
  // A socket opened while the others were held (a new piece, a retry)
  // joins the hold after its first read.
  if (rate_limiter_->Holding()) ApplyPause();
}

}  // namespace quillon
