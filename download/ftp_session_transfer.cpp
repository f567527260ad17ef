#include "download/ftp_session_transfer.h"

#include <algorithm>
#include <string_view>

#include "base/strings.h"
#include "download/download_failure.h"
#include "download/download_job.h"
#include "download/ftp_url.h"
#include "download/partial_file.h"
#include "download/queued_file_stream.h"
#include "download/retry_policy.h"
#include "net/socket/host_name.h"
#include "net/socket/transfer_watchdog.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {

// The password of an anonymous login, in the usual e-mail form.
constexpr const char* kAnonymousPassword = "quillon@example.com";

// A decimal number that fills the text; -1 otherwise.
int64_t ParseCount(std::string_view text) { return ParseDecimalDigits(text).value_or(-1); }

// A name or password that would break the command line it is sent in.
bool UnsafeLoginText(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

bool IsAnonymousUser(const std::string& user) { return SameText(user, "anonymous") || SameText(user, "ftp"); }

// A server that does not know SIZE or MDTM (or has no such value for the
// file) refuses it with 500, 502 or 550 and stays connected: the download
// goes on without the value.
bool NotAnswered(TFtpClient* ftp, Word Error) {
  return (Error == 500 || Error == 502 || Error == 550) && ftp->Connected();
}

}  // namespace

std::string FtpOneLine(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  for (size_t pos; (pos = text.find_first_of("\r\n")) != std::string::npos;)
    text.replace(pos, text[pos] == '\r' && text[pos + 1] == '\n' ? 2 : 1, " ");
  return text;
}

std::string FtpSocksServer(const TFtpClient& ftp) {
  const TFtpConnectionType type = ftp.ConnectionType();
  return type == ftpSocks4 || type == ftpSocks4A || type == ftpSocks5 ? ftp.SocksServer() : "";
}

void SetFtpLogin(TFtpClient& ftp, const TFtpUrlParts& parts) {
  const std::string user = parts.user.empty() ? std::string("anonymous") : parts.user;
  std::string password = parts.password;
  if (password.empty() && IsAnonymousUser(user)) password = kAnonymousPassword;
  ftp.SetUserName(user);
  ftp.SetPassWord(password);
}

bool CompleteFtpLogin(TFtpClient& ftp) {
  const std::string& name = ftp.UserName();
  const std::string& word = ftp.PassWord();
  if ((word.empty() && !IsAnonymousUser(name)) || UnsafeLoginText(name) || UnsafeLoginText(word)) return false;
  if (word.empty()) ftp.SetPassWord(kAnonymousPassword);
  return true;
}

TFtpSessionTransfer::~TFtpSessionTransfer() = default;

void TFtpSessionTransfer::Start() {
  job_.failure_kind_ = TFailureKind::kNone;
  TFtpUrlParts parts = SplitFtpUrl(job_.url_);
  if (!IsAsciiHostName(parts.host)) {
    // A name without an ASCII form: refused before any connection.
    job_.SetPhase(TJobPhase::kDone);
    job_.Finish(false, "Download failed: " + InvalidHostNameText(parts.host));
    job_.KeepOrRemovePart(true);
    return job_.ChangedLast();
  }
  auto ftp = std::make_unique<TFtpClient>();
  ftp->OnProgress = [this](TCustomFtpCli*, int64_t Count, bool&) { Progress(Count); };
  ftp->OnRequestDone = [this](TCustomFtpCli*, TFtpRequest RqType, Word Error) {
    TDownloadJob& job = job_;
    auto alive = job.lifetime_.Token();
    const TRunToken run = job.run_.Token();
    RequestDone(RqType, Error);
    // The session has ended, by whichever path (the client is gone): the
    // part goes with it unless the writer still finishes it.
    if (!alive || !job.run_.IsCurrent(run) || ftp_) return;
    const TJobPhase phase = job.phase_;
    if (phase != TJobPhase::kSettling && phase != TJobPhase::kCommitting && phase != TJobPhase::kRetrying)
      job.KeepOrRemovePart(true);
  };
  ftp->OnSessionConnected = [this](TCustomFtpCli*, Word) { SessionConnected(); };
  ftp->OnSessionClosed = [](TCustomFtpCli*, Word) {};
  ftp->SetHostName(parts.host);
  ftp->SetPort(parts.port);
  SetFtpLogin(*ftp, parts);
  ftp->SetHostDirName(parts.dir);
  ftp->SetHostFileName(parts.file);
  ftp->SetLocalFileName(job_.part_name_);
  ftp->SetBinary(true);
  ftp->SetPassive(!active_ && job_.ftp_data_mode_ != TFtpDataMode::kActive);
  ftp->SetConnectTimeout(job_.connect_timeout_);
  ftp->SetIdleTimeout(job_.idle_timeout_);
  ftp_ = std::move(ftp);
  job_.run_.Begin();
  // A mirror's text stays until the session stands.
  job_.status_ = job_.mirror_status_.empty() ? "Connecting to server..." : job_.mirror_status_;
  job_.SetPhase(TJobPhase::kConnecting);
  if (!FireEvent(job_.lifetime_, job_.OnFtpClientCreated, &job_, ftp_.get())) return;
  // A user name without a password (other than an anonymous one) cannot
  // log in, and a line break in either would end the command early.
  if (!CompleteFtpLogin(*ftp_)) {
    job_.SetPhase(TJobPhase::kDone);
    ftp_.reset();
    job_.KeepOrRemovePart(true);
    job_.Finish(false, "Could not connect or log in.");
    return job_.ChangedLast();
  }
  if (!job_.Changed()) return;
  ftp_->Connect();
}

void TFtpSessionTransfer::Abort() {
  if (ftp_) ftp_->Abort();
}

void TFtpSessionTransfer::Hold(bool wait) {
  if (TWSocket* socket = ftp_ ? ftp_->DataSocket() : nullptr) HoldSocket(*socket, ftp_->Watchdog(), wait);
}

// An FTP part outlives a failure when its record has a total that a later
// start can check against the server's SIZE answer.
bool TFtpSessionTransfer::PartContinuable() const {
  TPartInfo info;
  return ReadPartInfo(job_.part_name_, info) && PartContinues(info, job_.RecordedUrl(), 0);
}

void TFtpSessionTransfer::SessionConnected() {
  job_.mirror_status_.clear();
  job_.status_ = "Session Connected.";
  job_.ChangedLast();
}

void TFtpSessionTransfer::Progress(int64_t Count) {
  // Count is the file's bytes so far, those of a continued part included.
  const int64_t from = std::max(counted_, job_.base_count_);
  if (Count > from) job_.SpendReceived(Count - from);
  counted_ = std::max(counted_, Count);
  if (!ftp_ || !job_.UpdateDue()) return;
  const int64_t total = size_ >= 0 ? size_ : job_.expected_.size;
  job_.UpdateProgress(static_cast<double>(total), static_cast<double>(Count));
}

void TFtpSessionTransfer::LoggedIn() {
  if (!ftp_->HostDirName().empty())
    ftp_->Cwd();
  else
    ftp_->TypeSet();
}

void TFtpSessionTransfer::RequestDone(TFtpRequest RqType, Word Error) {
  TFtpClient* ftp = ftp_.get();
  if (Error != 0) {
    if (RqType == ftpRqSize && NotAnswered(ftp, Error)) return SizeDone();
    if (RqType == ftpRqMdtm && NotAnswered(ftp, Error)) return MdtmDone();
    return Failed(RqType, Error);
  }
  switch (RqType) {
    case ftpRqConnect: ftp->User(); break;
    case ftpRqUser:
      // 230: logged in without a password.
      if (ftp->StatusCode() == 230)
        LoggedIn();
      else
        ftp->Pass();
      break;
    case ftpRqPass: LoggedIn(); break;
    case ftpRqCwd: ftp->TypeSet(); break;
    case ftpRqTypeSet: ftp->Size(); break;
    case ftpRqSize: SizeDone(); break;
    case ftpRqMdtm: MdtmDone(); break;
    case ftpRqGet:
    case ftpRqRestartGet: TransferDone(); break;
    case ftpRqQuit:
      job_.EndTransfer();
      ftp_.reset();  // the client allows this inside its own OnRequestDone
      job_.ShowFileIcon();
      job_.ChangedLast();
      break;
    default: break;
  }
}

// The transfer was reported done (the data connection closed cleanly): the
// file is complete only when it has as many bytes as the SIZE answer, or,
// without one, when the final reply was 226 or 250.
void TFtpSessionTransfer::TransferDone() {
  ftp_->SetLocalStream(nullptr);
  const std::string failure = job_.WriteFailure();
  if (!failure.empty()) return Committed(failure);
  const int code = ftp_->StatusCode();
  if (size_ < 0 && code != 226 && code != 250) {
    job_.NoteFailure(TFailureKind::kNetwork);
    return Committed(kIncomplete);
  }
  job_.CommitWhenWritten(size_, [this](const std::string& f) { Committed(f); });
}

void TFtpSessionTransfer::Committed(std::string failure) {
  stage_ = TStage::kGoodbye;
  TTryFailure try_failure;
  try_failure.transient = failure == kIncomplete;
  if (!failure.empty() && job_.RetryOrMirror(failure, try_failure)) {
    // The next try has a session of its own: this one is dropped without
    // its goodbye.
    ftp_.reset();
    return job_.ChangedLast();
  }
  if (failure.empty()) {
    job_.status_ = job_.CompletionText("Completed.");
    job_.Finish(true, "");
  } else {
    job_.Finish(false, failure);
    job_.SettlePart(PartContinuable(), false);
  }
  // The session says goodbye; its end ends the download.
  job_.SetPhase(ftp_ ? TJobPhase::kSettling : TJobPhase::kDone);
  if (!job_.Changed()) return;
  if (ftp_) ftp_->Quit();
}

void TFtpSessionTransfer::SayGoodbye() {
  job_.SetPhase(TJobPhase::kSettling);  // until the session's goodbye
  if (!job_.Changed()) return;
  ftp_->Quit();
}

void TFtpSessionTransfer::SizeDone() {
  // "213 <number>": the length to check the file against. Without it (SIZE
  // refused, or no number) the file is fetched without a known length.
  const bool answered = ftp_->StatusCode() == 213;
  size_ = answered ? ParseCount(FtpTextFromReply(ftp_->LastResponse())) : -1;
  // The server announces the length in its SIZE answer.
  if (job_.expected_.size >= 0 && size_ >= 0 && size_ != job_.expected_.size) {
    stage_ = TStage::kGoodbye;
    job_.NoteFailure(TFailureKind::kNotExpected);
    job_.Finish(false, job_.SizeMismatch(size_));
    return SayGoodbye();
  }
  ftp_->Mdtm();
}

// MDTM answered (or refused: no time, ""): the resume decision, then the
// transfer. A part is continued only when the record of the start that wrote
// it names this URL, the same SIZE answer and the same MDTM answer, and the
// part is shorter than that size; any other part is fetched again from
// nothing.
void TFtpSessionTransfer::MdtmDone() {
  const std::string mdtm = ftp_->MdtmResult();
  const bool unasked = mode_ == TTryMode::kContinue;
  bool resume = false;
  int64_t local_size = LocalFileSize(job_.part_name_);
  TPartInfo info;
  if (mode_ != TTryMode::kWhole && size_ > 0 && ReadPartInfo(job_.part_name_, info) &&
      PartContinues(info, job_.RecordedUrl(), local_size) && local_size > 0 && info.total == size_ &&
      info.validator == mdtm && (job_.question_ || unasked)) {
    auto alive = job_.lifetime_.Token();
    const TRunToken asked = job_.run_.Token();
    // A retry continues without asking.
    if (!unasked) job_.SetPhase(TJobPhase::kAsking);
    resume = unasked || job_.question_->AskResume(kResumeQuestion);
    // The question may have run the event loop: the row may be gone, or the
    // transfer ended or replaced.
    if (!alive || !job_.run_.IsCurrent(asked)) return;
    local_size = LocalFileSize(job_.part_name_);
    resume = resume && local_size > 0 && local_size < size_;
  }
  try {
    job_.OpenPartStream(resume ? local_size : 0);
  } catch (const std::exception&) {
    stage_ = TStage::kGoodbye;
    job_.NoteFailure(TFailureKind::kFileIo);
    job_.Finish(false, kCannotWrite + SystemReason());
    return SayGoodbye();
  }
  // A new part records what it is a part of; without a SIZE answer it has no
  // total, and a failure removes it.
  if (!resume) WritePartInfo(job_.part_name_, TPartInfo{job_.RecordedUrl(), size_, mdtm});
  ftp_->SetLocalStream(job_.part_stream_.get());
  // Nothing past the announced length is written.
  ftp_->SetDownloadLimit(size_);
  job_.SetPhase(TJobPhase::kTransferring);
  job_.BeginTransfer(resume ? local_size : 0);
  if (!job_.Changed()) return;
  ftp_->SetResumeAt(resume ? local_size : 0);
  if (resume)
    ftp_->RestartGet();
  else
    ftp_->Get();
}

void TFtpSessionTransfer::Failed(TFtpRequest RqType, Word Error) {
  TFtpClient* ftp = ftp_.get();
  const bool cancelled = job_.outcome_ == TJobOutcome::kCancelled;
  // After the outcome was shown only the goodbye failed: the outcome stays.
  const bool goodbye_failed = RqType == ftpRqQuit && stage_ == TStage::kGoodbye;
  const bool transfer = RqType == ftpRqGet || RqType == ftpRqRestartGet;
  if (transfer && !cancelled && job_.WriteFailure().empty() && TryActive()) return job_.ChangedLast();
  // A passive data connection that could not be made is the network's
  // failure, tried again like a reset control connection.
  const Word data_error = transfer ? ftp->DataConnectError() : 0;
  if (goodbye_failed) {
  } else if (cancelled) {
    job_.NoteFailure(TFailureKind::kGeneric);
  } else if (transfer && !job_.WriteFailure().empty()) {
    job_.NoteFailure(job_.part_stream_ && job_.part_stream_->PastBound() ? TFailureKind::kNotExpected
                                                                         : TFailureKind::kFileIo);
  } else if (data_error != 0) {
    job_.NoteFailure(TFailureKind::kNetwork);
  } else {
    job_.NoteFailure(ftp->LimitPassed() ? TFailureKind::kProtocol
                                        : FtpFailureKind(RqType, Error, ftp->StatusCode(), ftp->LastResponse(),
                                                         ftp->Connected()));
  }
  // The server's reply (or the client's own reason), once; a socket error in
  // the system's words.
  const std::string socket_failure =
      Error == platform::WSAECONNRESET
          ? ""
          : SocketFailure(Error, ftp->HostName(), ftp->ControlSocket(), FtpSocksServer(*ftp), ftp->SocksPort());
  std::string& status = job_.status_;
  if (goodbye_failed) {
  } else if (transfer && !job_.WriteFailure().empty()) {
    status = job_.WriteFailure();
  } else if (data_error != 0 && !cancelled) {
    status = "Download failed: cannot open the data connection: " +
             SocketFailure(data_error, ftp->HostName(), nullptr, FtpSocksServer(*ftp), ftp->SocksPort());
  } else if (Error == kConnectTimeoutError || Error == kIdleTimeoutError) {
    status = "Download failed: " + TTransferWatchdog::ReasonText(
                                       Error == kConnectTimeoutError ? TTimeoutKind::Connect : TTimeoutKind::Idle,
                                       ftp->IdleTimeout());
  } else if (cancelled) {
    // Only the user's cancel is a cancel.
    status = "Download cancelled.";
  } else if (transfer && ftp->LimitPassed()) {
    status = "Download failed: the server sent more than the " + std::to_string(ftp->DownloadLimit()) +
             " bytes it announced.";
  } else if (transfer && Error == platform::WSAECONNRESET) {
    status = "Download failed: connection reset by the server.";
  } else if (socket_failure.empty() && (RqType == ftpRqConnect || RqType == ftpRqUser || RqType == ftpRqPass)) {
    status = "Could not connect or log in.";
  } else {
    // A failed transfer says what happened, or keeps the server's reply.
    status = "Download failed: " + (!socket_failure.empty()       ? socket_failure
                                    : !ftp->ErrorMessage().empty() ? FtpOneLine(ftp->ErrorMessage())
                                                                   : FtpOneLine(ftp->LastResponse()));
  }
  ftp->SetLocalStream(nullptr);
  TTryFailure try_failure;
  try_failure.transient = !cancelled && job_.WriteFailure().empty() && !ftp->LimitPassed() &&
                          (TransientSocketError(Error, job_.attempt_) || TransientFtpReply(ftp->StatusCode()) ||
                           data_error != 0);
  const bool shown = stage_ == TStage::kGoodbye;
  if (!shown && !cancelled && job_.RetryOrMirror(status, try_failure)) {
    // The row goes on. The next try has a session of its own: this one is
    // dropped without its goodbye (the client allows this inside its own
    // OnRequestDone).
    ftp_.reset();
    return job_.ChangedLast();
  }
  // Failed, unless only the goodbye after the outcome failed.
  if (!goodbye_failed) job_.SetOutcome(TJobOutcome::kFailed);
  if (job_.outcome_ != TJobOutcome::kComplete) job_.ToStartMode();
  if (!shown) job_.SettlePart(PartContinuable(), cancelled);
  job_.EndTransfer();
  stage_ = TStage::kGoodbye;
  if (RqType != ftpRqQuit && ftp->Connected()) {
    if (!job_.Changed()) return;
    ftp->Quit();  // its completion releases the client
    return;
  }
  ftp_.reset();  // the client allows this inside its own OnRequestDone
  job_.ShowFileIcon();
  job_.ChangedLast();
}

bool TFtpSessionTransfer::TryActive() {
  TFtpClient& ftp = *ftp_;
  if (job_.ftp_data_mode_ != TFtpDataMode::kPassiveFirst || active_ || !ftp.Passive() ||
      ftp.ConnectionType() != ftpDirect || !ftp.PassiveFailed() || !job_.part_.Held())
    return false;
  const Word data_error = ftp.DataConnectError();
  job_.ShowRetryStatus("No passive data connection (" +
                       (data_error != 0 ? SocketFailure(data_error, ftp.HostName(), nullptr)
                                        : FtpOneLine(ftp.ErrorMessage())) +
                       "); trying active mode.");
  ftp.SetLocalStream(nullptr);
  // The same try, continuing the part as this session would have.
  job_.Schedule([&job = job_] { job.StartTry(TTryMode::kContinue, true); }, 0);
  // Dropped without its goodbye (the client allows this inside its own
  // OnRequestDone); the next session has its own.
  ftp_.reset();
  return true;
}

}  // namespace quillon
