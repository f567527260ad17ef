#include "download/download_job.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include <cerrno>
#include <cstring>

#include "base/file_stream.h"
#include "base/strings.h"
#include "download/partial_file.h"
#include "download/queued_file_stream.h"

namespace quillon {

namespace {

// The password of an anonymous login, in the usual e-mail form.
constexpr const char* kAnonymousPassword = "quillon@example.com";
constexpr const char* kCannotWrite = "Download failed: cannot write the file: ";
constexpr const char* kIncomplete = "Download incomplete.";
constexpr const char* kNotThePublishersFile =
    "Download failed: the file is not the one the publisher signed (SHA-256 mismatch).";

std::string SystemReason() { return std::strerror(errno != 0 ? errno : EIO); }

// The folder part of a path: everything up to and including the last "/".
std::string FolderOf(const std::string& path) {
  size_t last = path.rfind('/');
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// The value of the first header field `name` (lower case) of a response.
std::string HeaderValue(const std::vector<std::string>& header, const std::string& name) {
  for (const std::string& line : header) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || LowerCase(line.substr(0, colon)) != name) continue;
    return std::string(TrimWS(std::string_view(line).substr(colon + 1)));
  }
  return "";
}

// A decimal number that fills the text; -1 otherwise.
int64_t ParseCount(std::string_view text) { return ParseDecimalDigits(text).value_or(-1); }

// "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL": FIRST (-1 for "*") and
// TOTAL (-1 for "*"); false when the text is neither form.
bool ParseContentRange(const std::string& value, int64_t& first, int64_t& total) {
  if (!StartsText("bytes ", value)) return false;
  std::string_view rest = std::string_view(value).substr(6);
  size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view range = rest.substr(0, slash), size = rest.substr(slash + 1);
  total = size == "*" ? -1 : ParseCount(size);
  if (size != "*" && total < 0) return false;
  if (range == "*") {
    first = -1;
    return true;
  }
  size_t dash = range.find('-');
  if (dash == std::string_view::npos) return false;
  first = ParseCount(range.substr(0, dash));
  return first >= 0 && ParseCount(range.substr(dash + 1)) >= first;
}

// A name or password that would break the command line it is sent in.
bool UnsafeLoginText(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

bool IsAnonymousUser(const std::string& user) { return SameText(user, "anonymous") || SameText(user, "ftp"); }

}  // namespace

TDownloadJob::TDownloadJob(TResumeQuestion* question)
    : question_(question), write_queue_limit_(TQueuedFileStream::kDefaultLimit) {}

TDownloadJob::~TDownloadJob() {
  lifetime_.Invalidate();
  // The clients go first, so nothing is written after the file is closed.
  ReleaseClients();
}

void TDownloadJob::ReleaseClients() {
  http_.reset();
  ftp_.reset();
  // Drops whatever is still queued; the writer closes the file after the
  // block it may be writing.
  part_stream_.reset();
  committing_ = false;
  settling_ = false;
  queue_full_ = false;
}

int64_t TDownloadJob::NowMs() const {
  if (clock_) return clock_();
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void TDownloadJob::Changed() {
  FireEvent(lifetime_, OnChange, this);
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
  ++start_count_;
  in_progress_ = false;
  ftp_completed_ = false;
  cancelled_ = false;
  icon_shown_ = false;
  paused_ = false;
  verified_ = false;
  write_error_.clear();
  position_ = 0;
  progress_ = {};
  SetActionCaption(cancel_caption_);
  action_mode_ = amCancel;
  action_enabled_ = true;
  if (!expected_.error.empty()) {
    Finish(false, "Download failed: " + expected_.error + ".");
    return Changed();
  }
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
  part_name_ = PartialFileName(local_filename_);
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

// ---- Completion ----------------------------------------------------------------------

void TDownloadJob::OpenPartStream(int64_t keep) {
  std::unique_ptr<TFileStream> file;
  if (keep > 0) {
    file = std::make_unique<TFileStream>(part_name_, fmOpenReadWrite);  // read to be hashed
    file->SetSize(keep);  // also moves to its end
  } else {
    file = std::make_unique<TFileStream>(part_name_, fmCreate);
  }
  part_stream_ = std::make_unique<TQueuedFileStream>(std::move(file), write_queue_limit_);
  if (!expected_.sha256.empty()) part_stream_->HashWithSha256();
  part_stream_->OnFull = [this] {
    queue_full_ = true;
    ApplyPause();
  };
  part_stream_->OnDrained = [this] {
    queue_full_ = false;
    ApplyPause();
  };
  part_stream_->OnWriteError = [this](const std::string& reason) { WriteFailed(reason); };
}

void TDownloadJob::WriteFailed(const std::string& reason) {
  if (!write_error_.empty()) return;
  write_error_ = reason;
  // The client's completion shows the failure; once the transfer has ended
  // (committing, or settling a failed one), the finish of the part reports it
  // and the client, saying goodbye, is left alone.
  if (committing_ || settling_) return;
  if (http_)
    http_->Abort();
  else if (ftp_)
    ftp_->Abort();
}

std::string TDownloadJob::WriteFailure() const {
  if (!write_error_.empty()) return kCannotWrite + write_error_;
  if (ftp_ && !ftp_->LocalWriteError().empty()) return kCannotWrite + ftp_->LocalWriteError();
  return "";
}

std::string TDownloadJob::SizeMismatch(int64_t announced) const {
  return "Download failed: the server's file has " + std::to_string(announced) + " bytes, the publisher's has " +
         std::to_string(expected_.size) + ".";
}

std::string TDownloadJob::CompletionText(const char* text) const {
  return verified_ && expected_.authenticated ? std::string(text) + " (verified)" : std::string(text);
}

void TDownloadJob::CommitWhenWritten(int64_t expected_size, std::function<void(const std::string&)> then) {
  if (!part_stream_) {
    // Nothing arrived in this start (an empty document, or a part that is
    // already the whole file): the part is checked as it stands.
    try {
      const bool exists = LocalFileSize(part_name_) >= 0;
      auto file = std::make_unique<TFileStream>(part_name_, exists ? fmOpenReadWrite : fmCreate);
      file->Seek(0, TSeekOrigin::soEnd);
      part_stream_ = std::make_unique<TQueuedFileStream>(std::move(file), write_queue_limit_);
      if (!expected_.sha256.empty()) part_stream_->HashWithSha256();
    } catch (const std::exception&) {
      return then(kCannotWrite + SystemReason());
    }
  }
  committing_ = true;
  part_stream_->Finish([this, expected_size, then](const std::string& error) {
    const std::string digest = part_stream_->Sha256();
    part_stream_.reset();  // closes the part before it is renamed or removed
    committing_ = false;
    then(error.empty() ? CommitDownload(expected_size, digest) : kCannotWrite + error);
  });
}

std::string TDownloadJob::CommitDownload(int64_t expected_size, const std::string& digest) {
  int64_t size = LocalFileSize(part_name_);
  // Shorter than the server announced, or than the publisher's file.
  if (size < 0 || (expected_size >= 0 && size < expected_size) || size < expected_.size) return kIncomplete;
  // A part longer than the publisher's file, or than the server announced.
  if (expected_.size >= 0 && size != expected_.size) {
    RemovePartialFile(part_name_);
    return SizeMismatch(size);
  }
  if (expected_size >= 0 && size != expected_size) return kIncomplete;
  if (!expected_.sha256.empty()) {
    if (digest != expected_.sha256) {
      RemovePartialFile(part_name_);
      return kNotThePublishersFile;
    }
    verified_ = true;
  }
  std::string reason;
  if (!CommitPartialFile(part_name_, local_filename_, reason)) return kCannotWrite + reason;
  return "";
}

void TDownloadJob::SettlePart(bool continuable, bool drop) {
  if (!part_stream_ || drop || !continuable) {
    part_stream_.reset();  // drops what is still queued
    return KeepOrRemovePart(continuable);
  }
  // A failure while the part was being committed replaces the commit.
  committing_ = false;
  settling_ = true;
  part_stream_->Finish([this, continuable](const std::string&) {
    part_stream_.reset();
    settling_ = false;
    KeepOrRemovePart(continuable);
    Changed();
  });
}

void TDownloadJob::KeepOrRemovePart(bool continuable) {
  if (!continuable || LocalFileSize(part_name_) <= 0) RemovePartialFile(part_name_);
}

// Ends a transfer: open mode on success, start mode with the failure text
// otherwise (a status text already set stays when `failure` is empty).
void TDownloadJob::Finish(bool complete, const std::string& failure) {
  if (complete) {
    color_ = clDownloadComplete;
    position_ = 100;
    SetActionCaption("Open");
    action_mode_ = amOpen;
  } else {
    if (!failure.empty()) status_ = failure;
    ToStartMode();
  }
  pause_visible_ = false;
}

// ---- HTTP ----------------------------------------------------------------------------

void TDownloadJob::StartHttpDownload() {
  http_resuming_ = false;
  http_part_opened_ = false;
  http_failure_.clear();
  resume_from_ = 0;
  http_total_ = -1;
  int64_t part_size = LocalFileSize(part_name_);
  TPartInfo info;
  // A part of another length than the publisher's file is not continued.
  if (part_size > 0 && ReadPartInfo(part_name_, info) && info.url == url_ && info.Continuable() &&
      part_size < info.total && (expected_.size < 0 || info.total == expected_.size) && question_) {
    auto alive = lifetime_.Token();
    uint32_t asked = start_count_;
    bool resume = question_->AskResume(kResumeQuestion);
    // The question may have run the event loop: the row may be gone, or
    // another start may have begun.
    if (!alive || start_count_ != asked) return;
    part_size = LocalFileSize(part_name_);
    if (resume && part_size > 0 && part_size < info.total) {
      http_resuming_ = true;
      resume_from_ = part_size;
      http_total_ = info.total;
    }
  }
  std::string validator = info.validator;

  auto http = std::make_unique<THttpCli>();
  http->OnDocData = [this](THttpCli*, const void*, int) { HttpDocData(); };
  http->OnHeaderData = [this](THttpCli*) { HttpHeaderData(); };
  http->OnDocBegin = [this](THttpCli*) { HttpDocBegin(); };
  http->OnRequestDone = [this](THttpCli*, THttpRequest RqType, Word Error) { HttpRequestDone(RqType, Error); };
  http->SetURL(url_);
  http->SetConnectTimeout(connect_timeout_);
  http->SetIdleTimeout(idle_timeout_);
  if (http_resuming_) http->SetContentRangeBegin(std::to_string(resume_from_));
  http_ = std::move(http);
  in_progress_ = true;
  status_ = "Initiating download...";
  if (!FireEvent(lifetime_, OnHttpClientCreated, this, http_.get())) return;
  // The validator goes with every continued request, after whatever a
  // caller added, so that the server sends the rest only of the same file.
  if (http_resuming_) {
    auto before = http_->OnBeforeHeaderSend;
    http_->OnBeforeHeaderSend = [before, validator](THttpCli* sender, const std::string& method,
                                                   std::vector<std::string>& lines) {
      if (before) before(sender, method, lines);
      lines.push_back("If-Range: " + validator);
    };
  }
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

// The first piece of a body. Only the body of a 2xx answer is written, into
// the part: continued on a 206 that continues it, from nothing otherwise.
// A failure here is thrown, which ends the request (http_failure_ says why).
void TDownloadJob::HttpDocBegin() {
  position_ = 0;
  pause_caption_ = "Pause";
  paused_ = false;
  pause_visible_ = true;
  BeginTransfer(0);
  THttpCli* http = http_.get();
  int code = http->StatusCode();
  if (code < 200 || code > 299) return Changed();
  const std::vector<std::string>& header = http->RcvdHeader();
  if (http_resuming_ && code != 206) {
    http_resuming_ = false;  // the whole file came instead: the part starts again
    resume_from_ = 0;
  }
  try {
    if (http_resuming_) {
      int64_t first = -1, total = -1;
      if (!ParseContentRange(HeaderValue(header, "content-range"), first, total) || first != resume_from_ ||
          total != http_total_) {
        http_failure_ = "Download failed: " + std::to_string(code) + " " + http->ReasonPhrase();
        throw EHttpException(http_failure_, code);
      }
      OpenPartStream(resume_from_);
      BeginTransfer(resume_from_);
    } else {
      // The publisher's size decides before the first byte is stored.
      if (expected_.size >= 0 && http->ContentLength() >= 0 && http->ContentLength() != expected_.size) {
        http_failure_ = SizeMismatch(http->ContentLength());
        throw EHttpException(http_failure_, code);
      }
      OpenPartStream(0);
      TPartInfo info;
      info.url = url_;
      info.total = http->ContentLength();
      info.validator = HeaderValue(header, "etag");
      if (info.validator.empty()) info.validator = HeaderValue(header, "last-modified");
      http_total_ = info.total;
      if (!WritePartInfo(part_name_, info)) http_total_ = -1;
    }
  } catch (const EHttpException&) {
    throw;
  } catch (const std::exception&) {
    http_failure_ = kCannotWrite + SystemReason();
    throw;
  }
  http_part_opened_ = true;
  http->SetRcvdStream(part_stream_.get());
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
  double total = static_cast<double>(http_->ContentLength());
  if (total >= 0)
    total += static_cast<double>(base_count_);
  else
    total = static_cast<double>(expected_.size);
  UpdateProgress(total, static_cast<double>(http_->RcvdCount() + base_count_));
}

// The outcome of a finished GET: a failure text, or "" with `complete` set
// and the size the whole file must have (-1: unknown).
std::string TDownloadJob::HttpFailure(Word Error, bool& complete, int64_t& expected_size) {
  THttpCli* http = http_.get();
  int code = http->StatusCode();
  complete = false;
  expected_size = -1;
  if (!http_failure_.empty()) return http_failure_;
  if (!write_error_.empty()) return WriteFailure();
  if (Error == httperrAborted) return "Download Canceled.";
  // A TLS connection closed without close-notify before the announced
  // length: the length says that something is missing.
  if (Error == kSslTruncatedError && code >= 200 && code <= 299 && http->ContentLength() >= 0 &&
      http->RcvdCount() < http->ContentLength())
    return kIncomplete;
  if (Error != 0) return "Download failed: " + http->ReasonPhrase();
  if (code == 404) return "Download not found.";
  if (code == 416 && http_resuming_) {
    // Nothing after byte N: the part is the whole file when the total is N.
    int64_t first = -1, total = -1;
    if (ParseContentRange(HeaderValue(http->RcvdHeader(), "content-range"), first, total) && first < 0 &&
        total == resume_from_) {
      complete = true;
      expected_size = resume_from_;
      return "";
    }
  }
  // No status line was read: the peer closed first or sent something else.
  if (code == 0) return "Download failed: no valid HTTP response from the server.";
  if (code < 200 || code > 299) return "Download failed: " + std::to_string(code) + " " + http->ReasonPhrase();
  if (http->ContentLength() >= 0 && http->RcvdCount() < http->ContentLength()) return kIncomplete;
  complete = true;
  expected_size = http_total_;
  if (!http_part_opened_) {
    // A body that had no file to go to is not a download.
    if (http->RcvdCount() > 0) {
      complete = false;
      return std::string(kCannotWrite) + "the body was not stored";
    }
    // No body at all: the document is empty, whatever the part held.
    RemovePartialFile(part_name_);
    expected_size = 0;
  }
  return "";
}

void TDownloadJob::HttpRequestDone(THttpRequest RqType, Word Error) {
  pause_visible_ = false;
  if (RqType != hrGet) {
    status_ = "Complete  StatusCode = " + std::to_string(http_->StatusCode()) + " Error = " + http_->ReasonPhrase();
    return Changed();
  }
  bool complete = false;
  int64_t expected_size = -1;
  std::string failure = HttpFailure(Error, complete, expected_size);
  http_.reset();  // the client allows this inside its own OnRequestDone
  // The progress text stays until the writer has written the whole part.
  if (complete) return CommitWhenWritten(expected_size, [this](const std::string& f) { HttpCommitted(f); });
  // A cancel keeps the status its click showed, in start mode already.
  const bool cancelled = Error == httperrAborted && write_error_.empty();
  if (cancelled)
    status_ = failure;
  else
    Finish(false, failure);
  EndHttpDownload(false, cancelled);
}

void TDownloadJob::HttpCommitted(const std::string& failure) {
  if (failure.empty()) {
    status_ = CompletionText("Download Complete.");
    Finish(true, "");
  } else {
    Finish(false, failure);
  }
  EndHttpDownload(failure.empty(), false);
}

void TDownloadJob::EndHttpDownload(bool complete, bool cancelled) {
  // This start's data continues only with a recorded total and validator.
  if (!complete && http_part_opened_) {
    TPartInfo info;
    SettlePart(ReadPartInfo(part_name_, info) && info.Continuable(), cancelled);
  } else if (!complete) {
    part_stream_.reset();
  }
  in_progress_ = false;
  pause_visible_ = false;
  ShowFileIcon();
  Changed();
}

// ---- FTP -----------------------------------------------------------------------------

void TDownloadJob::StartFtpDownload() {
  TFtpUrlParts parts = SplitFtpUrl(url_);
  std::string user = parts.user.empty() ? std::string("anonymous") : parts.user;
  std::string password = parts.password;
  if (password.empty() && IsAnonymousUser(user)) password = kAnonymousPassword;
  auto ftp = std::make_unique<TFtpClient>();
  ftp->OnProgress = [this](TCustomFtpCli*, int64_t Count, bool&) { FtpProgress(Count); };
  ftp->OnRequestDone = [this](TCustomFtpCli*, TFtpRequest RqType, Word Error) { FtpRequestDone(RqType, Error); };
  ftp->OnSessionConnected = [this](TCustomFtpCli*, Word) { FtpSessionConnected(); };
  ftp->OnSessionClosed = [](TCustomFtpCli*, Word) {};
  ftp->SetHostName(parts.host);
  ftp->SetPort(parts.port);
  ftp->SetUserName(user);
  ftp->SetPassWord(password);
  ftp->SetHostDirName(parts.dir);
  ftp->SetHostFileName(parts.file);
  ftp->SetLocalFileName(part_name_);
  ftp->SetBinary(true);
  ftp->SetPassive(false);
  ftp->SetConnectTimeout(connect_timeout_);
  ftp->SetIdleTimeout(idle_timeout_);
  ftp_ = std::move(ftp);
  ftp_size_known_ = false;
  ftp_finished_ = false;
  status_ = "Connecting to server...";
  in_progress_ = true;
  pause_visible_ = false;
  if (!FireEvent(lifetime_, OnFtpClientCreated, this, ftp_.get())) return;
  // A user name without a password (other than an anonymous one) cannot
  // log in, and a line break in either would end the command early.
  const std::string& name = ftp_->UserName();
  const std::string& word = ftp_->PassWord();
  if ((word.empty() && !IsAnonymousUser(name)) || UnsafeLoginText(name) || UnsafeLoginText(word)) {
    in_progress_ = false;
    ftp_.reset();
    Finish(false, "Could not connect or log in.");
    return Changed();
  }
  if (word.empty()) ftp_->SetPassWord(kAnonymousPassword);
  Changed();
  ftp_->Connect();
}

void TDownloadJob::FtpSessionConnected() {
  status_ = "Session Connected.";
  Changed();
}

void TDownloadJob::FtpProgress(int64_t Count) {
  if (!ftp_ || !UpdateDue()) return;
  const int64_t total = ftp_size_known_ ? ftp_->SizeResult() : expected_.size;
  UpdateProgress(static_cast<double>(total), static_cast<double>(Count));
}

void TDownloadJob::FtpLoggedIn() {
  if (!ftp_->HostDirName().empty())
    ftp_->Cwd();
  else
    ftp_->TypeSet();
}

void TDownloadJob::FtpRequestDone(TFtpRequest RqType, Word Error) {
  TFtpClient* ftp = ftp_.get();
  if (Error != 0) return FtpFailed(RqType, Error);
  switch (RqType) {
    case ftpRqConnect: ftp->User(); break;
    case ftpRqUser:
      // 230: logged in without a password.
      if (ftp->StatusCode() == 230)
        FtpLoggedIn();
      else
        ftp->Pass();
      break;
    case ftpRqPass: FtpLoggedIn(); break;
    case ftpRqCwd: ftp->TypeSet(); break;
    case ftpRqTypeSet: ftp->Size(); break;
    case ftpRqSize: FtpSizeDone(); break;
    case ftpRqGet:
    case ftpRqRestartGet: FtpTransferDone(); break;
    case ftpRqQuit:
      in_progress_ = false;
      ftp_.reset();  // the client allows this inside its own OnRequestDone
      ShowFileIcon();
      Changed();
      break;
    default: break;
  }
}

// The transfer was reported done: the file is complete only when it has as
// many bytes as the SIZE answer (when there was one).
void TDownloadJob::FtpTransferDone() {
  ftp_->SetLocalStream(nullptr);
  const std::string failure = WriteFailure();
  if (!failure.empty()) return FtpCommitted(failure);
  CommitWhenWritten(ftp_size_known_ ? ftp_->SizeResult() : -1, [this](const std::string& f) { FtpCommitted(f); });
}

void TDownloadJob::FtpCommitted(const std::string& failure) {
  ftp_finished_ = true;
  if (failure.empty()) {
    ftp_completed_ = true;
    status_ = CompletionText("Completed.");
    Finish(true, "");
  } else {
    Finish(false, failure);
    SettlePart(true, false);
  }
  Changed();
  if (ftp_) ftp_->Quit();
}

void TDownloadJob::FtpSizeDone() {
  // "213 <number>": a size to check the file against.
  const std::string& reply = ftp_->LastResponse();
  size_t digits = reply.find_first_not_of("0123456789");
  size_t number = digits == std::string::npos ? digits : reply.find_first_not_of(' ', digits);
  ftp_size_known_ = number != std::string::npos && reply[number] >= '0' && reply[number] <= '9';
  bool resume = false;
  int64_t local_size = LocalFileSize(part_name_);
  if (local_size > 0 && local_size < ftp_->SizeResult() && question_) {
    auto alive = lifetime_.Token();
    TFtpClient* asked = ftp_.get();
    resume = question_->AskResume(kResumeQuestion);
    // The question may have run the event loop: the row may be gone, or the
    // transfer ended or replaced.
    if (!alive || ftp_.get() != asked) return;
    local_size = LocalFileSize(part_name_);
    resume = resume && local_size > 0 && local_size < ftp_->SizeResult();
  }
  // The server announces the length in its SIZE answer.
  if (expected_.size >= 0 && ftp_size_known_ && ftp_->SizeResult() != expected_.size) {
    ftp_finished_ = true;
    Finish(false, SizeMismatch(ftp_->SizeResult()));
    Changed();
    return ftp_->Quit();
  }
  try {
    OpenPartStream(resume ? local_size : 0);
  } catch (const std::exception&) {
    ftp_finished_ = true;
    Finish(false, kCannotWrite + SystemReason());
    Changed();
    return ftp_->Quit();
  }
  ftp_->SetLocalStream(part_stream_.get());
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

void TDownloadJob::FtpFailed(TFtpRequest RqType, Word Error) {
  TFtpClient* ftp = ftp_.get();
  bool quit_failed = RqType == ftpRqQuit;
  bool transfer = RqType == ftpRqGet || RqType == ftpRqRestartGet;
  // After the outcome was shown only the goodbye failed: the outcome stays.
  if (!(quit_failed && ftp_finished_))
    status_ = "Status = " + std::to_string(ftp->StatusCode()) + " LastResponse was : \"" + ftp->LastResponse() +
              "\" (" + ftp->ErrorMessage() + ")";
  if (quit_failed && ftp_finished_) {
  } else if (transfer && !WriteFailure().empty()) {
    status_ = WriteFailure();
  } else if (Error == kConnectTimeoutError || Error == kIdleTimeoutError) {
    status_ = "Download failed: " + TTransferWatchdog::ReasonText(
                                        Error == kConnectTimeoutError ? TTimeoutKind::Connect : TTimeoutKind::Idle,
                                        ftp->IdleTimeout());
  } else if (cancelled_ || transfer) {
    status_ = "Download cancelled.";
    color_ = clDownloadCancelled;
  } else if (RqType == ftpRqConnect || RqType == ftpRqUser || RqType == ftpRqPass) {
    status_ = "Could not connect or log in.";
  }
  in_progress_ = false;
  pause_visible_ = false;
  if (!ftp_completed_) ToStartMode();
  ftp->SetLocalStream(nullptr);
  if (!ftp_finished_) SettlePart(true, cancelled_);
  ftp_finished_ = true;
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
  progress_ = p;
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
  if (committing_) {
    // The writer had not finished the whole part: it stays a part.
    part_stream_.reset();
    committing_ = false;
  }
  auto alive = lifetime_.Token();
  std::string lower = LowerCase(url_);
  if ((lower.starts_with("http://") || lower.starts_with("https://")) && http_) {
    http_->Abort();
    if (!alive) return;
    color_ = clDownloadCancelled;
  } else if (lower.starts_with("ftp://") && ftp_) {
    cancelled_ = true;
    ftp_->Abort();
    if (!alive) return;
  }
  ToStartMode();
  pause_visible_ = false;
  in_progress_ = false;
  status_ = "Download Cancelled.";
  Changed();
}

void TDownloadJob::PauseClick() {
  if (pause_caption_ == "Pause") {
    pause_caption_ = "Resume";
    paused_ = true;
    progress_text_ = status_;
    status_ = "Paused.";
  } else {
    pause_caption_ = "Pause";
    paused_ = false;
    if (status_ == "Paused.") status_ = progress_text_;
  }
  ApplyPause();
  Changed();
}

void TDownloadJob::ApplyPause() {
  TWSocket* socket = nullptr;
  if (http_)
    socket = &http_->CtrlSocket();
  else if (ftp_)
    socket = ftp_->DataSocket();
  const bool wait = paused_ || queue_full_;
  if (!socket || socket->Paused() == wait) return;
  // A transfer that waits on purpose is not silent: its idle limit waits.
  TTransferWatchdog* watchdog = http_ ? &http_->Watchdog() : &ftp_->Watchdog();
  if (wait) {
    socket->Pause();
    watchdog->Suspend();
  } else {
    watchdog->Resume();
    socket->Resume();
  }
}

}  // namespace quillon
