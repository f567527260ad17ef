#include "download/download_job.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <system_error>
#include <utility>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>

#include "base/file_stream.h"
#include "base/strings.h"
#include "base/version.h"
#include "download/file_name_rule.h"
#include "download/ftp_url.h"
#include "download/partial_file.h"
#include "download/queued_file_stream.h"
#include "download/retry_after.h"
#include "download/retry_text.h"
#include "platform/timer.h"
#include "net/http/url.h"
#include "net/socket/host_name.h"
#include "net/socket/socks_wsocket.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {

// The password of an anonymous login, in the usual e-mail form.
constexpr const char* kAnonymousPassword = "quillon@example.com";
constexpr const char* kCannotWrite = "Download failed: cannot write the file: ";
constexpr const char* kIncomplete = "Download incomplete.";
constexpr const char* kNotThePublishersFile =
    "Download failed: the file is not the one the publisher signed (SHA-256 mismatch).";
constexpr const char* kNotTheFileGiven =
    "Download failed: the file is not the one given on the command line (SHA-256 mismatch).";

std::string SystemReason() { return std::strerror(errno != 0 ? errno : EIO); }

// A body that went on past the publisher's size of `size` bytes.
std::string SizeExceeded(int64_t size) {
  return "Download failed: the server's file has more than " + std::to_string(size) + " bytes, the publisher's has " +
         std::to_string(size) + ".";
}

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

// The file-name part of a path: the text after its last "/".
std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A destination that another download writes its part to.
std::string HeldDestination(const std::string& path) {
  return "Download failed: " + FileNameOf(path) + " is the partial file of another running download.";
}

// Whether a 206 is of the file version the part was recorded with: its ETag
// equals the recorded one, or its Last-Modified date when the record holds a
// date (an ETag is a quoted text, weak or strong).
bool SameVersion(const std::vector<std::string>& header, const std::string& recorded) {
  const bool etag = recorded.starts_with('"') || recorded.starts_with("W/");
  return !recorded.empty() && HeaderValue(header, etag ? "etag" : "last-modified") == recorded;
}

// The failure of a 206 that does not hold the bytes that were asked for.
std::string NotTheAskedPart(THttpCli& http) {
  return "Download failed: " + std::to_string(http.StatusCode()) + " " + http.ReasonPhrase() +
         " (not the part of the file that was asked for)";
}

// The longest wait a server's Retry-After is honoured with.
constexpr int64_t kMaxRetryAfterMs = 300 * 1000;

// Failures of the network that a later try may not meet: a reset connection
// and the time limits, and a refused connection after `attempt` earlier
// retries of the URL (a server that restarts). Refused at the first try,
// nobody listens there: waiting does not change that.
bool TransientSocketError(Word Error, int attempt) {
  if (Error == platform::WSAECONNREFUSED) return attempt > 0;
  return Error == platform::WSAECONNRESET || Error == platform::WSAENETRESET || Error == kConnectTimeoutError ||
         Error == kIdleTimeoutError;
}

bool TransientHttpStatus(int code) {
  return code == 408 || code == 429 || code == 500 || code == 502 || code == 503 || code == 504;
}

bool TransientFtpReply(int code) {
  return code == 421 || code == 425 || code == 426 || code == 450 || code == 451;
}

// The planned wait before retry `attempt` (1 for the first): `first_s`
// seconds doubled for each earlier retry, plus a random 0-20 %.
int64_t BackoffMs(int first_s, int attempt) {
  static std::minstd_rand random(std::random_device{}());
  const int64_t base = static_cast<int64_t>(first_s) * 1000 << std::min(attempt - 1, 20);
  return base + static_cast<int64_t>(std::uniform_real_distribution<double>(0.0, 0.2)(random) * static_cast<double>(base));
}

// The failure of an https download whose remaining mirrors are all plain
// http or ftp, with no SHA-256 to check what they would send.
std::string PlainMirrorRefused(const std::string& failure, const std::string& mirror) {
  std::string text = failure;
  if (text.ends_with('.')) text.pop_back();
  return text + "; mirror " + RedactedUrl(mirror) +
         " not tried: an https download goes on over plain http or ftp only with a SHA-256 to check the file.";
}

// A name or password that would break the command line it is sent in.
bool UnsafeLoginText(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

// A socket that failed, in the system's words and without its error number:
// "can't resolve host name HOST" for a failed lookup; the error's text, with
// the address and port it was about for a connection that could not be
// made ("connection refused (127.0.0.1 port 8081)"); a SOCKS proxy's refusal
// in its words ("the SOCKS proxy reports: host unreachable"). Through a
// SOCKS proxy (`socks_server` set) a connection or lookup that failed was
// the proxy's, and the text names it: "connection refused (SOCKS proxy
// 127.0.0.1 port 1080)". Empty when `error` is no socket error.
std::string SocketFailure(int error, const std::string& host, const TWSocket* socket,
                          const std::string& socks_server = "", const std::string& socks_port = "") {
  using namespace platform;
  if (IsLookupError(error))
    return "can't resolve host name " + DisplayHostName(socks_server.empty() ? host : socks_server) +
           (socks_server.empty() ? "" : " (SOCKS proxy)");
  if (const std::string refusal = SocksErrorText(error); !refusal.empty())
    return "the SOCKS proxy reports: " + refusal;
  std::string text = SystemErrorText(error);
  switch (error) {
    case WSAECONNREFUSED:
    case WSAETIMEDOUT:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
    case WSAEADDRNOTAVAIL:
      if (!socks_server.empty())
        text += " (SOCKS proxy " + socks_server + " port " + socks_port + ")";
      else if (socket && !socket->Addr().empty())
        text += " (" + socket->Addr() + " port " + socket->Port() + ")";
      break;
    default: break;
  }
  return text;
}

// The host name an HTTP client looked up: its proxy's, else its URL's (or
// the redirection's).
std::string HttpLookupHost(THttpCli& http) {
  std::string url = !http.Proxy().empty() ? http.Proxy() : !http.Location().empty() ? http.Location() : http.URL();
  if (url.find("://") == std::string::npos) url = "http://" + url;
  std::string proto, user, pass, host, port, path;
  ParseURL(url, proto, user, pass, host, port, path);
  return host;
}

// An FTP reply for a status line: its lines joined by spaces.
std::string OneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (size_t pos; (pos = text.find_first_of("\r\n")) != std::string::npos;)
    text.replace(pos, text[pos] == '\r' && text[pos + 1] == '\n' ? 2 : 1, " ");
  return text;
}

// The SOCKS proxy an FTP client goes through; "" when none.
std::string FtpSocksServer(const TFtpClient& ftp) {
  const TFtpConnectionType type = ftp.ConnectionType();
  return type == ftpSocks4 || type == ftpSocks4A || type == ftpSocks5 ? ftp.SocksServer() : "";
}

bool IsAnonymousUser(const std::string& user) { return SameText(user, "anonymous") || SameText(user, "ftp"); }

// A server that does not know SIZE or MDTM (or has no such value for the
// file) refuses it with 500, 502 or 550 and stays connected: the download
// goes on without the value.
bool FtpNotAnswered(TFtpClient* ftp, Word Error) {
  return (Error == 500 || Error == 502 || Error == 550) && ftp->Connected();
}

// An FTP part outlives a failure when its record has a total that a later
// start can check against the server's SIZE answer.
bool FtpPartRecorded(const std::string& part, const std::string& url) {
  TPartInfo info;
  return ReadPartInfo(part, info) && PartContinues(info, url, 0);
}

}  // namespace

std::string HttpFailureText(THttpCli& http, Word error) {
  // The client's texts of broken responses (10053) and refused settings
  // (10022) say more than the error's own words.
  if (error != 0 && error != platform::WSAECONNABORTED && error != platform::WSAEINVAL) {
    const std::string socket_failure =
        SocketFailure(error, HttpLookupHost(http), &http.CtrlSocket(), http.SocksServer(), http.SocksPort());
    if (!socket_failure.empty()) return socket_failure;
  }
  if (error != 0) return http.ReasonPhrase();
  const int code = http.StatusCode();
  if (code < 200 || code > 299) return std::to_string(code) + " " + http.ReasonPhrase();
  return "";
}

TDownloadJob::TDownloadJob(TResumeQuestion* question)
    : question_(question), write_queue_limit_(TQueuedFileStream::kDefaultLimit) {}

TDownloadJob::~TDownloadJob() {
  lifetime_.Invalidate();
  // Destroyed from inside one of a client's events (a row removing itself on
  // a change), the client is destroyed there too: it sees that and returns.
  // The clients go first, so nothing is written after the file is closed.
  ReleaseClients();
}

void TDownloadJob::ReleaseClients() {
  if (retry_timer_) retry_timer_->Stop();
  retry_due_ = false;
  retry_next_ = nullptr;
  http_.reset();
  ftp_.reset();
  // Drops whatever is still queued; the writer closes the file after the
  // block it may be writing.
  part_stream_.reset();
  queue_full_ = false;
  KeepOrRemovePart(true);
}

void TDownloadJob::SetPhase(TJobPhase phase) {
  if (phase_ == TJobPhase::kPaused && phase == TJobPhase::kRetrying) {
    // A transfer that fails while the user holds it waits for its retry
    // still held: Resume goes on with the retry.
    paused_from_ = phase;
    return;
  }
  // Pausing remembers what a Resume goes back to.
  if (phase == TJobPhase::kPaused && phase_ != TJobPhase::kPaused) paused_from_ = phase_;
  phase_ = phase;
}

void TDownloadJob::EndTransfer() {
  SetPhase(phase_ == TJobPhase::kSettling && part_stream_ ? TJobPhase::kSettling : TJobPhase::kDone);
}

bool TDownloadJob::DownloadInProgress() const {
  switch (phase_) {
    case TJobPhase::kIdle:
    case TJobPhase::kDone: return false;
    // A restored paused row has no transfer until Resume.
    case TJobPhase::kPaused: return paused_from_ != TJobPhase::kIdle && paused_from_ != TJobPhase::kDone;
    default: return true;
  }
}

TRowRole TDownloadJob::Role() const {
  switch (outcome_) {
    case TJobOutcome::kComplete: return TRowRole::kFinished;
    case TJobOutcome::kFailed:
    case TJobOutcome::kCancelled: return TRowRole::kFailed;
    case TJobOutcome::kNone: break;
  }
  return phase_ == TJobPhase::kPaused ? TRowRole::kPaused : TRowRole::kNormal;
}

const std::string& TDownloadJob::PauseCaption() const {
  static const std::string pause = "Pause", resume = "Resume";
  return phase_ == TJobPhase::kPaused ? resume : pause;
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
  if (action_mode_ == amCancel) action_caption_ = v;
  ChangedLast();
}

void TDownloadJob::SetDownloadCaption(const std::string& v) {
  download_caption_ = v;
  if (action_mode_ == amStart) action_caption_ = v;
  ChangedLast();
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

// Only a complete file replaces the cylinder; a failed row keeps showing
// what was received.
void TDownloadJob::ShowFileIcon() {
  if (action_mode_ == amOpen && LocalFileSize(local_filename_) >= 0) icon_shown_ = true;
}

// ---- Start ---------------------------------------------------------------------------

void TDownloadJob::StartDownload() {
  // A restart replaces whatever is left of the previous transfer.
  ReleaseClients();
  run_.Begin();
  ftp_continue_ = std::exchange(continue_unasked_, false);
  SetPhase(TJobPhase::kIdle);
  outcome_ = TJobOutcome::kNone;  // a new start has no outcome yet
  // A new start begins with the URL that was set, not with a mirror of it.
  if (mirror_index_ > 0) url_ = picked_url_;
  mirror_index_ = 0;
  picked_url_ = url_;
  attempt_ = 0;
  mirror_status_.clear();
  abandoned_text_.clear();
  spliced_ = false;
  ftp_completed_ = false;
  failure_kind_ = TFailureKind::kNone;
  icon_shown_ = false;
  verified_ = false;
  write_error_.clear();
  position_ = 0;
  progress_ = {};
  SetActionCaption(cancel_caption_);
  action_mode_ = amCancel;
  action_enabled_ = true;
  if (!expected_.error.empty()) {
    Finish(false, "Download failed: " + expected_.error + ".");
    SetPhase(TJobPhase::kDone);
    return ChangedLast();
  }
  if (url_.empty()) {
    status_ = "No URL specified.";
    return ChangedLast();
  }
  if (local_filename_.empty()) {
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
      status_ = "Cannot create directory to save download to.";
      return ChangedLast();
    }
  }
  // "Keep both" never writes over a file that is there.
  struct stat existing {};
  if (existing_ == TExistingFile::kKeepBoth)
    local_filename_ = ::lstat(set_filename_.c_str(), &existing) == 0 ? FreeNumberedPath(set_filename_, IsHeldPart)
                                                                     : set_filename_;
  part_name_ = PartialFileName(local_filename_);
  std::string lower = LowerCase(url_);
  const bool ftp = lower.starts_with("ftp://");
  if (!ftp && !lower.starts_with("http://") && !lower.starts_with("https://")) {
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
  if (ftp)
    StartFtpDownload();
  else
    StartHttpDownload();
}

// Takes NAME.part for this download; on a refusal the transfer ends with its
// text ("already being downloaded", "the partial file of another running
// download", "not a regular file", "belongs to another user", or the
// system's reason) and false is returned.
bool TDownloadJob::TakePart() {
  std::string reason;
  std::string failure;
  // Its rename over a running download's part would give that download
  // these bytes in place of the ones it checked.
  if (IsHeldPart(local_filename_)) {
    failure = HeldDestination(local_filename_);
  } else {
    switch (part_.Take(part_name_, reason)) {
      case TPartialFile::tkTaken: return true;
      case TPartialFile::tkBusy:
        failure = "Download failed: " + FileNameOf(local_filename_) + " is already being downloaded.";
        break;
      case TPartialFile::tkNotAFile:
        failure = "Download failed: " + FileNameOf(part_name_) + " is not a regular file.";
        break;
      case TPartialFile::tkNotOurs:
        failure = "Download failed: " + FileNameOf(part_name_) + " belongs to another user and cannot be replaced (" +
                  reason + ").";
        break;
      case TPartialFile::tkFailed: failure = kCannotWrite + reason; break;
    }
  }
  NoteFailure(TFailureKind::kFileIo);
  Finish(false, failure);
  SetPhase(TJobPhase::kDone);
  return false;
}

// ---- Completion ----------------------------------------------------------------------

void TDownloadJob::OpenPartStream(int64_t keep) {
  // A part that is not continued starts as a new one: no byte and no record
  // of the old one stay.
  if (keep <= 0 && !part_.Restart()) throw EFCreateError("Cannot create file " + part_name_);
  if (keep <= 0) spliced_ = false;
  // Readable too, to be hashed.
  auto file = std::make_unique<TFileStream>(part_.Duplicate(), part_name_);
  if (keep > 0)
    file->SetSize(keep);  // also moves to its end
  else
    file->Seek(0, TSeekOrigin::soBeginning);
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
  part_stream_->OnWriteError = [this](const std::string& reason) {
    NoteFailure(TFailureKind::kFileIo);
    WriteFailed(kCannotWrite + reason);
  };
  // Nothing past the publisher's size reaches the part, and a disk that
  // accepts nothing for the idle limit ends the transfer.
  if (expected_.size >= 0) part_stream_->SetBound(expected_.size);
  part_stream_->OnPastBound = [this] {
    NoteFailure(TFailureKind::kNotExpected);
    WriteFailed(SizeExceeded(expected_.size));
  };
  part_stream_->SetStallLimit(idle_timeout_);
}

void TDownloadJob::WriteFailed(const std::string& failure) {
  // The first failure is the one shown. (A body past the bound may have
  // been noted already while the transfer ran; the transfer ends here.)
  if (write_error_.empty()) write_error_ = failure;
  // The client's completion shows the failure; once the transfer has ended
  // (committing, or settling a failed one), the finish of the part reports it
  // and the client, saying goodbye, is left alone.
  const TJobPhase phase = Underlying();
  if (phase == TJobPhase::kCommitting || phase == TJobPhase::kSettling || phase == TJobPhase::kRetrying) return;
  if (http_)
    http_->Abort();
  else if (ftp_)
    ftp_->Abort();
}

std::string TDownloadJob::WriteFailure() const {
  if (!write_error_.empty()) return write_error_;
  // Passed before the stream's report arrived.
  if (part_stream_ && part_stream_->PastBound()) return SizeExceeded(expected_.size);
  if (ftp_ && !ftp_->LocalWriteError().empty()) return kCannotWrite + ftp_->LocalWriteError();
  return "";
}

std::string TDownloadJob::SizeMismatch(int64_t announced) const {
  return "Download failed: the server's file has " + std::to_string(announced) + " bytes, the publisher's has " +
         std::to_string(expected_.size) + ".";
}

std::string TDownloadJob::NotTheFileText() const {
  return expected_.from_command_line ? kNotTheFileGiven : kNotThePublishersFile;
}

std::string TDownloadJob::CompletionText(const char* text) const {
  return verified_ && expected_.authenticated ? std::string(text) + " (verified)" : std::string(text);
}

void TDownloadJob::CommitWhenWritten(int64_t expected_size, std::function<void(const std::string&)> then) {
  if (!part_stream_) {
    // Nothing arrived in this start (an empty document, or a part that is
    // already the whole file): the held part is checked as it stands.
    try {
      auto file = std::make_unique<TFileStream>(part_.Duplicate(), part_name_);
      file->Seek(0, TSeekOrigin::soEnd);
      part_stream_ = std::make_unique<TQueuedFileStream>(std::move(file), write_queue_limit_);
      if (!expected_.sha256.empty()) part_stream_->HashWithSha256();
      // Hashing the part waits for the same disk as its writes did.
      part_stream_->SetStallLimit(idle_timeout_);
    } catch (const std::exception&) {
      NoteFailure(TFailureKind::kFileIo);
      return then(kCannotWrite + SystemReason());
    }
  }
  SetPhase(TJobPhase::kCommitting);
  part_stream_->Finish([this, expected_size, then](const std::string& error) {
    const std::string digest = part_stream_->Sha256();
    part_stream_.reset();  // closes the part before it is renamed or removed
    if (!error.empty()) NoteFailure(TFailureKind::kFileIo);
    then(error.empty() ? CommitDownload(expected_size, digest) : kCannotWrite + error);
  });
}

std::string TDownloadJob::CommitDownload(int64_t expected_size, const std::string& digest) {
  int64_t size = part_.Size();
  // Shorter than the server announced, or than the publisher's file.
  if (size < 0 || (expected_size >= 0 && size < expected_size) || size < expected_.size) {
    NoteFailure(TFailureKind::kNetwork);
    return kIncomplete;
  }
  // A part longer than the publisher's file, or than the server announced.
  if (expected_.size >= 0 && size != expected_.size) {
    part_.Remove();
    NoteFailure(TFailureKind::kNotExpected);
    return SizeMismatch(size);
  }
  if (expected_size >= 0 && size != expected_size) {
    NoteFailure(TFailureKind::kNetwork);
    return kIncomplete;
  }
  if (!expected_.sha256.empty()) {
    if (digest != expected_.sha256) {
      part_.Remove();
      NoteFailure(TFailureKind::kNotExpected);
      return NotTheFileText();
    }
    verified_ = true;
  }
  std::string reason;
  const std::string name = FileNameOf(local_filename_), part = FileNameOf(part_name_);
  auto failed = [this](const std::string& failure, bool keep) {
    NoteFailure(TFailureKind::kFileIo);
    // The finished bytes stay in the part, which the text names.
    if (keep) KeepOrRemovePart(true);
    return failure;
  };
  // "Keep both": a name taken meanwhile gives way to the next free one.
  for (int tries = 0;; ++tries) {
    switch (part_.Commit(local_filename_, existing_ == TExistingFile::kReplace, reason)) {
      case TPartialFile::cmCommitted:
        KeepOrRemovePart(true);  // NAME now: nothing of it is removed
        return "";
      case TPartialFile::cmExists:
        if (existing_ == TExistingFile::kKeepBoth && tries < 16) {
          local_filename_ = FreeNumberedPath(set_filename_, IsHeldPart);
          continue;
        }
        return failed("Download failed: " + name + " was made by another program during the download and is "
                      "not replaced; the downloaded file is kept as " + part + ".", true);
      case TPartialFile::cmHeld:
        return failed(HeldDestination(local_filename_) + " The downloaded file is kept as " + part + ".", true);
      case TPartialFile::cmSwapped:
        return failed("Download failed: " + part + " was replaced by another program during the download; " + name +
                      " was not changed.", false);
      case TPartialFile::cmOverwritten:
        return failed("Download failed: " + part + " was replaced by another program during the download; " + name +
                      " is not the downloaded file.", false);
      case TPartialFile::cmFailed: return failed(kCannotWrite + reason, false);
    }
  }
}

void TDownloadJob::SettlePart(bool continuable, bool drop) {
  if (!part_stream_ || drop || !continuable) {
    part_stream_.reset();  // drops what is still queued
    return KeepOrRemovePart(continuable);
  }
  // A failure while the part was being committed replaces the commit.
  SetPhase(TJobPhase::kSettling);
  part_stream_->Finish([this, continuable](const std::string&) {
    part_stream_.reset();
    // An FTP session that still says goodbye keeps the download running.
    SetPhase(ftp_ ? TJobPhase::kSettling : TJobPhase::kDone);
    KeepOrRemovePart(continuable);
    ChangedLast();
  });
}

void TDownloadJob::KeepOrRemovePart(bool continuable) {
  if (!part_.Held()) return;
  if (!continuable || part_.Size() <= 0) part_.Remove();
  part_.Release();
}

// Ends a transfer: open mode on success, start mode with the failure text
// otherwise (a status text already set stays when `failure` is empty).
void TDownloadJob::Finish(bool complete, const std::string& failure) {
  if (complete) {
    outcome_ = TJobOutcome::kComplete;
    position_ = 100;
    SetActionCaption("Open");
    action_mode_ = amOpen;
  } else {
    if (!failure.empty()) status_ = failure;
    NoteFailure(TFailureKind::kGeneric);
    if (outcome_ != TJobOutcome::kCancelled) outcome_ = TJobOutcome::kFailed;
    ToStartMode();
  }
  pause_visible_ = false;
}

// ---- HTTP ----------------------------------------------------------------------------

void TDownloadJob::StartHttpDownload() {
  if (ftp_continue_) return ContinueHttp();
  http_resuming_ = false;
  http_refetch_ = false;
  resume_from_ = 0;
  http_total_ = -1;
  http_validator_.clear();
  int64_t part_size = part_.Size();
  TPartInfo info;
  // Only a part whose record names this URL, a total above its size and a
  // validator is offered; one of another length than the publisher's file
  // is not.
  if (part_size > 0 && ReadPartInfo(part_name_, info) && info.Continuable() &&
      PartContinues(info, RecordedUrl(), part_size) && (expected_.size < 0 || info.total == expected_.size) &&
      question_) {
    auto alive = lifetime_.Token();
    const TRunToken asked = run_.Token();
    SetPhase(TJobPhase::kAsking);
    bool resume = question_->AskResume(kResumeQuestion);
    // The question may have run the event loop: the row may be gone, or
    // another start may have begun.
    if (!alive || !run_.IsCurrent(asked)) return;
    part_size = part_.Size();
    if (resume && part_size > 0 && part_size < info.total) {
      http_resuming_ = true;
      resume_from_ = part_size;
      http_total_ = info.total;
      http_validator_ = info.validator;
    }
  }
  RequestHttp();
}

void TDownloadJob::ForgetHttpResume() {
  http_refetch_ = false;
  http_resuming_ = false;
  resume_from_ = 0;
  http_total_ = -1;
}

void TDownloadJob::RefetchWholeFile() {
  ForgetHttpResume();
  if (!part_.Restart()) {
    NoteFailure(TFailureKind::kFileIo);
    Finish(false, kCannotWrite + SystemReason());
    return EndHttpDownload(false, false);
  }
  RequestHttp();
}

void TDownloadJob::ContinueHttp() {
  ForgetHttpResume();
  http_validator_.clear();
  const int64_t size = part_.Size();
  TPartInfo info;
  if (size > 0 && ReadPartInfo(part_name_, info) && info.total > size &&
      (expected_.size < 0 || info.total == expected_.size)) {
    // The part of this URL continues with its validator; a mirror's part
    // continues without one when the publisher's hash checks every byte.
    if (info.url == RecordedUrl() && info.Continuable())
      http_validator_ = info.validator;
    else if (info.url == RecordedUrl() || expected_.sha256.empty())
      return RequestHttp();
    http_resuming_ = true;
    resume_from_ = size;
    http_total_ = info.total;
  }
  RequestHttp();
}

void TDownloadJob::RequestHttp() {
  http_part_opened_ = false;
  http_failure_.clear();
  failure_kind_ = TFailureKind::kNone;
  auto http = std::make_unique<THttpCli>();
  http->OnDocData = [this](THttpCli*, const void*, int) { HttpDocData(); };
  http->OnHeaderData = [this](THttpCli*) { HttpHeaderData(); };
  http->OnDocBegin = [this](THttpCli*) { HttpDocBegin(); };
  http->OnRequestDone = [this](THttpCli*, THttpRequest RqType, Word Error) { HttpRequestDone(RqType, Error); };
  http->SetURL(url_);
  // Who asks, and that any type of file will do.
  http->SetAgent(kQuillonUserAgent);
  http->SetAccept("*/*");
  http->SetConnectTimeout(connect_timeout_);
  http->SetIdleTimeout(idle_timeout_);
  if (http_resuming_) http->SetContentRangeBegin(std::to_string(resume_from_));
  http_ = std::move(http);
  run_.Begin();
  SetPhase(TJobPhase::kConnecting);
  status_ = mirror_status_.empty() ? "Initiating download..." : mirror_status_;
  if (!FireEvent(lifetime_, OnHttpClientCreated, this, http_.get())) return;
  // The validator goes with every continued request, after whatever a
  // caller added, so that the server sends the rest only of the same file.
  if (http_resuming_ && !http_validator_.empty()) {
    auto before = http_->OnBeforeHeaderSend;
    http_->OnBeforeHeaderSend = [before, validator = http_validator_](THttpCli* sender, const std::string& method,
                                                                     std::vector<std::string>& lines) {
      if (before) before(sender, method, lines);
      lines.push_back("If-Range: " + validator);
    };
  }
  if (!Changed()) return;
  http_->GetAsync();
}

void TDownloadJob::HttpHeaderData() {
  std::string& text = phase_ == TJobPhase::kPaused ? progress_text_ : status_;
  // A mirror's text stays until the mirror answers.
  if (!mirror_status_.empty()) {
    if (text == mirror_status_) text = "Initiating download...";
    mirror_status_.clear();
  }
  text += ".";
  ChangedLast();
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
  SetPhase(TJobPhase::kTransferring);
  pause_visible_ = true;
  BeginTransfer(0);
  THttpCli* http = http_.get();
  int code = http->StatusCode();
  if (code < 200 || code > 299) return ChangedLast();
  const std::vector<std::string>& header = http->RcvdHeader();
  if (http_resuming_ && code != 206) {
    http_resuming_ = false;  // the whole file came instead: the part starts again
    resume_from_ = 0;
  }
  try {
    if (http_resuming_) {
      int64_t first = -1, total = -1;
      const bool range = ParseContentRange(HeaderValue(header, "content-range"), first, total);
      // Another version of the file: its bytes do not continue the part,
      // which starts again with the whole file.
      // (A mirror's part is continued without a validator: the publisher's
      // hash decides.)
      http_refetch_ = (!http_validator_.empty() && !SameVersion(header, http_validator_)) ||
                      (range && total >= 0 && total != http_total_);
      if (http_refetch_ || !range || first != resume_from_ || total != http_total_) {
        NoteFailure(TFailureKind::kProtocol);
        http_failure_ = NotTheAskedPart(*http);
        throw EHttpException(http_failure_, code);
      }
      OpenPartStream(resume_from_);
      BeginTransfer(resume_from_);
      if (http_validator_.empty()) {
        // The part is now this mirror's: a later try continues it here.
        spliced_ = true;
        TPartInfo info{RecordedUrl(), http_total_, HeaderValue(header, "etag")};
        if (info.validator.empty()) info.validator = HeaderValue(header, "last-modified");
        WritePartInfo(part_name_, info);
      }
    } else if (code == 206) {
      // Part of a file when the whole was asked for.
      NoteFailure(TFailureKind::kProtocol);
      http_failure_ = NotTheAskedPart(*http);
      throw EHttpException(http_failure_, code);
    } else {
      // The publisher's size decides before the first byte is stored.
      if (expected_.size >= 0 && http->ContentLength() >= 0 && http->ContentLength() != expected_.size) {
        NoteFailure(TFailureKind::kNotExpected);
        http_failure_ = SizeMismatch(http->ContentLength());
        throw EHttpException(http_failure_, code);
      }
      OpenPartStream(0);
      TPartInfo info;
      info.url = RecordedUrl();
      info.total = http->ContentLength();
      info.validator = HeaderValue(header, "etag");
      if (info.validator.empty()) info.validator = HeaderValue(header, "last-modified");
      http_total_ = info.total;
      if (!WritePartInfo(part_name_, info)) http_total_ = -1;
    }
  } catch (const EHttpException&) {
    throw;
  } catch (const std::exception&) {
    NoteFailure(TFailureKind::kFileIo);
    http_failure_ = kCannotWrite + SystemReason();
    throw;
  }
  http_part_opened_ = true;
  http->SetRcvdStream(part_stream_.get());
  ChangedLast();
}

bool TDownloadJob::UpdateDue() {
  int64_t now = NowMs();
  if (now < next_update_ms_) return false;
  next_update_ms_ = now + 1000;
  return true;
}

void TDownloadJob::HttpDocData() {
  // A body past the publisher's size fails even when the response ends
  // before the part stream's report (which ends the request) arrives.
  if (write_error_.empty() && part_stream_ && part_stream_->PastBound()) write_error_ = WriteFailure();
  // The body of an error page is no part of the file: no progress.
  if (!http_ || !http_part_opened_ || !UpdateDue()) return;
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
  // A reset cuts off nothing once every announced byte has arrived.
  if (Error == platform::WSAECONNRESET) {
    if (code < 200 || code > 299 || http->ContentLength() < 0 || http->RcvdCount() < http->ContentLength())
      return "Download failed: connection reset by the server.";
    Error = 0;
  }
  // A TLS connection closed without close-notify before the announced
  // length: the length says that something is missing.
  if (Error == kSslTruncatedError && code >= 200 && code <= 299 && http->ContentLength() >= 0 &&
      http->RcvdCount() < http->ContentLength())
    return kIncomplete;
  if (Error != 0) return "Download failed: " + HttpFailureText(*http, Error);
  // Nothing after byte N of a part shorter than its recorded total: the
  // file is not the one recorded, and the part never completes so.
  if (code == 416 && http_resuming_) http_refetch_ = true;
  // A 206 without a byte continues nothing.
  if (code == 206 && !http_part_opened_) {
    NoteFailure(TFailureKind::kProtocol);
    return NotTheAskedPart(*http);
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
      NoteFailure(TFailureKind::kFileIo);
      return std::string(kCannotWrite) + "the body was not stored";
    }
    // No body at all: the document is empty, whatever the part held.
    if (!part_.Restart()) {
      complete = false;
      NoteFailure(TFailureKind::kFileIo);
      return kCannotWrite + SystemReason();
    }
    expected_size = 0;
  }
  return "";
}

void TDownloadJob::HttpRequestDone(THttpRequest RqType, Word Error) {
  pause_visible_ = false;
  if (RqType != hrGet) {
    status_ = "Complete  StatusCode = " + std::to_string(http_->StatusCode()) + " Error = " + http_->ReasonPhrase();
    return ChangedLast();
  }
  bool complete = false;
  int64_t expected_size = -1;
  std::string failure = HttpFailure(Error, complete, expected_size);
  const int code = http_->StatusCode();
  const bool transient = http_failure_.empty() && write_error_.empty() &&
                         (failure == kIncomplete || TransientSocketError(Error, attempt_) ||
                          (Error == 0 && TransientHttpStatus(code)));
  const int64_t retry_after = RetryAfterMs(HeaderValue(http_->RcvdHeader(), "retry-after"), kMaxRetryAfterMs,
                                           static_cast<int64_t>(std::time(nullptr)));
  if (!complete)
    NoteFailure(HttpFailureKind(Error, Error == kHttpTunnelRefused ? http_->TunnelStatusCode() : http_->StatusCode()));
  // The cylinder of a failed transfer shows what it received of the file.
  if (!complete && http_part_opened_ && http_->ContentLength() > 0)
    position_ = static_cast<int>(std::min<int64_t>(100, http_->RcvdCount() * 100 / http_->ContentLength()));
  http_.reset();  // the client allows this inside its own OnRequestDone
  if (http_refetch_ && Error != httperrAborted) return RefetchWholeFile();
  // The progress text stays until the writer has written the whole part.
  if (complete) return CommitWhenWritten(expected_size, [this](const std::string& f) { HttpCommitted(f); });
  // A cancel keeps the status its click showed, in start mode already.
  const bool cancelled = Error == httperrAborted && write_error_.empty();
  if (!cancelled && RetryOrMirror(failure, transient, retry_after)) return ChangedLast();
  if (cancelled)
    status_ = failure;
  else
    Finish(false, failure);
  EndHttpDownload(false, cancelled);
}

void TDownloadJob::HttpCommitted(std::string failure) {
  if (RefetchSplicedPart(failure)) return ChangedLast();
  if (!failure.empty() && RetryOrMirror(failure, failure == kIncomplete, -1)) return ChangedLast();
  if (failure.empty()) {
    status_ = CompletionText("Download Complete.");
    Finish(true, "");
  } else {
    Finish(false, failure);
  }
  EndHttpDownload(failure.empty(), false);
}

void TDownloadJob::EndHttpDownload(bool complete, bool cancelled) {
  // This start's data continues only with a recorded total and validator;
  // a part this start did not write stays as it was (an empty one goes).
  if (!complete && http_part_opened_) {
    TPartInfo info;
    SettlePart(ReadPartInfo(part_name_, info) && info.Continuable(), cancelled);
  } else if (!complete) {
    part_stream_.reset();
    KeepOrRemovePart(true);
  }
  EndTransfer();
  pause_visible_ = false;
  ShowFileIcon();
  ChangedLast();
}

// ---- FTP -----------------------------------------------------------------------------

void TDownloadJob::StartFtpDownload(bool active) {
  failure_kind_ = TFailureKind::kNone;
  ftp_active_try_ = active;
  TFtpUrlParts parts = SplitFtpUrl(url_);
  if (!IsAsciiHostName(parts.host)) {
    // A name without an ASCII form: refused before any connection.
    SetPhase(TJobPhase::kDone);
    Finish(false, "Download failed: " + InvalidHostNameText(parts.host));
    KeepOrRemovePart(true);
    return ChangedLast();
  }
  std::string user = parts.user.empty() ? std::string("anonymous") : parts.user;
  std::string password = parts.password;
  if (password.empty() && IsAnonymousUser(user)) password = kAnonymousPassword;
  auto ftp = std::make_unique<TFtpClient>();
  ftp->OnProgress = [this](TCustomFtpCli*, int64_t Count, bool&) { FtpProgress(Count); };
  ftp->OnRequestDone = [this](TCustomFtpCli*, TFtpRequest RqType, Word Error) {
    auto alive = lifetime_.Token();
    const TRunToken run = run_.Token();
    FtpRequestDone(RqType, Error);
    // The session has ended, by whichever path (the client is gone): the
    // part goes with it unless the writer still finishes it.
    if (!alive || !run_.IsCurrent(run) || ftp_) return;
    const TJobPhase phase = Underlying();
    if (phase != TJobPhase::kSettling && phase != TJobPhase::kCommitting && phase != TJobPhase::kRetrying)
      KeepOrRemovePart(true);
  };
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
  ftp->SetPassive(!active && ftp_data_mode_ != TFtpDataMode::kActive);
  ftp->SetConnectTimeout(connect_timeout_);
  ftp->SetIdleTimeout(idle_timeout_);
  ftp_ = std::move(ftp);
  run_.Begin();
  ftp_size_ = -1;
  ftp_finished_ = false;
  ftp_completed_ = false;
  // A mirror's text stays until the session stands.
  status_ = mirror_status_.empty() ? "Connecting to server..." : mirror_status_;
  SetPhase(TJobPhase::kConnecting);
  pause_visible_ = false;
  if (!FireEvent(lifetime_, OnFtpClientCreated, this, ftp_.get())) return;
  // A user name without a password (other than an anonymous one) cannot
  // log in, and a line break in either would end the command early.
  const std::string& name = ftp_->UserName();
  const std::string& word = ftp_->PassWord();
  if ((word.empty() && !IsAnonymousUser(name)) || UnsafeLoginText(name) || UnsafeLoginText(word)) {
    SetPhase(TJobPhase::kDone);
    ftp_.reset();
    KeepOrRemovePart(true);
    Finish(false, "Could not connect or log in.");
    return ChangedLast();
  }
  if (word.empty()) ftp_->SetPassWord(kAnonymousPassword);
  if (!Changed()) return;
  ftp_->Connect();
}

void TDownloadJob::FtpSessionConnected() {
  mirror_status_.clear();
  status_ = "Session Connected.";
  ChangedLast();
}

void TDownloadJob::FtpProgress(int64_t Count) {
  if (!ftp_ || !UpdateDue()) return;
  const int64_t total = ftp_size_ >= 0 ? ftp_size_ : expected_.size;
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
  if (Error != 0) {
    if (RqType == ftpRqSize && FtpNotAnswered(ftp, Error)) return FtpSizeDone();
    if (RqType == ftpRqMdtm && FtpNotAnswered(ftp, Error)) return FtpMdtmDone();
    return FtpFailed(RqType, Error);
  }
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
    case ftpRqMdtm: FtpMdtmDone(); break;
    case ftpRqGet:
    case ftpRqRestartGet: FtpTransferDone(); break;
    case ftpRqQuit:
      EndTransfer();
      ftp_.reset();  // the client allows this inside its own OnRequestDone
      ShowFileIcon();
      ChangedLast();
      break;
    default: break;
  }
}

// The transfer was reported done (the data connection closed cleanly): the
// file is complete only when it has as many bytes as the SIZE answer, or,
// without one, when the final reply was 226 or 250.
void TDownloadJob::FtpTransferDone() {
  ftp_->SetLocalStream(nullptr);
  const std::string failure = WriteFailure();
  if (!failure.empty()) return FtpCommitted(failure);
  const int code = ftp_->StatusCode();
  if (ftp_size_ < 0 && code != 226 && code != 250) {
    NoteFailure(TFailureKind::kNetwork);
    return FtpCommitted(kIncomplete);
  }
  CommitWhenWritten(ftp_size_, [this](const std::string& f) { FtpCommitted(f); });
}

void TDownloadJob::FtpCommitted(std::string failure) {
  ftp_finished_ = true;
  if (!failure.empty() && RetryOrMirror(failure, failure == kIncomplete, -1)) {
    // The next try has a session of its own: this one is dropped without
    // its goodbye.
    ftp_.reset();
    return ChangedLast();
  }
  if (failure.empty()) {
    ftp_completed_ = true;
    status_ = CompletionText("Completed.");
    Finish(true, "");
  } else {
    Finish(false, failure);
    SettlePart(FtpPartRecorded(part_name_, RecordedUrl()), false);
  }
  // The session says goodbye; its end ends the download.
  SetPhase(ftp_ ? TJobPhase::kSettling : TJobPhase::kDone);
  if (!Changed()) return;
  if (ftp_) ftp_->Quit();
}

void TDownloadJob::FtpSizeDone() {
  // "213 <number>": the length to check the file against. Without it (SIZE
  // refused, or no number) the file is fetched without a known length.
  const bool answered = ftp_->StatusCode() == 213;
  ftp_size_ = answered ? ParseCount(FtpTextFromReply(ftp_->LastResponse())) : -1;
  // The server announces the length in its SIZE answer.
  if (expected_.size >= 0 && ftp_size_ >= 0 && ftp_size_ != expected_.size) {
    ftp_finished_ = true;
    NoteFailure(TFailureKind::kNotExpected);
    Finish(false, SizeMismatch(ftp_size_));
    SetPhase(TJobPhase::kSettling);  // until the session's goodbye
    if (!Changed()) return;
    return ftp_->Quit();
  }
  ftp_->Mdtm();
}

// MDTM answered (or refused: no time, ""): the resume decision, then the
// transfer. A part is continued only when the record of the start that wrote
// it names this URL, the same SIZE answer and the same MDTM answer, and the
// part is shorter than that size; any other part is fetched again from
// nothing.
void TDownloadJob::FtpMdtmDone() {
  const std::string mdtm = ftp_->MdtmResult();
  bool resume = false;
  int64_t local_size = LocalFileSize(part_name_);
  TPartInfo info;
  if (ftp_size_ > 0 && ReadPartInfo(part_name_, info) && PartContinues(info, RecordedUrl(), local_size) &&
      local_size > 0 && info.total == ftp_size_ && info.validator == mdtm && (question_ || ftp_continue_)) {
    auto alive = lifetime_.Token();
    const TRunToken asked = run_.Token();
    // A retry continues without asking.
    if (!ftp_continue_) SetPhase(TJobPhase::kAsking);
    resume = ftp_continue_ || question_->AskResume(kResumeQuestion);
    // The question may have run the event loop: the row may be gone, or the
    // transfer ended or replaced.
    if (!alive || !run_.IsCurrent(asked)) return;
    local_size = LocalFileSize(part_name_);
    resume = resume && local_size > 0 && local_size < ftp_size_;
  }
  try {
    OpenPartStream(resume ? local_size : 0);
  } catch (const std::exception&) {
    ftp_finished_ = true;
    NoteFailure(TFailureKind::kFileIo);
    Finish(false, kCannotWrite + SystemReason());
    SetPhase(TJobPhase::kSettling);  // until the session's goodbye
    if (!Changed()) return;
    return ftp_->Quit();
  }
  // A new part records what it is a part of; without a SIZE answer it has no
  // total, and a failure removes it.
  if (!resume) WritePartInfo(part_name_, TPartInfo{RecordedUrl(), ftp_size_, mdtm});
  ftp_->SetLocalStream(part_stream_.get());
  // Nothing past the announced length is written.
  ftp_->SetDownloadLimit(ftp_size_);
  action_enabled_ = true;
  SetPhase(TJobPhase::kTransferring);
  pause_visible_ = true;
  BeginTransfer(resume ? local_size : 0);
  if (!Changed()) return;
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
  const bool cancelled = outcome_ == TJobOutcome::kCancelled;
  bool quit_failed = RqType == ftpRqQuit;
  bool transfer = RqType == ftpRqGet || RqType == ftpRqRestartGet;
  if (transfer && !cancelled && WriteFailure().empty() && FtpTryActive(*ftp)) return ChangedLast();
  // A passive data connection that could not be made is the network's
  // failure, tried again like a reset control connection.
  const Word data_error = transfer ? ftp->DataConnectError() : 0;
  if (quit_failed && ftp_finished_) {
  } else if (cancelled) {
    NoteFailure(TFailureKind::kGeneric);
  } else if (transfer && !WriteFailure().empty()) {
    NoteFailure(part_stream_ && part_stream_->PastBound() ? TFailureKind::kNotExpected : TFailureKind::kFileIo);
  } else if (data_error != 0) {
    NoteFailure(TFailureKind::kNetwork);
  } else {
    NoteFailure(ftp->LimitPassed() ? TFailureKind::kProtocol
                                   : FtpFailureKind(RqType, Error, ftp->StatusCode(), ftp->LastResponse(),
                                                                 ftp->Connected()));
  }
  // The server's reply (or the client's own reason), once; a socket error in
  // the system's words.
  const std::string socket_failure =
      Error == platform::WSAECONNRESET
          ? ""
          : SocketFailure(Error, ftp->HostName(), ftp->ControlSocket(), FtpSocksServer(*ftp), ftp->SocksPort());
  // After the outcome was shown only the goodbye failed: the outcome stays.
  if (!(quit_failed && ftp_finished_)) {
    status_ = "Download failed: " + (!socket_failure.empty()       ? socket_failure
                                     : !ftp->ErrorMessage().empty() ? OneLine(ftp->ErrorMessage())
                                                                    : OneLine(ftp->LastResponse()));
  }
  if (quit_failed && ftp_finished_) {
  } else if (transfer && !WriteFailure().empty()) {
    status_ = WriteFailure();
  } else if (data_error != 0 && !cancelled) {
    status_ = "Download failed: cannot open the data connection: " +
              SocketFailure(data_error, ftp->HostName(), nullptr, FtpSocksServer(*ftp), ftp->SocksPort());
  } else if (Error == kConnectTimeoutError || Error == kIdleTimeoutError) {
    status_ = "Download failed: " + TTransferWatchdog::ReasonText(
                                        Error == kConnectTimeoutError ? TTimeoutKind::Connect : TTimeoutKind::Idle,
                                        ftp->IdleTimeout());
  } else if (cancelled || transfer) {
    // Only the user's cancel is a cancel; a failed transfer says what
    // happened, or keeps the server's reply.
    if (cancelled)
      status_ = "Download cancelled.";
    else if (ftp->LimitPassed())
      status_ = "Download failed: the server sent more than the " + std::to_string(ftp->DownloadLimit()) +
                " bytes it announced.";
    else if (Error == platform::WSAECONNRESET)
      status_ = "Download failed: connection reset by the server.";
  } else if (socket_failure.empty() && (RqType == ftpRqConnect || RqType == ftpRqUser || RqType == ftpRqPass)) {
    status_ = "Could not connect or log in.";
  }
  ftp->SetLocalStream(nullptr);
  const bool transient = !cancelled && WriteFailure().empty() && !ftp->LimitPassed() &&
                         (TransientSocketError(Error, attempt_) || TransientFtpReply(ftp->StatusCode()) ||
                          data_error != 0);
  if (!ftp_finished_ && !cancelled && RetryOrMirror(status_, transient, -1)) {
    // The row goes on. The next try has a session of its own: this one is dropped without
    // its goodbye (the client allows this inside its own OnRequestDone).
    ftp_.reset();
    return ChangedLast();
  }
  // Failed, unless only the goodbye after the outcome failed.
  if (!(quit_failed && ftp_finished_) && !cancelled) outcome_ = TJobOutcome::kFailed;
  pause_visible_ = false;
  if (!ftp_completed_) ToStartMode();
  if (!ftp_finished_) SettlePart(FtpPartRecorded(part_name_, RecordedUrl()), cancelled);
  EndTransfer();
  ftp_finished_ = true;
  if (!quit_failed && ftp->Connected()) {
    if (!Changed()) return;
    ftp->Quit();  // its completion releases the client
    return;
  }
  ftp_.reset();  // the client allows this inside its own OnRequestDone
  ShowFileIcon();
  ChangedLast();
}

bool TDownloadJob::FtpTryActive(TFtpClient& ftp) {
  if (ftp_data_mode_ != TFtpDataMode::kPassiveFirst || ftp_active_try_ || !ftp.Passive() ||
      ftp.ConnectionType() != ftpDirect || !ftp.PassiveFailed() || !part_.Held())
    return false;
  const Word data_error = ftp.DataConnectError();
  ShowRetryStatus("No passive data connection (" +
                  (data_error != 0 ? SocketFailure(data_error, ftp.HostName(), nullptr) : OneLine(ftp.ErrorMessage())) +
                  "); trying active mode.");
  ftp.SetLocalStream(nullptr);
  // The same try, continuing the part as this session would have.
  retry_next_ = [this] {
    ftp_continue_ = true;
    StartFtpDownload(true);
  };
  retry_due_ = false;
  SetPhase(TJobPhase::kRetrying);
  // Dropped without its goodbye (the client allows this inside its own
  // OnRequestDone); the next session has its own.
  ftp_.reset();
  AfterPartWritten([this] { StartRetryTimer(0); });
  return true;
}

// ---- Retries and mirrors ------------------------------------------------------------

bool TDownloadJob::RetryOrMirror(std::string& failure, bool transient, int64_t retry_after_ms) {
  // A failure on this computer's side (the file, the part's lock): another
  // try or URL does not help.
  if (failure_kind_ == TFailureKind::kFileIo || !part_.Held()) return false;
  if (transient && attempt_ < retries_) {
    ++attempt_;
    int64_t wait = retry_after_ms >= 0 ? retry_after_ms : BackoffMs(retry_wait_, attempt_);
    status_ = RetryText((wait + 999) / 1000, attempt_, retries_, failure);
    if (retry_wait_hook_) wait = retry_wait_hook_(wait);
    retry_next_ = [this] {
      if (LowerCase(url_).starts_with("ftp://")) {
        ftp_continue_ = true;
        return StartFtpDownload();
      }
      ContinueHttp();
    };
    retry_due_ = false;
    SetPhase(TJobPhase::kRetrying);
    pause_visible_ = true;
    if (phase_ == TJobPhase::kPaused) {
      progress_text_ = status_;
      status_ = "Paused.";
    }
    AfterPartWritten([this, wait] { StartRetryTimer(wait); });
    return true;
  }
  if (mirror_index_ >= mirrors_.size()) return false;
  // The bytes of an https URL come from a plain http or ftp mirror only when
  // the publisher's SHA-256 proves them: such a mirror is passed over.
  const bool https = LowerCase(PickedURL()).starts_with("https://");
  size_t next = mirror_index_;
  while (https && expected_.sha256.empty() && next < mirrors_.size() &&
         !LowerCase(mirrors_[next]).starts_with("https://"))
    ++next;
  if (next >= mirrors_.size()) {
    failure = PlainMirrorRefused(failure, mirrors_[mirror_index_]);
    mirror_index_ = mirrors_.size();
    return false;
  }
  mirror_index_ = next;
  // Why this source is left, before the mirror's text replaces it.
  abandoned_text_ = AbandonedText(url_, failure);
  ShowRetryStatus(abandoned_text_);
  retry_next_ = [this] { NextMirror(); };
  retry_due_ = false;
  SetPhase(TJobPhase::kRetrying);
  // From the event loop too, once the failed client has been dropped.
  AfterPartWritten([this] { StartRetryTimer(0); });
  return true;
}

void TDownloadJob::ShowRetryStatus(const std::string& text) {
  if (phase_ == TJobPhase::kPaused) {
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
  retry_next_ = [this] {
    ForgetHttpResume();
    http_validator_.clear();
    RequestHttp();
  };
  retry_due_ = false;
  SetPhase(TJobPhase::kRetrying);
  AfterPartWritten([this] { StartRetryTimer(0); });
  return true;
}

void TDownloadJob::StartRetryTimer(int64_t ms) {
  if (!retry_timer_) {
    retry_timer_ = std::make_unique<platform::OneShotTimer>();
    retry_timer_->OnTimer = [this] {
      // A wait that ends while the user paused the row ends with Resume.
      if (phase_ == TJobPhase::kPaused)
        retry_due_ = true;
      else
        RetryNow();
    };
  }
  retry_timer_->Start(static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, UINT32_MAX)));
}

void TDownloadJob::AfterPartWritten(std::function<void()> next) {
  if (!part_stream_) return next();
  part_stream_->Finish([this, next](const std::string& error) {
    part_stream_.reset();
    if (error.empty() && write_error_.empty()) return next();
    retry_next_ = nullptr;
    SetPhase(TJobPhase::kDone);
    Finish(false, write_error_.empty() ? kCannotWrite + error : write_error_);
    TPartInfo info;
    KeepOrRemovePart(ReadPartInfo(part_name_, info) && info.Continuable());
    ShowFileIcon();
    ChangedLast();
  });
}

void TDownloadJob::RetryNow() {
  retry_due_ = false;
  write_error_.clear();
  http_failure_.clear();
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

void TDownloadJob::NextMirror() {
  url_ = mirrors_[mirror_index_++];
  attempt_ = 0;
  mirror_status_ = MirrorText(mirror_index_, mirrors_.size(), url_);
  status_ = mirror_status_;
  const std::string lower = LowerCase(url_);
  const std::string refusal = UrlRefusal(url_);
  if (refusal.empty() && lower.starts_with("ftp://")) return StartFtpDownload();
  if (!refusal.empty() || (!lower.starts_with("http://") && !lower.starts_with("https://"))) {
    SetPhase(TJobPhase::kDone);
    Finish(false, refusal.empty() ? "Unsupported protocol." : "Download failed: " + refusal);
    KeepOrRemovePart(true);
    return ChangedLast();
  }
  ContinueHttp();
}

void TDownloadJob::DropPendingRetry() {
  if (retry_timer_) retry_timer_->Stop();
  retry_due_ = false;
  retry_next_ = nullptr;
  part_stream_.reset();  // a cancel does not wait for the writer
  TPartInfo info;
  const bool ftp = LowerCase(url_).starts_with("ftp://");
  KeepOrRemovePart(ftp ? FtpPartRecorded(part_name_, RecordedUrl())
                       : ReadPartInfo(part_name_, info) && info.Continuable());
  ToStartMode();
  pause_visible_ = false;
  SetPhase(TJobPhase::kDone);
  outcome_ = TJobOutcome::kCancelled;
  status_ = ftp ? "Download cancelled." : "Download Cancelled.";
  ShowFileIcon();
  ChangedLast();
}

// ---- Progress ------------------------------------------------------------------------

void TDownloadJob::UpdateProgress(double total, double received) {
  int64_t elapsed = (NowMs() - transfer_start_ms_) / 1000;
  TProgressText p = ProgressText(total, received, elapsed, received - static_cast<double>(base_count_));
  // Data already under way when the user paused still arrives; the row keeps
  // saying "Paused." and shows the newest progress text on Resume.
  progress_text_ = p.text;
  progress_ = p;
  if (phase_ != TJobPhase::kPaused) status_ = p.text;
  if (p.position >= 0) position_ = p.position;
  ChangedLast();
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
  if (action_mode_ == amCancel && phase_ == TJobPhase::kPaused && !DownloadInProgress()) {
    // A restored paused row: no transfer to end; NAME.part stays for a later start.
    outcome_ = TJobOutcome::kCancelled;
    ToStartMode();
    pause_visible_ = false;
    SetPhase(TJobPhase::kDone);
    status_ = "Download Cancelled.";
    return ChangedLast();
  }
  if (action_mode_ != amCancel || !DownloadInProgress() || !action_enabled_) return;
  // The HTTP resume question comes before any transfer: nothing to cancel.
  if (phase_ == TJobPhase::kAsking && !ftp_) return;
  if (Underlying() == TJobPhase::kRetrying) return DropPendingRetry();
  run_.Begin();  // a question still open belongs to the cancelled run
  if (Underlying() == TJobPhase::kCommitting) {
    // The writer had not finished the whole part: it stays a part. Without
    // a client whose end would settle it, the part is settled here.
    part_stream_.reset();
    if (!http_ && !ftp_) KeepOrRemovePart(true);
  }
  outcome_ = TJobOutcome::kCancelled;
  auto alive = lifetime_.Token();
  std::string lower = LowerCase(url_);
  if ((lower.starts_with("http://") || lower.starts_with("https://")) && http_) {
    http_->Abort();
    if (!alive) return;
  } else if (lower.starts_with("ftp://") && ftp_) {
    ftp_->Abort();
    if (!alive) return;
  }
  ToStartMode();
  pause_visible_ = false;
  EndTransfer();
  status_ = "Download Cancelled.";
  ChangedLast();
}

void TDownloadJob::PauseClick() {
  if (phase_ != TJobPhase::kPaused) {
    SetPhase(TJobPhase::kPaused);
    progress_text_ = status_;
    status_ = "Paused.";
  } else if (!DownloadInProgress()) {
    // Held without a transfer (a restored paused row): Resume starts it.
    continue_unasked_ = true;
    return StartDownload();
  } else {
    SetPhase(paused_from_);
    status_ = progress_text_;
    // The wait before a retry ended while paused: the retry starts now.
    if (phase_ == TJobPhase::kRetrying && retry_due_) {
      if (!Changed()) return;
      return RetryNow();
    }
  }
  ApplyPause();
  ChangedLast();
}

void TDownloadJob::ShowRestored(TRestoredState state, const std::string& status, int position) {
  if (DownloadInProgress()) return;
  SetPhase(TJobPhase::kIdle);
  if (state == rsPaused) SetPhase(TJobPhase::kPaused);
  outcome_ = TJobOutcome::kNone;
  pause_visible_ = state == rsPaused;
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
      action_mode_ = amCancel;
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
  TWSocket* socket = nullptr;
  if (http_)
    socket = &http_->CtrlSocket();
  else if (ftp_)
    socket = ftp_->DataSocket();
  const bool wait = phase_ == TJobPhase::kPaused || queue_full_;
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
