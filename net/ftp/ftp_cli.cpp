// TCustomFtpCli: object, properties, control connection, command engine,
// sequencer, Quit and Abort. The data connection is in ftp_data.cpp.
#include "net/ftp/ftp_cli.h"

#include "net/ftp/ftp_commands.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "base/strings.h"
#include "platform/event_loop.h"

namespace quillon {

namespace {

constexpr const char* kAborted = "426 Operation aborted.";

std::string SocketFailureText(Word Error) {
  return SocketErrorText(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

using TOperation = void (TCustomFtpCli::*)();

// The operation that runs each step of a sequence, indexed by TFtpStep.
constexpr TOperation kStepOperations[] = {
    nullptr,                    &TCustomFtpCli::Connect, &TCustomFtpCli::User,    &TCustomFtpCli::Pass,
    &TCustomFtpCli::Cwd,        &TCustomFtpCli::Size,    &TCustomFtpCli::Mkd,     &TCustomFtpCli::Rmd,
    &TCustomFtpCli::RenFrom,    &TCustomFtpCli::RenTo,   &TCustomFtpCli::ExecGet, &TCustomFtpCli::ExecDir,
    &TCustomFtpCli::Quit,       &TCustomFtpCli::Syst,    &TCustomFtpCli::Dele,    &TCustomFtpCli::Pwd,
    &TCustomFtpCli::Quote,      &TCustomFtpCli::ExecPut, &TCustomFtpCli::TypeSet, &TCustomFtpCli::Rest,
    &TCustomFtpCli::CDup,       &TCustomFtpCli::ExecLs,  &TCustomFtpCli::ExecAppend, &TCustomFtpCli::DataPort,
    &TCustomFtpCli::Abor,       &TCustomFtpCli::Mdtm,
};
static_assert(std::size(kStepOperations) == stMdtm + 1);

}  // namespace

using TArg = TFtpCommandRule::TArg;

std::string ExceptionClassName(const std::exception& E) {
  if (dynamic_cast<const ESocketException*>(&E)) return "ESocketException";
  if (dynamic_cast<const FtpException*>(&E)) return "FtpException";
  if (dynamic_cast<const EFCreateError*>(&E)) return "EFCreateError";
  if (dynamic_cast<const EFOpenError*>(&E)) return "EFOpenError";
  if (dynamic_cast<const EStreamError*>(&E)) return "EStreamError";
  return "Exception";
}

// ---- Object -------------------------------------------------------------------

TCustomFtpCli::TCustomFtpCli()
    : target_(this), control_(std::make_unique<TWSocket>()), data_(std::make_unique<TWSocket>()) {
  control_->OnDnsLookupDone = [this](TCustomWSocket*, Word e) { ControlDnsLookupDone(e); };
  control_->OnSessionConnected = [this](TCustomWSocket*, Word e) { ControlSessionConnected(e); };
  control_->OnSessionClosed = [this](TCustomWSocket*, Word e) { ControlSessionClosed(e); };
  control_->OnDataAvailable = [this](TCustomWSocket*, Word e) { ControlDataAvailable(e); };
  watchdog_.OnTimeout = [this](TTimeoutKind Kind) { TimedOut(Kind); };
}

TCustomFtpCli::~TCustomFtpCli() {
  lifetime_.Invalidate();
  transfer_.CloseFile();
  // The sockets fire nothing while they are destroyed; forget the handlers
  // anyway, so that nothing can reach a half-destroyed client.
  ForgetHandlers(*data_);
  ForgetHandlers(*control_);
  data_.reset();
  control_.reset();
}

namespace {
constexpr std::pair<TFtpShareMode, uint16_t> kShareModes[] = {{ftpShareCompat, fmShareCompat},
                                                              {ftpShareDenyWrite, fmShareDenyWrite},
                                                              {ftpShareDenyRead, fmShareDenyRead},
                                                              {ftpShareDenyNone, fmShareDenyNone}};
}  // namespace

// Any other value is exclusive.
TFtpShareMode TCustomFtpCli::ShareMode() const {
  for (auto [mode, flags] : kShareModes)
    if (flags == settings_.share_flags) return mode;
  return ftpShareExclusive;
}

void TCustomFtpCli::SetShareMode(TFtpShareMode Value) {
  settings_.share_flags = fmShareExclusive;
  for (auto [mode, flags] : kShareModes)
    if (mode == Value) settings_.share_flags = flags;
}

void TCustomFtpCli::SetConnectionType(TFtpConnectionType Value) {
  if (logged_connected_) {
    HandleError("FTP component connected");
    return;
  }
  switch (Value) {
    case ftpProxy:
    case ftpSocks4:
    case ftpSocks4A:
    case ftpSocks5:
      settings_.connection_type = Value;
      settings_.passive = true;
      break;
    default: settings_.connection_type = ftpDirect; break;
  }
}

// The sockets forget their SOCKS settings at every close: they are applied
// before each connect.
void TCustomFtpCli::ApplySocks(TWSocket& Socket) {
  TFtpConnectionType type = settings_.connection_type;
  if (type != ftpSocks4 && type != ftpSocks4A && type != ftpSocks5) {
    Socket.SetSocksServer("");
    Socket.SetSocksAuthentication(socksNoAuthentication);
    return;
  }
  Socket.SetSocksServer(settings_.socks_server);
  Socket.SetSocksPort(settings_.socks_port);
  Socket.SetSocksLevel(type == ftpSocks4 ? "4" : type == ftpSocks4A ? "4A" : "5");
  Socket.SetSocksUsercode(settings_.socks_user_code);
  Socket.SetSocksPassword(settings_.socks_password);
  // A SOCKS 5 server that asks for no authentication refuses a client that
  // offers only user-name authentication: offer it only with a user code.
  Socket.SetSocksAuthentication(settings_.socks_user_code.empty() ? socksNoAuthentication
                                                                  : socksAuthenticateUsercode);
}

void TCustomFtpCli::ForgetHandlers(TWSocket& Socket) {
  Socket.OnDnsLookupDone = nullptr;
  Socket.OnSessionConnected = nullptr;
  Socket.OnSessionClosed = nullptr;
  Socket.OnDataAvailable = nullptr;
  Socket.OnDataSent = nullptr;
  Socket.OnSessionAvailable = nullptr;
}

bool TCustomFtpCli::Connected() const { return control_->State() != wsClosed; }

void TCustomFtpCli::SetPassive(bool Value) {
  if (settings_.connection_type == ftpDirect) settings_.passive = Value;
}

TFtpState TCustomFtpCli::State() const {
  switch (stage_) {
    case TStage::Ready: return ftpReady;
    case TStage::BetweenSteps: return ftpBetweenSteps;
    case TStage::Closed: return ftpNotConnected;
    case TStage::DnsLookup: return ftpDnsLookup;
    case TStage::WaitingBanner: return ftpWaitingBanner;
    case TStage::Connected: return ftpConnected;
    case TStage::PasvReady: return ftpPasvReady;
    case TStage::Aborting: return ftpAborting;
    default: return ftpWaitingResponse;
  }
}

bool TCustomFtpCli::SetStage(TStage Value) {
  if (stage_ == Value) return true;
  static const bool trace = std::getenv("QUILLON_FTP_TRACE") != nullptr;
  if (trace) {
    static constexpr const char* kNames[] = {"ready",          "between steps", "closed",       "dns lookup",
                                             "waiting banner", "connected",     "reply",        "quit reply",
                                             "download start", "download end",  "upload start", "upload end",
                                             "answered",       "pasv ready",    "aborting"};
    static_assert(std::size(kNames) == static_cast<size_t>(TStage::Aborting) + 1);
    std::fprintf(stderr, "ftp %p: %s -> %s\n", static_cast<void*>(this), kNames[static_cast<int>(stage_)],
                 kNames[static_cast<int>(Value)]);
  }
  const TFtpState before = State();
  stage_ = Value;
  return State() == before || FireEvent(lifetime_, OnStateChange, this);
}

// ---- Events -------------------------------------------------------------------

bool TCustomFtpCli::TriggerDisplay(const std::string& Msg) {
  std::string m = Msg;
  return FireEvent(lifetime_, OnDisplay, this, m);
}

bool TCustomFtpCli::TriggerDisplayFile(const std::string& Msg) {
  std::string m = Msg;
  return FireEvent(lifetime_, OnDisplayFile, this, m);
}

bool TCustomFtpCli::TriggerReadyToTransmit(bool& bCancel) {
  return FireEvent(lifetime_, OnReadyToTransmit, this, bCancel);
}

bool TCustomFtpCli::TriggerError(const std::string& Msg) {
  std::string m = Msg;
  return FireEvent(lifetime_, OnError, this, m);
}

void TCustomFtpCli::HandleError(const std::string& Msg) {
  ++usage_errors_;
  last_usage_error_ = Msg;
  if (!OnError) throw FtpException(Msg);
  static_cast<void>(TriggerError(Msg));
}

bool TCustomFtpCli::RefusedArgument(const std::string& Verb, const std::string& Value) {
  // A CR, LF or NUL would end the command early and start one of the
  // value's own: nothing of it is sent.
  if (Value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos) return false;
  HandleError(Verb + ": the argument holds a line break or NUL");
  return true;
}

void TCustomFtpCli::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  platform::RunMessageWork<FtpException>(
      lifetime_, [&] { WndProc(msg, wParam, lParam); },
      [this](const std::exception& e) { HandleBackgroundException(e); });
}

void TCustomFtpCli::WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  switch (Msg) {
    case WM_FTP_REQUEST_DONE:
      static_cast<void>(
          FireEvent(lifetime_, OnRequestDone, this, static_cast<TFtpRequest>(LParam), static_cast<Word>(WParam)));
      break;
    case WM_FTP_SENDDATA:
      transfer_.start_time = platform::GetTickCount();
      UploadSendData(0);
      break;
    default: break;
  }
}

void TCustomFtpCli::HandleBackgroundException(const std::exception& E) {
  if (!platform::ReportBackgroundException(lifetime_, OnBgException, this, E)) return;
  // A request that the failing handler left running would never be
  // reported: abort it, so that it ends with a report.
  if (!request_done_flag_ || !Ready()) Abort();
}

// ---- Replies --------------------------------------------------------------------

void TCustomFtpCli::ControlDataAvailable(Word Error) {
  watchdog_.Activity();
  int len = control_->Receive(replies_.FreeSpace(), replies_.FreeSize());
  if (len == 0) {
    // The server ended the connection, or a reply line does not fit.
    control_->Close();
    return;
  }
  if (len < 0) return;
  replies_.Added(len);
  auto alive = lifetime_.Token();
  while (replies_.NextLine(settings_.options.Contains(ftpAcceptLF), last_response_)) {
    if (!last_response_.empty() && last_response_[0] >= '0' && last_response_[0] <= '9')
      status_code_ = FtpReplyCode(last_response_);
    if (!FireEvent(lifetime_, OnResponse, this)) return;
    if (!HandleReplyLine(Error) || !alive) return;
  }
}

// Shows the line; a final one answers what the connection waits for. False
// when the rest of the buffer is to stay unprocessed.
bool TCustomFtpCli::HandleReplyLine(Word Error) {
  if (!TriggerDisplay("< " + last_response_)) return false;
  if (!FtpReplyIsFinal(last_response_)) return true;
  if (stage_ == TStage::WaitingBanner) {
    status_code_ = FtpReplyCode(last_response_);
    if (status_code_ == 220) {
      if (!SetStage(TStage::Connected)) return false;
      if (!FireEvent(lifetime_, OnSessionConnected, this, Error)) return false;
      TriggerRequestDone(0);
      return true;
    }
    if (error_message_.empty()) error_message_ = last_response_;
    request_result_ = status_code_;
    control_->Close();
    return false;
  }
  if (!AwaitingReply()) return true;
  status_code_ = FtpReplyCode(last_response_);
  switch (stage_) {
    case TStage::DownloadStart:
    case TStage::UploadStart: TransferStartReply(); break;
    case TStage::DownloadEnd:
    case TStage::UploadEnd: TransferEndReply(); break;
    default: JudgeReply(); break;
  }
  return true;
}

// The final reply of a one-command operation, judged against the accepted
// codes.
void TCustomFtpCli::JudgeReply() {
  const bool quit = stage_ == TStage::QuitReply;
  if (!SetStage(TStage::Answered)) return;
  if (!plain_data_command_.empty() && sequence_.Current() == stPort && status_code_ >= 500) {
    // EPSV / EPRT unknown to this IPv4 server, or not allowed: PASV / PORT
    // instead.
    extended_refused_ = true;
    const std::string plain = std::move(plain_data_command_);
    plain_data_command_.clear();
    error_message_.clear();
    SendAndAwait(TStage::Reply, plain);
    return;
  }
  plain_data_command_.clear();
  bool ok = command_ ? command_->Accepts(status_code_) : status_code_ < 500;
  if (ok) {
    request_result_ = 0;
  } else {
    request_result_ = status_code_;
    if (error_message_.empty()) error_message_ = last_response_;
    // The last passive command refused: no passive data connection here.
    if (settings_.passive && sequence_.Current() == stPort && status_code_ >= 500) passive_failed_ = true;
  }
  if (settings_.passive && (status_code_ == 227 || status_code_ == 229)) {
    transfer_.pasv_response = last_response_;
    if (!SetStage(TStage::PasvReady)) return;
  }
  TFtpStep step = sequence_.Current();
  if (ok && step == stSize) size_result_ = FtpSizeFromReply(last_response_);
  if (ok && step == stMdtm) mdtm_result_ = FtpTextFromReply(last_response_);
  if (ok && (step == stCwd || step == stMkd || step == stPwd || step == stCdup))
    dir_result_ = FtpDirFromReply(last_response_);
  // After the 221 of QUIT the close of the control connection reports it.
  if (quit)
    control_->Close();
  else
    TriggerRequestDone(static_cast<Word>(request_result_));
}

// ---- Command engine -------------------------------------------------------------

bool TCustomFtpCli::CheckReady(bool MustBeConnected) {
  // Between the PASV step and the next step of a sequence the client is
  // ready too (REST follows PASV in RestartGet).
  if (!Ready() && !(sequence_.Active() && stage_ == TStage::PasvReady)) {
    HandleError("FTP component not ready");
    return false;
  }
  if (MustBeConnected && !logged_connected_) {
    HandleError("FTP component not connected");
    return false;
  }
  return true;
}

void TCustomFtpCli::BeginRequest(TFtpRequest RqType) {
  if (!sequence_.Active()) request_type_ = RqType;
  request_done_flag_ = false;
  request_result_ = 0;
}

void TCustomFtpCli::SetFailure(int Code, const std::string& Response) {
  last_response_ = Response;
  status_code_ = Code;
  request_result_ = Code;
  if (error_message_.empty()) error_message_ = last_response_;
}

void TCustomFtpCli::SetAborted() {
  request_result_ = 426;
  error_message_ = kAborted;
}

void TCustomFtpCli::SetTimedOut(TTimeoutKind Kind) {
  request_result_ = watchdog_.ErrorNumber(Kind);
  last_response_ = "500 " + watchdog_.ReasonText(Kind);
  status_code_ = 500;
  error_message_ = last_response_;
}

void TCustomFtpCli::Exec(const TFtpCommandRule& C) {
  const std::string* value = nullptr;
  const char* missing = nullptr;  // the usage error when the value is empty
  switch (C.arg) {
    case TArg::User: value = &settings_.user_name, missing = "UserName emtpy"; break;
    case TArg::Pass: value = &settings_.pass_word, missing = "Password emtpy"; break;
    case TArg::HostDir: value = &settings_.host_dir_name, missing = "HostDirName emtpy"; break;
    case TArg::HostFile: value = &settings_.host_file_name; break;
    case TArg::Rename:
    case TArg::Quote: value = &settings_.local_file_name; break;
    case TArg::Type:
    case TArg::None:
    case TArg::Caller: break;
  }
  if (missing && value->empty()) {
    HandleError(missing);
    return;
  }
  if (value && RefusedArgument(C.arg == TArg::Quote ? "quote" : C.verb, *value)) return;
  std::string cmd = C.arg == TArg::Quote ? *value : C.verb;
  if (C.arg == TArg::Type) cmd += std::string(" ") + settings_.type;
  if (value && C.arg != TArg::Quote) cmd += " " + *value;
  if (C.arg == TArg::User && settings_.connection_type == ftpProxy) {
    cmd += "@" + settings_.host_name;
    if (!SameText(settings_.port, "ftp") && settings_.port != "21") cmd += ":" + settings_.port;
  }
  if (C.step == stQuit) transfer_.CloseFile();
  sequence_.SetCurrent(C.step);
  if (C.step == stSize) size_result_ = 0;
  if (C.step == stMdtm) mdtm_result_.clear();
  ExecAsync(C, cmd);
}

void TCustomFtpCli::ExecAsync(const TFtpCommandRule& C, const std::string& Cmd) {
  if (Cmd != "ABOR" && Cmd != "STAT" && Cmd != "QUIT" && !CheckReady()) return;
  BeginRequest(C.request);
  command_ = &C;
  error_message_.clear();
  auto alive = lifetime_.Token();
  SendAndAwait(C.step == stQuit ? TStage::QuitReply : TStage::Reply, Cmd);
  if (!alive) return;
  // ABOR, STAT and QUIT may be issued without a control connection: no
  // reply can come, so the request ends here instead of staying pending.
  // QUIT has what it wants then.
  if (control_->State() != wsConnected && AwaitingReply() && !request_done_flag_) {
    if (!SetStage(TStage::Answered)) return;
    if (Cmd != "QUIT") SetFailure(500, "500 Control connection closed.");
    TriggerRequestDone(static_cast<Word>(request_result_));
  }
}

// Sends a command whose final reply the stage Await handles.
void TCustomFtpCli::SendAndAwait(TStage Await, const std::string& Cmd) {
  if (!SetStage(Await)) return;
  SendCommand(Cmd);
}

void TCustomFtpCli::SendCommand(const std::string& Cmd) {
  std::string cmd = Cmd;
  if (!FireEvent(lifetime_, OnCommand, this, cmd)) return;
  if (!TriggerDisplay("> " + cmd) || control_->State() != wsConnected) return;
  // A command waits for its reply: silence is measured from here.
  if (watchdog_.Phase() != TTimeoutKind::Connect) watchdog_.StartIdle();
  control_->SendString(cmd + "\r\n");
}

void TCustomFtpCli::TriggerRequestDone(Word Error) {
  if (request_done_flag_) return;
  request_done_flag_ = true;
  if (Error == 0 && sequence_.Continuing()) {
    if (stage_ != TStage::Aborting && stage_ != TStage::PasvReady && !SetStage(TStage::BetweenSteps)) return;
    NextSequenceStep();
    return;
  }
  if (!SetStage(TStage::Ready)) return;
  if (data_->State() != wsClosed) CloseDataSocket();
  sequence_.Finish(last_response_, status_code_);
  watchdog_.Stop();  // nothing is awaited until the next request
  // The report carries its request: the next one may have started before
  // the report is delivered.
  target_.Post(WM_FTP_REQUEST_DONE, Error, request_type_);
}

// ---- Connect, control connection ------------------------------------------------

void TCustomFtpCli::Connect() {
  if (!Ready()) {
    HandleError("FTP component not ready");
    return;
  }
  if (logged_connected_) {
    HandleError("FTP component already connected");
    return;
  }
  BeginRequest(ftpRqConnect);
  replies_.Clear();
  dns_result_.clear();
  timed_out_ = TTimeoutKind::None;
  limit_passed_ = false;
  watchdog_.StartConnect();
  if (!SetStage(TStage::DnsLookup)) return;
  // A SOCKS 5 or 4A proxy is handed the name and resolves it: a name only
  // the proxy's network knows is reached, and this computer's resolver is
  // never asked (a SOCKS 4 proxy takes an address, looked up here). The data
  // connections go through the proxy to the same name.
  const TFtpConnectionType type = settings_.connection_type;
  if ((type == ftpSocks5 || type == ftpSocks4A) && !settings_.socks_server.empty()) {
    ConnectControl(settings_.host_name);
    return;
  }
  control_->DnsLookup(type == ftpProxy ? settings_.proxy_server : settings_.host_name);
}

void TCustomFtpCli::ControlDnsLookupDone(Word Error) {
  if (stage_ == TStage::Aborting) {
    SetAborted();
    TriggerRequestDone(426);
    return;
  }
  if (Error != 0) {
    SetFailure(500, "500 " + SocketFailureText(Error));
    TriggerRequestDone(Error);
    return;
  }
  ConnectControl(control_->DnsResult());
}

void TCustomFtpCli::ConnectControl(const std::string& address) {
  dns_result_ = address;
  extended_refused_ = false;
  try {
    control_->SetAddr(dns_result_);
    control_->SetLocalAddr(settings_.local_addr);
    control_->SetProto("tcp");
    bool proxy = settings_.connection_type == ftpProxy && !settings_.proxy_port.empty();
    control_->SetPort(proxy ? settings_.proxy_port : settings_.port);
    ApplySocks(*control_);
    control_close_told_ = false;
    if (!SetStage(TStage::WaitingBanner)) return;
    control_->Connect();
  } catch (const std::exception& e) {
    SetFailure(500, "500 " + ExceptionClassName(e) + ": " + e.what());
    TriggerRequestDone(500);
  }
}

void TCustomFtpCli::ControlSessionConnected(Word Error) {
  if (Error == 0) {
    logged_connected_ = true;
    watchdog_.StartIdle();  // the greeting is awaited like any reply
    return;
  }
  auto alive = lifetime_.Token();
  SetFailure(500, "500 " + SocketFailureText(Error));
  sequence_.Stop();
  TriggerRequestDone(Error);
  if (!alive) return;
  if (control_->State() != wsClosed) control_->Close();
  if (!alive) return;
  SetStage(TStage::Ready);
}

void TCustomFtpCli::ControlSessionClosed(Word Error) {
  // The socket may tell one close twice (a close made while it was
  // reading, then the end of the connection it had noticed).
  if (control_close_told_) return;
  control_close_told_ = true;
  bool pending = !request_done_flag_;
  bool reply_pending = AwaitingReply() || stage_ == TStage::WaitingBanner;
  bool answered = stage_ == TStage::Answered;
  if (logged_connected_) {
    logged_connected_ = false;
    if (stage_ != TStage::Aborting && !SetStage(TStage::Closed)) return;
    if (!FireEvent(lifetime_, OnSessionClosed, this, Error)) return;
  }
  bool aborting = stage_ == TStage::Aborting;
  // The final reply of a download came and its data is still arriving: the
  // join with the data connection's close reports the request.
  TFtpStep step = sequence_.Current();
  bool data_pending = pending && !aborting && answered && !transfer_.data_closed &&
                      (step == stRetr || step == stList || step == stNlst) && data_->State() != wsClosed;
  if (!pending && !aborting) {
    SetStage(TStage::Ready);  // nothing to report: the client was idle
    return;
  }
  if (!aborting && !SetStage(data_pending ? TStage::Answered : TStage::BetweenSteps)) return;
  if (data_pending) return;
  if (pending) {
    if (aborting && timed_out_ != TTimeoutKind::None)
      SetTimedOut(timed_out_);
    else if (aborting && limit_passed_)
      SetFailure(552, "552 More than " + std::to_string(settings_.download_limit) + " bytes received.");
    else if (aborting)
      SetAborted();  // Abort ends whatever was pending as a failure, never as success
    else if (Error != 0)
      SetFailure(500, "500 Control connection closed. " + SocketFailureText(Error));
    else if (reply_pending && request_result_ == 0)
      SetFailure(500, "500 Control connection closed.");  // the server hung up before answering
  }
  TriggerRequestDone(static_cast<Word>(request_result_));
}

// ---- Sequencer ------------------------------------------------------------------

void TCustomFtpCli::HighLevelAsync(TFtpRequest RqType, TFtpSequencer::TSteps Steps) {
  if (logged_connected_ && (Steps & TFtpSequencer::Bit(stConnect))) {
    HandleError("FTP component already connected");
    return;
  }
  if (!Ready()) {
    HandleError("FTP component not ready");
    return;
  }
  request_type_ = RqType;
  request_result_ = 0;
  sequence_.Start(Steps);
  last_response_.clear();
  error_message_.clear();
  NextSequenceStep();
}

void TCustomFtpCli::NextSequenceStep() {
  if (stage_ == TStage::Aborting) {
    sequence_.Abort();
    error_message_ = kAborted;
  }
  bool keep_resume = true;
  TFtpStep s = sequence_.TakeNext(last_response_, status_code_, settings_.host_dir_name.empty(), keep_resume);
  if (!keep_resume) settings_.resume_at = 0;
  if (s != stNone) {
    StartStep(s);
    return;
  }
  request_done_flag_ = false;
  TriggerRequestDone(static_cast<Word>(sequence_.Result()));
}

// Runs one step. A usage error of the step ends the sequence with a report
// (error 500, the message in ErrorMessage) instead of leaving it pending.
void TCustomFtpCli::StartStep(TFtpStep s) {
  int errors_before = usage_errors_;
  std::string failure;
  auto alive = lifetime_.Token();
  TOperation operation = kStepOperations[s];
  try {
    (this->*operation)();
  } catch (const FtpException& e) {
    failure = e.Message();
  }
  if (!alive) return;
  if (failure.empty() && usage_errors_ != errors_before) failure = last_usage_error_;
  if (failure.empty()) return;
  sequence_.Stop();
  error_message_ = failure;
  request_result_ = 500;
  request_done_flag_ = false;
  TriggerRequestDone(500);
}

// ---- One-command operations -----------------------------------------------------

void TCustomFtpCli::User() { Exec(ftp_commands::kUser); }
void TCustomFtpCli::Pass() { Exec(ftp_commands::kPass); }
void TCustomFtpCli::Cwd() { Exec(ftp_commands::kCwd); }
void TCustomFtpCli::CDup() { Exec(ftp_commands::kCDup); }
void TCustomFtpCli::Pwd() { Exec(ftp_commands::kPwd); }
void TCustomFtpCli::Mkd() { Exec(ftp_commands::kMkd); }
void TCustomFtpCli::Rmd() { Exec(ftp_commands::kRmd); }
void TCustomFtpCli::Dele() { Exec(ftp_commands::kDele); }
void TCustomFtpCli::RenFrom() { Exec(ftp_commands::kRenFrom); }
void TCustomFtpCli::RenTo() { Exec(ftp_commands::kRenTo); }
void TCustomFtpCli::Syst() { Exec(ftp_commands::kSyst); }
void TCustomFtpCli::Size() { Exec(ftp_commands::kSize); }
void TCustomFtpCli::Mdtm() { Exec(ftp_commands::kMdtm); }
void TCustomFtpCli::TypeSet() { Exec(ftp_commands::kTypeSet); }
void TCustomFtpCli::Quote() { Exec(ftp_commands::kQuote); }
void TCustomFtpCli::Abor() { Exec(ftp_commands::kAbor); }
void TCustomFtpCli::Quit() { Exec(ftp_commands::kQuit); }

void TCustomFtpCli::TypeBinary() {
  SetBinary(true);
  TypeSet();
}

void TCustomFtpCli::TypeAscii() {
  SetBinary(false);
  TypeSet();
}

void TCustomFtpCli::Abort() {
  auto alive = lifetime_.Token();
  bool was_lookup = stage_ == TStage::DnsLookup;
  if (!SetStage(TStage::Aborting)) return;
  transfer_.CloseFile();
  if (was_lookup) control_->CancelDnsLookup();
  if (!alive) return;
  if (control_->State() != wsClosed) control_->Close();
  if (!alive) return;
  if (data_->State() != wsClosed) data_->Close();
  if (!alive) return;
  transfer_.CloseFile();
  logged_connected_ = false;
  watchdog_.Stop();
  SetStage(TStage::Ready);
}

// A time limit passed: ends everything as Abort does, and reports the
// pending request with the timeout's error number and reason.
void TCustomFtpCli::TimedOut(TTimeoutKind Kind) {
  auto alive = lifetime_.Token();
  bool pending = !request_done_flag_;
  timed_out_ = Kind;
  if (!TriggerDisplay("! " + watchdog_.ReasonText(Kind))) return;
  Abort();
  if (!alive || !pending || request_done_flag_) return;
  // Nothing reported it (a name lookup that was cancelled): report it here.
  SetTimedOut(Kind);
  sequence_.Stop();
  TriggerRequestDone(static_cast<Word>(request_result_));
}

void TCustomFtpCli::LimitExceeded() {
  auto alive = lifetime_.Token();
  bool pending = !request_done_flag_;
  limit_passed_ = true;
  if (!TriggerDisplay("! More than " + std::to_string(settings_.download_limit) +
                      " bytes received: transfer stopped"))
    return;
  // The server's final reply is not awaited: whatever it says, the file is
  // not the one it announced.
  Abort();
  if (!alive || !pending || request_done_flag_) return;
  SetFailure(552, "552 More than " + std::to_string(settings_.download_limit) + " bytes received.");
  sequence_.Stop();
  TriggerRequestDone(552);
}

// ---- Sequences ------------------------------------------------------------------

namespace {
constexpr TFtpSequencer::TSteps B(TFtpStep step) { return TFtpSequencer::Bit(step); }
constexpr TFtpSequencer::TSteps kLogin = B(stConnect) | B(stUser) | B(stPass);
constexpr TFtpSequencer::TSteps kLoginCwd = kLogin | B(stCwd);
constexpr TFtpSequencer::TSteps kLoginPort = kLoginCwd | B(stType) | B(stPort);  // before a transfer
}  // namespace

void TCustomFtpCli::Open() { HighLevelAsync(ftpRqOpen, kLogin); }
void TCustomFtpCli::Receive() { HighLevelAsync(ftpRqReceive, kLoginPort | B(stRetr) | B(stQuit)); }
void TCustomFtpCli::RestartReceive() {
  HighLevelAsync(ftpRqRestartReceive, kLoginPort | B(stRest) | B(stRetr) | B(stQuit));
}
void TCustomFtpCli::Get() { HighLevelAsync(ftpRqGet, B(stPort) | B(stRetr)); }
void TCustomFtpCli::RestartGet() { HighLevelAsync(ftpRqRestartGet, B(stPort) | B(stRest) | B(stRetr)); }
void TCustomFtpCli::Transmit() { HighLevelAsync(ftpRqTransmit, kLoginPort | B(stStor) | B(stQuit)); }
void TCustomFtpCli::RestartTransmit() {
  HighLevelAsync(ftpRqRestartTransmit, kLoginPort | B(stRest) | B(stStor) | B(stQuit));
}
void TCustomFtpCli::AppendFile() { HighLevelAsync(ftpRqTransmit, kLoginPort | B(stAppe) | B(stQuit)); }
void TCustomFtpCli::Put() { HighLevelAsync(ftpRqPut, B(stPort) | B(stStor)); }
void TCustomFtpCli::RestartPut() { HighLevelAsync(ftpRqRestartPut, B(stPort) | B(stRest) | B(stStor)); }
void TCustomFtpCli::Append() { HighLevelAsync(ftpRqAppend, B(stPort) | B(stAppe)); }
void TCustomFtpCli::Dir() { HighLevelAsync(ftpRqDir, B(stPort) | B(stList)); }
void TCustomFtpCli::Ls() { HighLevelAsync(ftpRqLs, B(stPort) | B(stNlst)); }
void TCustomFtpCli::Directory() { HighLevelAsync(ftpRqDirectory, kLoginCwd | B(stPort) | B(stList) | B(stQuit)); }
void TCustomFtpCli::List() { HighLevelAsync(ftpRqList, kLoginCwd | B(stPort) | B(stNlst) | B(stQuit)); }
void TCustomFtpCli::System() { HighLevelAsync(ftpRqSystem, kLogin | B(stSyst) | B(stQuit)); }
void TCustomFtpCli::FileSize() { HighLevelAsync(ftpRqSize, kLoginCwd | B(stSize) | B(stQuit)); }
void TCustomFtpCli::Mkdir() { HighLevelAsync(ftpRqMkdir, kLoginCwd | B(stMkd) | B(stQuit)); }
void TCustomFtpCli::Rmdir() { HighLevelAsync(ftpRqRmdir, kLoginCwd | B(stRmd) | B(stQuit)); }
void TCustomFtpCli::Delete() { HighLevelAsync(ftpRqDelete, kLoginCwd | B(stDele) | B(stQuit)); }
void TCustomFtpCli::Rename() { HighLevelAsync(ftpRqRename, B(stRnfr) | B(stRnto)); }
void TCustomFtpCli::RenameFile() { HighLevelAsync(ftpRqRenameFile, kLoginCwd | B(stRnfr) | B(stRnto) | B(stQuit)); }
void TCustomFtpCli::DoQuote() { HighLevelAsync(ftpRqDoQuote, kLoginCwd | B(stQuote) | B(stQuit)); }

}  // namespace quillon
