// TCustomFtpCli: object, properties, control connection, command engine,
// sequencer, Quit and Abort. The data connection is in ftp_data.cpp.
#include "net/ftp/ftp_cli.h"

#include <cstring>

#include "base/strings.h"
#include "platform/event_loop.h"

namespace quillon {

namespace {

// The steps of a sequence are started in this order.
constexpr int kStepOrder[] = {1, 2, 3, 4, 20, 18, 23, 19, 10, 17, 22, 11, 21, 13, 6, 7, 8, 9, 5, 14, 15, 24, 16, 12};

std::string SocketFailureText(Word Error) {
  return SocketErrorText(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

}  // namespace

std::string ExceptionClassName(const std::exception& E) {
  if (dynamic_cast<const ESocketException*>(&E)) return "ESocketException";
  if (dynamic_cast<const FtpException*>(&E)) return "FtpException";
  if (dynamic_cast<const EFCreateError*>(&E)) return "EFCreateError";
  if (dynamic_cast<const EFOpenError*>(&E)) return "EFOpenError";
  if (dynamic_cast<const EStreamError*>(&E)) return "EStreamError";
  return "Exception";
}

int FtpReplyCode(const std::string& Line) {
  size_t i = 0;
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  bool negative = false;
  if (i < Line.size() && (Line[i] == '+' || Line[i] == '-')) negative = Line[i++] == '-';
  int64_t value = 0;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') {
    value = value * 10 + (Line[i++] - '0');
    if (value > 1000000) break;  // no reply code is that long
  }
  // Codes outside 100-599 ("000", "65536") are no replies at all: a failure.
  if (negative || value < 100 || value > 599) return 500;
  return static_cast<int>(value);
}

bool FtpReplyIsFinal(const std::string& Line) {
  if (Line.empty() || Line[0] < '0' || Line[0] > '9') return false;
  size_t i = 0;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') ++i;
  return i >= Line.size() || Line[i] != '-';
}

int64_t FtpSizeFromReply(const std::string& Line) {
  size_t i = 0;
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') ++i;  // the code
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  int64_t value = 0;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') {
    if (value > (INT64_MAX - 9) / 10) return 0;  // not a size we can hold
    value = value * 10 + (Line[i++] - '0');
  }
  return value;
}

std::string FtpDirFromReply(const std::string& Line) {
  size_t i = 0;
  while (i < Line.size() && Line[i] >= '0' && Line[i] <= '9') ++i;  // the code
  while (i < Line.size() && IsWhiteSpace(Line[i])) ++i;
  if (i >= Line.size() || Line[i] != '"') return "";
  std::string dir;
  for (++i; i < Line.size(); ++i) {
    if (Line[i] == '"') {
      if (i + 1 < Line.size() && Line[i + 1] == '"') {
        dir += '"';
        ++i;
        continue;
      }
      break;
    }
    dir += Line[i];
  }
  return dir;
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
  alive_.reset();
  local_stream_.reset();
  // The sockets fire nothing while they are destroyed; forget the handlers
  // anyway, so that nothing can reach a half-destroyed client.
  for (TWSocket* s : {data_.get(), control_.get()}) {
    s->OnDnsLookupDone = nullptr;
    s->OnSessionConnected = nullptr;
    s->OnSessionClosed = nullptr;
    s->OnDataAvailable = nullptr;
    s->OnDataSent = nullptr;
    s->OnSessionAvailable = nullptr;
  }
  data_.reset();
  control_.reset();
}

TFtpShareMode TCustomFtpCli::ShareMode() const {
  switch (share_flags_) {
    case fmShareCompat: return ftpShareCompat;
    case fmShareDenyWrite: return ftpShareDenyWrite;
    case fmShareDenyRead: return ftpShareDenyRead;
    case fmShareDenyNone: return ftpShareDenyNone;
    default: return ftpShareExclusive;
  }
}

void TCustomFtpCli::SetShareMode(TFtpShareMode Value) {
  switch (Value) {
    case ftpShareCompat: share_flags_ = fmShareCompat; break;
    case ftpShareDenyWrite: share_flags_ = fmShareDenyWrite; break;
    case ftpShareDenyRead: share_flags_ = fmShareDenyRead; break;
    case ftpShareDenyNone: share_flags_ = fmShareDenyNone; break;
    default: share_flags_ = fmShareExclusive; break;
  }
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
      connection_type_ = Value;
      passive_ = true;
      break;
    default: connection_type_ = ftpDirect; break;
  }
}

// The sockets forget their SOCKS settings at every close: they are applied
// before each connect.
void TCustomFtpCli::ApplySocks(TWSocket& Socket) {
  if (connection_type_ != ftpSocks4 && connection_type_ != ftpSocks4A && connection_type_ != ftpSocks5) {
    Socket.SetSocksServer("");
    Socket.SetSocksAuthentication(socksNoAuthentication);
    return;
  }
  Socket.SetSocksServer(socks_server_);
  Socket.SetSocksPort(socks_port_);
  Socket.SetSocksLevel(connection_type_ == ftpSocks4 ? "4" : connection_type_ == ftpSocks4A ? "4A" : "5");
  Socket.SetSocksUsercode(socks_user_code_);
  Socket.SetSocksPassword(socks_password_);
  // A SOCKS 5 server that asks for no authentication refuses a client that
  // offers only user-name authentication: offer it only with a user code.
  Socket.SetSocksAuthentication(socks_user_code_.empty() ? socksNoAuthentication : socksAuthenticateUsercode);
}

bool TCustomFtpCli::Connected() const { return control_->State() != wsClosed; }

void TCustomFtpCli::SetPassive(bool Value) {
  if (connection_type_ == ftpDirect) passive_ = Value;
}

void TCustomFtpCli::SetState(TFtpState Value) {
  if (state_ == Value) return;
  state_ = Value;
  if (OnStateChange) {
    TFtpNotifyEvent handler = OnStateChange;
    handler(this);
  }
}

// ---- Events -------------------------------------------------------------------

void TCustomFtpCli::TriggerDisplay(const std::string& Msg) {
  if (!OnDisplay) return;
  std::string m = Msg;
  TFtpDisplay handler = OnDisplay;
  handler(this, m);
}

void TCustomFtpCli::TriggerDisplayFile(const std::string& Msg) {
  if (!OnDisplayFile) return;
  std::string m = Msg;
  TFtpDisplay handler = OnDisplayFile;
  handler(this, m);
}

void TCustomFtpCli::TriggerReadyToTransmit(bool& bCancel) {
  if (OnReadyToTransmit) {
    TFtpReadyToTransmit handler = OnReadyToTransmit;
    handler(this, bCancel);
  }
}

void TCustomFtpCli::TriggerError(const std::string& Msg) {
  std::string m = Msg;
  TFtpDisplay handler = OnError;
  handler(this, m);
}

void TCustomFtpCli::HandleError(const std::string& Msg) {
  ++usage_errors_;
  last_usage_error_ = Msg;
  if (OnError) {
    TriggerError(Msg);
    return;
  }
  throw FtpException(Msg);
}

void TCustomFtpCli::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  auto token = LifeToken();
  try {
    WndProc(msg, wParam, lParam);
  } catch (const std::exception& e) {
    if (!token.expired()) HandleBackgroundException(e);
  } catch (...) {
    if (!token.expired()) HandleBackgroundException(FtpException("Unknown exception"));
  }
}

void TCustomFtpCli::WndProc(uint32_t Msg, uintptr_t WParam, intptr_t) {
  switch (Msg) {
    case WM_FTP_REQUEST_DONE:
      if (OnRequestDone) {
        TFtpRequestDone handler = OnRequestDone;
        handler(this, request_type_, static_cast<Word>(WParam));
      }
      break;
    case WM_FTP_SENDDATA:
      start_time_ = platform::GetTickCount();
      UploadSendData(0);
      break;
    default: break;
  }
}

void TCustomFtpCli::HandleBackgroundException(const std::exception& E) {
  auto token = LifeToken();
  bool can_close = true;
  if (OnBgException) {
    TFtpBgException handler = OnBgException;
    try {
      handler(this, E, can_close);
    } catch (...) {
    }
  }
  if (token.expired()) return;
  // A request that the failing handler left running would never be
  // reported: abort it, so that it ends with a report.
  if (can_close && (!request_done_flag_ || !Ready())) Abort();
}

// ---- Replies --------------------------------------------------------------------

void TCustomFtpCli::SetErrorMessage() {
  if (error_message_.empty()) error_message_ = last_response_;
}

void TCustomFtpCli::ControlDataAvailable(Word Error) {
  watchdog_.Activity();
  int len = control_->Receive(rcv_buf_ + rcv_cnt_, kReplyBufferSize - 1 - rcv_cnt_);
  if (len == 0) {
    // The server ended the connection, or a reply line does not fit.
    control_->Close();
    return;
  }
  if (len < 0) return;
  rcv_cnt_ += len;
  rcv_buf_[rcv_cnt_] = 0;
  auto token = LifeToken();
  while (rcv_cnt_ > 0) {
    int line_len = -1, consumed = 0;
    if (options_.Contains(ftpAcceptLF)) {
      const void* lf = std::memchr(rcv_buf_, '\n', static_cast<size_t>(rcv_cnt_));
      if (lf) {
        line_len = static_cast<int>(static_cast<const char*>(lf) - rcv_buf_);
        consumed = line_len + 1;
      }
    } else {
      for (int i = 0; i + 1 < rcv_cnt_; ++i) {
        if (rcv_buf_[i] == '\r' && rcv_buf_[i + 1] == '\n') {
          line_len = i;
          consumed = i + 2;
          break;
        }
      }
    }
    if (line_len < 0) break;
    while (line_len > 0 && (rcv_buf_[line_len - 1] == '\r' || rcv_buf_[line_len - 1] == '\n')) --line_len;
    last_response_.assign(rcv_buf_, static_cast<size_t>(line_len));
    std::memmove(rcv_buf_, rcv_buf_ + consumed, static_cast<size_t>(rcv_cnt_ - consumed));
    rcv_cnt_ -= consumed;
    rcv_buf_[rcv_cnt_] = 0;
    if (!last_response_.empty() && last_response_[0] >= '0' && last_response_[0] <= '9')
      status_code_ = FtpReplyCode(last_response_);
    if (OnResponse) {
      TFtpNotifyEvent handler = OnResponse;
      handler(this);
      if (token.expired()) return;
    }
    if (!HandleReplyLine(Error)) return;
    if (token.expired()) return;
  }
}

// False when the rest of the buffer is to stay unprocessed.
bool TCustomFtpCli::HandleReplyLine(Word Error) {
  auto token = LifeToken();
  switch (state_) {
    case ftpWaitingBanner:
      TriggerDisplay("< " + last_response_);
      if (token.expired()) return false;
      if (!FtpReplyIsFinal(last_response_)) return true;
      status_code_ = FtpReplyCode(last_response_);
      if (status_code_ == 220) {
        SetState(ftpConnected);
        if (OnSessionConnected) {
          TFtpSessionEvent handler = OnSessionConnected;
          handler(this, Error);
          if (token.expired()) return false;
        }
        TriggerRequestDone(0);
        return true;
      }
      SetErrorMessage();
      request_result_ = status_code_;
      control_->Close();
      return false;
    case ftpWaitingResponse:
      if (!FtpReplyIsFinal(last_response_)) {
        TriggerDisplay("< " + last_response_);
        return true;
      }
      if (!next_) {
        HandleError("Program error: FNext is nil");
        return true;
      }
      (this->*next_)();
      return true;
    default:
      TriggerDisplay("< " + last_response_);
      return true;
  }
}

// The standard reply handler: judges the final line against the accepted
// codes.
void TCustomFtpCli::NextExecAsync() {
  auto token = LifeToken();
  TriggerDisplay("< " + last_response_);
  if (token.expired()) return;
  if (!FtpReplyIsFinal(last_response_)) return;
  status_code_ = FtpReplyCode(last_response_);
  awaiting_reply_ = false;
  bool ok = false;
  if (ok_responses_[0] == 0) {
    ok = status_code_ < 500;
  } else {
    for (int i = 0; i < 16 && ok_responses_[i] != 0; ++i) {
      if (ok_responses_[i] == status_code_) {
        ok = true;
        break;
      }
    }
  }
  if (ok) {
    request_result_ = 0;
  } else {
    request_result_ = status_code_;
    SetErrorMessage();
  }
  if (passive_ && status_code_ == 227) {
    SetState(ftpPasvReady);
    pasv_response_ = last_response_;
  }
  if (ok) {
    if (fct_prv_ == stSize) size_result_ = FtpSizeFromReply(last_response_);
    if (fct_prv_ == stCwd || fct_prv_ == stMkd || fct_prv_ == stPwd || fct_prv_ == stCdup)
      dir_result_ = FtpDirFromReply(last_response_);
  }
  if (done_async_)
    (this->*done_async_)();
  else
    TriggerRequestDone(static_cast<Word>(request_result_));
}

// ---- Command engine -------------------------------------------------------------

bool TCustomFtpCli::CheckReady() {
  // Between the PASV step and the next step of a sequence the client is
  // ready too (REST follows PASV in RestartGet).
  if (!Ready() && !(high_level_flag_ && state_ == ftpPasvReady)) {
    HandleError("FTP component not ready");
    return false;
  }
  if (!logged_connected_) {
    HandleError("FTP component not connected");
    return false;
  }
  return true;
}

void TCustomFtpCli::ExecAsync(TFtpRequest RqType, const std::string& Cmd, std::initializer_list<int> OkResponses,
                              Handler DoneAsync) {
  if (Cmd != "ABOR" && Cmd != "STAT" && Cmd != "QUIT" && !CheckReady()) return;
  if (!high_level_flag_) request_type_ = RqType;
  int n = 0;
  for (int code : OkResponses) {
    if (n >= 16) break;
    ok_responses_[n++] = code;
  }
  ok_responses_[n] = 0;
  request_done_flag_ = false;
  request_result_ = 0;
  next_ = &TCustomFtpCli::NextExecAsync;
  done_async_ = DoneAsync;
  error_message_.clear();
  awaiting_reply_ = true;
  SetState(ftpWaitingResponse);
  auto token = LifeToken();
  SendCommand(Cmd);
  if (token.expired()) return;
  // ABOR, STAT and QUIT may be issued without a control connection: no
  // reply can come, so the request ends here instead of staying pending.
  // QUIT has what it wants then.
  if (control_->State() != wsConnected && awaiting_reply_ && !request_done_flag_) {
    awaiting_reply_ = false;
    if (Cmd == "QUIT") {
      request_result_ = 0;
    } else {
      last_response_ = "500 Control connection closed.";
      status_code_ = 500;
      request_result_ = 500;
      SetErrorMessage();
    }
    TriggerRequestDone(static_cast<Word>(request_result_));
  }
}

void TCustomFtpCli::SendCommand(const std::string& Cmd) {
  std::string cmd = Cmd;
  auto token = LifeToken();
  if (OnCommand) {
    TFtpCommand handler = OnCommand;
    handler(this, cmd);
    if (token.expired()) return;
  }
  TriggerDisplay("> " + cmd);
  if (token.expired()) return;
  if (control_->State() != wsConnected) return;
  // A command waits for its reply: silence is measured from here.
  if (watchdog_.Phase() != TTimeoutKind::Connect) watchdog_.StartIdle();
  control_->SendString(cmd + "\r\n");
}

void TCustomFtpCli::TriggerRequestDone(Word Error) {
  if (request_done_flag_) return;
  request_done_flag_ = true;
  awaiting_reply_ = false;
  if (Error == 0 && next_request_) {
    if (state_ != ftpAborting && state_ != ftpPasvReady) SetState(ftpBetweenSteps);
    (this->*next_request_)();
    return;
  }
  auto token = LifeToken();
  SetState(ftpReady);
  if (token.expired()) return;
  if (data_->State() != wsClosed) CloseDataSocket();
  if (high_level_flag_ && saved_status_code_ != -1) {
    last_response_ = saved_last_response_;
    status_code_ = saved_status_code_;
  }
  high_level_flag_ = false;
  next_request_ = nullptr;
  watchdog_.Stop();  // nothing is awaited until the next request
  target_.Post(WM_FTP_REQUEST_DONE, Error, 0);
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
  if (!high_level_flag_) request_type_ = ftpRqConnect;
  request_done_flag_ = false;
  rcv_cnt_ = 0;
  request_result_ = 0;
  dns_result_.clear();
  timed_out_ = TTimeoutKind::None;
  watchdog_.StartConnect();
  SetState(ftpDnsLookup);
  control_->DnsLookup(connection_type_ == ftpProxy ? proxy_server_ : host_name_);
}

void TCustomFtpCli::ControlDnsLookupDone(Word Error) {
  if (state_ == ftpAborting) {
    request_result_ = 426;
    error_message_ = "426 Operation aborted.";
    TriggerRequestDone(426);
    return;
  }
  if (Error != 0) {
    last_response_ = "500 " + SocketFailureText(Error);
    status_code_ = 500;
    request_result_ = 500;
    SetErrorMessage();
    TriggerRequestDone(Error);
    return;
  }
  dns_result_ = control_->DnsResult();
  try {
    control_->SetAddr(dns_result_);
    control_->SetLocalAddr(local_addr_);
    control_->SetProto("tcp");
    control_->SetPort(connection_type_ == ftpProxy && !proxy_port_.empty() ? proxy_port_ : port_);
    ApplySocks(*control_);
    SetState(ftpWaitingBanner);
    control_->Connect();
  } catch (const std::exception& e) {
    last_response_ = "500 " + ExceptionClassName(e) + ": " + e.what();
    status_code_ = 500;
    request_result_ = 500;
    SetErrorMessage();
    TriggerRequestDone(500);
  }
}

void TCustomFtpCli::ControlSessionConnected(Word Error) {
  if (Error == 0) {
    logged_connected_ = true;
    watchdog_.StartIdle();  // the greeting is awaited like any reply
    return;
  }
  auto token = LifeToken();
  last_response_ = "500 " + SocketFailureText(Error);
  status_code_ = 500;
  request_result_ = 500;
  SetErrorMessage();
  next_request_ = nullptr;
  TriggerRequestDone(Error);
  if (token.expired()) return;
  if (control_->State() != wsClosed) control_->Close();
  if (token.expired()) return;
  SetState(ftpReady);
}

void TCustomFtpCli::ControlSessionClosed(Word Error) {
  auto token = LifeToken();
  bool pending = !request_done_flag_;
  bool reply_pending = awaiting_reply_ || state_ == ftpWaitingBanner;
  if (logged_connected_) {
    logged_connected_ = false;
    if (state_ != ftpAborting) SetState(ftpNotConnected);
    if (OnSessionClosed) {
      TFtpSessionEvent handler = OnSessionClosed;
      handler(this, Error);
      if (token.expired()) return;
    }
  }
  bool aborting = state_ == ftpAborting;
  // The final reply of a download came and its data is still arriving: the
  // join with the data connection's close reports the request.
  bool data_pending = pending && !aborting && transfer_reply_done_ && !download_closed_ &&
                      (fct_prv_ == stRetr || fct_prv_ == stList || fct_prv_ == stNlst) &&
                      data_->State() != wsClosed;
  if (!aborting) SetState(ftpBetweenSteps);
  if (data_pending) return;
  if (pending) {
    if (aborting && timed_out_ != TTimeoutKind::None) {
      request_result_ = watchdog_.ErrorNumber(timed_out_);
      last_response_ = "500 " + watchdog_.ReasonText(timed_out_);
      status_code_ = 500;
      error_message_ = last_response_;
    } else if (aborting) {
      // Abort ends whatever was pending as a failure, never as success.
      request_result_ = 426;
      error_message_ = "426 Operation aborted.";
    } else if (Error != 0) {
      last_response_ = "500 Control connection closed. " + SocketFailureText(Error);
      status_code_ = 500;
      request_result_ = 500;
      SetErrorMessage();
    } else if (reply_pending && request_result_ == 0) {
      // The server hung up before answering: that is no success.
      last_response_ = "500 Control connection closed.";
      status_code_ = 500;
      request_result_ = 500;
      SetErrorMessage();
    }
  }
  TriggerRequestDone(static_cast<Word>(request_result_));
}

// ---- Sequencer ------------------------------------------------------------------

void TCustomFtpCli::HighLevelAsync(TFtpRequest RqType, uint32_t Steps) {
  if (logged_connected_ && (Steps & Bit(stConnect))) {
    HandleError("FTP component already connected");
    return;
  }
  if (!Ready()) {
    HandleError("FTP component not ready");
    return;
  }
  saved_status_code_ = -1;
  request_type_ = RqType;
  request_result_ = 0;
  fct_set_ = Steps;
  fct_prv_ = stNone;
  high_level_result_ = 0;
  high_level_flag_ = true;
  last_response_.clear();
  error_message_.clear();
  NextSequenceStep();
}

void TCustomFtpCli::NextSequenceStep() {
  if (state_ == ftpAborting) {
    fct_set_ = 0;
    high_level_result_ = 426;
    error_message_ = "426 Operation aborted.";
  }
  next_request_ = &TCustomFtpCli::NextSequenceStep;
  for (int code : kStepOrder) {
    Step s = static_cast<Step>(code);
    if (!(fct_set_ & Bit(s))) continue;
    fct_set_ &= ~Bit(s);
    if (s == stPass && fct_prv_ == stUser && status_code_ != 331) continue;
    if (s == stCwd && host_dir_name_.empty()) continue;
    if ((s == stRetr || s == stStor || s == stAppe) && !(fct_prv_ == stRest && status_code_ == 350)) resume_at_ = 0;
    if (s == stQuit) {
      saved_last_response_ = last_response_;
      saved_status_code_ = status_code_;
    }
    StartStep(s);
    return;
  }
  next_request_ = nullptr;
  request_done_flag_ = false;
  TriggerRequestDone(static_cast<Word>(high_level_result_));
}

// Runs one step. A usage error of the step ends the sequence with a report
// (error 500, the message in ErrorMessage) instead of leaving it pending.
void TCustomFtpCli::StartStep(Step s) {
  int errors_before = usage_errors_;
  std::string failure;
  auto token = LifeToken();
  try {
    switch (s) {
      case stConnect: Connect(); break;
      case stUser: User(); break;
      case stPass: Pass(); break;
      case stCwd: Cwd(); break;
      case stCdup: CDup(); break;
      case stType: TypeSet(); break;
      case stPort: DataPort(); break;
      case stRest: Rest(); break;
      case stRetr: ExecGet(); break;
      case stStor: ExecPut(); break;
      case stAppe: ExecAppend(); break;
      case stList: ExecDir(); break;
      case stNlst: ExecLs(); break;
      case stSyst: Syst(); break;
      case stMkd: Mkd(); break;
      case stRmd: Rmd(); break;
      case stRnfr: RenFrom(); break;
      case stRnto: RenTo(); break;
      case stSize: Size(); break;
      case stDele: Dele(); break;
      case stPwd: Pwd(); break;
      case stAbor: Abor(); break;
      case stQuote: Quote(); break;
      case stQuit: Quit(); break;
      default: break;
    }
  } catch (const FtpException& e) {
    failure = e.Message();
  }
  if (token.expired()) return;
  if (failure.empty() && usage_errors_ != errors_before) failure = last_usage_error_;
  if (failure.empty()) return;
  next_request_ = nullptr;
  error_message_ = failure;
  request_result_ = 500;
  request_done_flag_ = false;
  TriggerRequestDone(500);
}

// ---- One-command operations -----------------------------------------------------

void TCustomFtpCli::User() {
  if (user_name_.empty()) {
    HandleError("UserName emtpy");
    return;
  }
  fct_prv_ = stUser;
  std::string cmd = "USER " + user_name_;
  if (connection_type_ == ftpProxy) {
    cmd += "@" + host_name_;
    if (!SameText(port_, "ftp") && port_ != "21") cmd += ":" + port_;
  }
  ExecAsync(ftpRqUser, cmd, {331, 230}, nullptr);
}

void TCustomFtpCli::Pass() {
  if (pass_word_.empty()) {
    HandleError("Password emtpy");
    return;
  }
  fct_prv_ = stPass;
  ExecAsync(ftpRqPass, "PASS " + pass_word_, {230}, nullptr);
}

void TCustomFtpCli::Cwd() {
  if (host_dir_name_.empty()) {
    HandleError("HostDirName emtpy");
    return;
  }
  fct_prv_ = stCwd;
  ExecAsync(ftpRqCwd, "CWD " + host_dir_name_, {200, 250, 257}, nullptr);
}

void TCustomFtpCli::CDup() {
  fct_prv_ = stCdup;
  ExecAsync(ftpRqCDup, "CDUP", {250, 257}, nullptr);
}

void TCustomFtpCli::Pwd() {
  fct_prv_ = stPwd;
  ExecAsync(ftpRqPwd, "PWD", {250, 257}, nullptr);
}

void TCustomFtpCli::Mkd() {
  fct_prv_ = stMkd;
  ExecAsync(ftpRqMkd, "MKD " + host_file_name_, {250, 257}, nullptr);
}

void TCustomFtpCli::Rmd() {
  fct_prv_ = stRmd;
  ExecAsync(ftpRqRmd, "RMD " + host_file_name_, {250, 257}, nullptr);
}

void TCustomFtpCli::Dele() {
  fct_prv_ = stDele;
  ExecAsync(ftpRqDele, "DELE " + host_file_name_, {250, 257}, nullptr);
}

void TCustomFtpCli::RenFrom() {
  fct_prv_ = stRnfr;
  ExecAsync(ftpRqRenFrom, "RNFR " + host_file_name_, {350}, nullptr);
}

void TCustomFtpCli::RenTo() {
  fct_prv_ = stRnto;
  ExecAsync(ftpRqRenTo, "RNTO " + local_file_name_, {200, 250, 257}, nullptr);
}

void TCustomFtpCli::Syst() {
  fct_prv_ = stSyst;
  ExecAsync(ftpRqSyst, "SYST", {215}, nullptr);
}

void TCustomFtpCli::Size() {
  fct_prv_ = stSize;
  size_result_ = 0;
  ExecAsync(ftpRqSize, "SIZE " + host_file_name_, {213}, nullptr);
}

void TCustomFtpCli::TypeSet() {
  fct_prv_ = stType;
  ExecAsync(ftpRqTypeSet, std::string("TYPE ") + type_, {200}, nullptr);
}

void TCustomFtpCli::TypeBinary() {
  SetBinary(true);
  TypeSet();
}

void TCustomFtpCli::TypeAscii() {
  SetBinary(false);
  TypeSet();
}

void TCustomFtpCli::Quote() {
  fct_prv_ = stQuote;
  ExecAsync(ftpRqQuote, local_file_name_, {}, nullptr);
}

void TCustomFtpCli::Abor() {
  fct_prv_ = stAbor;
  ExecAsync(ftpRqAbor, "ABOR", {}, nullptr);
}

void TCustomFtpCli::Quit() {
  CloseLocalFile();
  fct_prv_ = stQuit;
  ExecAsync(ftpRqQuit, "QUIT", {221}, &TCustomFtpCli::DoneQuitAsync);
}

// After the 221: the close of the control connection reports the request.
void TCustomFtpCli::DoneQuitAsync() { control_->Close(); }

void TCustomFtpCli::Abort() {
  auto token = LifeToken();
  bool was_lookup = state_ == ftpDnsLookup;
  SetState(ftpAborting);
  if (token.expired()) return;
  CloseLocalFile();
  if (was_lookup) control_->CancelDnsLookup();
  if (token.expired()) return;
  if (control_->State() != wsClosed) control_->Close();
  if (token.expired()) return;
  if (data_->State() != wsClosed) data_->Close();
  if (token.expired()) return;
  CloseLocalFile();
  logged_connected_ = false;
  watchdog_.Stop();
  SetState(ftpReady);
}

// A time limit passed: ends everything as Abort does, and reports the
// pending request with the timeout's error number and reason.
void TCustomFtpCli::TimedOut(TTimeoutKind Kind) {
  auto token = LifeToken();
  bool pending = !request_done_flag_;
  timed_out_ = Kind;
  TriggerDisplay("! " + watchdog_.ReasonText(Kind));
  if (token.expired()) return;
  Abort();
  if (token.expired() || !pending || request_done_flag_) return;
  // Nothing reported it (a name lookup that was cancelled): report it here.
  request_result_ = watchdog_.ErrorNumber(Kind);
  last_response_ = "500 " + watchdog_.ReasonText(Kind);
  status_code_ = 500;
  error_message_ = last_response_;
  next_request_ = nullptr;
  TriggerRequestDone(static_cast<Word>(request_result_));
}

// ---- Sequences ------------------------------------------------------------------

namespace {
constexpr uint32_t B(int step) { return 1u << step; }
constexpr uint32_t kLogin = B(1) | B(2) | B(3);  // connect, USER, PASS
}  // namespace

void TCustomFtpCli::Open() { HighLevelAsync(ftpRqOpen, kLogin); }
void TCustomFtpCli::Receive() {
  HighLevelAsync(ftpRqReceive, kLogin | B(stCwd) | B(stType) | B(stPort) | B(stRetr) | B(stQuit));
}
void TCustomFtpCli::RestartReceive() {
  HighLevelAsync(ftpRqRestartReceive,
                 kLogin | B(stCwd) | B(stType) | B(stPort) | B(stRest) | B(stRetr) | B(stQuit));
}
void TCustomFtpCli::Get() { HighLevelAsync(ftpRqGet, B(stPort) | B(stRetr)); }
void TCustomFtpCli::RestartGet() { HighLevelAsync(ftpRqRestartGet, B(stPort) | B(stRest) | B(stRetr)); }
void TCustomFtpCli::Transmit() {
  HighLevelAsync(ftpRqTransmit, kLogin | B(stCwd) | B(stType) | B(stPort) | B(stStor) | B(stQuit));
}
void TCustomFtpCli::RestartTransmit() {
  HighLevelAsync(ftpRqRestartTransmit,
                 kLogin | B(stCwd) | B(stType) | B(stPort) | B(stRest) | B(stStor) | B(stQuit));
}
void TCustomFtpCli::AppendFile() {
  HighLevelAsync(ftpRqTransmit, kLogin | B(stCwd) | B(stType) | B(stPort) | B(stAppe) | B(stQuit));
}
void TCustomFtpCli::Put() { HighLevelAsync(ftpRqPut, B(stPort) | B(stStor)); }
void TCustomFtpCli::RestartPut() { HighLevelAsync(ftpRqRestartPut, B(stPort) | B(stRest) | B(stStor)); }
void TCustomFtpCli::Append() { HighLevelAsync(ftpRqAppend, B(stPort) | B(stAppe)); }
void TCustomFtpCli::Dir() { HighLevelAsync(ftpRqDir, B(stPort) | B(stList)); }
void TCustomFtpCli::Ls() { HighLevelAsync(ftpRqLs, B(stPort) | B(stNlst)); }
void TCustomFtpCli::Directory() {
  HighLevelAsync(ftpRqDirectory, kLogin | B(stCwd) | B(stPort) | B(stList) | B(stQuit));
}
void TCustomFtpCli::List() { HighLevelAsync(ftpRqList, kLogin | B(stCwd) | B(stPort) | B(stNlst) | B(stQuit)); }
void TCustomFtpCli::System() { HighLevelAsync(ftpRqSystem, kLogin | B(stSyst) | B(stQuit)); }
void TCustomFtpCli::FileSize() { HighLevelAsync(ftpRqSize, kLogin | B(stCwd) | B(stSize) | B(stQuit)); }
void TCustomFtpCli::Mkdir() { HighLevelAsync(ftpRqMkdir, kLogin | B(stCwd) | B(stMkd) | B(stQuit)); }
void TCustomFtpCli::Rmdir() { HighLevelAsync(ftpRqRmdir, kLogin | B(stCwd) | B(stRmd) | B(stQuit)); }
void TCustomFtpCli::Delete() { HighLevelAsync(ftpRqDelete, kLogin | B(stCwd) | B(stDele) | B(stQuit)); }
void TCustomFtpCli::Rename() { HighLevelAsync(ftpRqRename, B(stRnfr) | B(stRnto)); }
void TCustomFtpCli::RenameFile() {
  HighLevelAsync(ftpRqRenameFile, kLogin | B(stCwd) | B(stRnfr) | B(stRnto) | B(stQuit));
}
void TCustomFtpCli::DoQuote() { HighLevelAsync(ftpRqDoQuote, kLogin | B(stCwd) | B(stQuote) | B(stQuit)); }

}  // namespace quillon
