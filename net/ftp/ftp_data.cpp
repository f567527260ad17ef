// TCustomFtpCli: the data connection. DataPort (PORT / PASV), Rest, the
// downloads (RETR, LIST, NLST) into the local file or to OnDisplayFile, the
// uploads (STOR, APPE), progress and the join of the final transfer reply
// with the close of the data connection.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/strings.h"
#include "net/ftp/ftp_cli.h"
#include "platform/event_loop.h"

namespace quillon {

namespace {

// Downloads read this much per data event and write it to the file in one
// call; uploads read this much from the file per send.
constexpr int kDataBlock = 256 * 1024;

std::string DottedAddress(const sockaddr_in& sin) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
  return text;
}

bool ParseByte(std::string_view field, int& value) {
  field = TrimWS(field);
  if (field.empty() || field.size() > 3) return false;
  value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= 255;
}

}  // namespace

bool FtpParsePasvReply(const std::string& Line, std::string& Addr, int& PortNumber) {
  size_t open = Line.find('(');
  if (open == std::string::npos) return false;
  size_t close = Line.find(')', open);
  std::string_view inside(Line.data() + open + 1, (close == std::string::npos ? Line.size() : close) - open - 1);
  int numbers[6];
  for (int i = 0; i < 6; ++i) {
    size_t comma = inside.find(',');
    if ((comma == std::string_view::npos) != (i == 5)) return false;
    if (!ParseByte(inside.substr(0, comma), numbers[i])) return false;
    if (i < 5) inside.remove_prefix(comma + 1);
  }
  Addr = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) + "." +
         std::to_string(numbers[3]);
  PortNumber = (numbers[4] * 256 + numbers[5]) % 65536;
  return true;
}

std::string FtpPortCommand(const std::string& ServerAddr, uint32_t LocalAddr, int PortNumber) {
  int hi = (PortNumber >> 8) & 255, lo = PortNumber & 255;
  if (ServerAddr == "127.0.0.1") return Format("PORT 127,0,0,1,%d,%d", hi, lo);
  return Format("PORT %u,%u,%u,%u,%d,%d", (LocalAddr >> 24) & 255, (LocalAddr >> 16) & 255, (LocalAddr >> 8) & 255,
                LocalAddr & 255, hi, lo);
}

int64_t FtpTransferRate(int64_t Bytes, uint32_t Ms) {
  if (Ms == 0) return 0;
  return Bytes <= 32767 ? Bytes * 1000 / Ms : (Bytes / Ms) * 1000;
}

// ---- Helpers -------------------------------------------------------------------

void TCustomFtpCli::CloseLocalFile() {
  download_target_ = nullptr;
  local_stream_.reset();
}

void TCustomFtpCli::CloseDataSocket() {
  if (data_->State() != wsClosed) data_->Close();
}

// Ends the current transfer request with a failure.
void TCustomFtpCli::DataFailed(int Code, const std::string& Response) {
  auto token = LifeToken();
  last_response_ = Response;
  status_code_ = Code;
  SetErrorMessage();
  CloseDataSocket();
  if (token.expired()) return;
  CloseLocalFile();
  request_result_ = Code;
  TriggerRequestDone(static_cast<Word>(Code));
}

bool TCustomFtpCli::Progress() {
  bool abort = false;
  if (OnProgress) {
    TFtpProgress handler = OnProgress;
    handler(this, byte_count_ + resume_at_, abort);
  }
  return !abort;
}

void TCustomFtpCli::TransferStats() {
  stop_time_ = platform::GetTickCount();
  uint32_t elapsed = stop_time_ - start_time_;
  std::string note = "! " + std::to_string(byte_count_) + " bytes received/sent in " +
                     std::to_string(elapsed / 1000) + " seconds";
  if (elapsed != 0) note += " (" + std::to_string(FtpTransferRate(byte_count_, elapsed)) + " Bytes/sec)";
  TriggerDisplay(note);
}

// ---- DataPort and Rest ------------------------------------------------------------

void TCustomFtpCli::DataPort() {
  if (!CheckReady()) return;
  auto token = LifeToken();
  CloseDataSocket();
  data_->OnSessionAvailable = nullptr;
  data_->OnSessionClosed = nullptr;
  data_->OnDataAvailable = nullptr;
  data_->OnDataSent = nullptr;
  int listen_port = 0;
  try {
    data_->SetProto("tcp");
    data_->SetAddr("0.0.0.0");
    data_->SetPort("0");
    if (!passive_) {
      if (fct_set_ & (Bit(stRetr) | Bit(stList) | Bit(stNlst)))
        data_->OnSessionAvailable = [this](TCustomWSocket*, Word e) { DownloadAccepted(e); };
      else if (fct_set_ & (Bit(stStor) | Bit(stAppe)))
        data_->OnSessionAvailable = [this](TCustomWSocket*, Word e) { UploadAccepted(e); };
      data_->SetLingerOnOff(wsLingerOn);
      data_->SetLingerTimeout(10);
      data_->Listen();
      sockaddr_in sin{};
      int len = sizeof sin;
      if (data_->State() != wsListening || data_->GetSockName(sin, len) != 0)
        throw ESocketException("Unable to listen for a data connection");
      listen_port = ntohs(sin.sin_port);
    }
  } catch (const std::exception& e) {
    if (token.expired()) return;
    fct_prv_ = stPort;
    if (!high_level_flag_) request_type_ = ftpRqPort;
    request_done_flag_ = false;
    DataFailed(550, "550 " + ExceptionClassName(e) + ": " + e.what());
    return;
  }
  sockaddr_in local{};
  int local_len = sizeof local;
  control_->GetSockName(local, local_len);
  std::string cmd = passive_ ? "PASV" : FtpPortCommand(dns_result_, ntohl(local.sin_addr.s_addr), listen_port);
  byte_count_ = 0;
  fct_prv_ = stPort;
  ExecAsync(ftpRqPort, cmd, {200, 227}, nullptr);
}

void TCustomFtpCli::Rest() {
  if (!Ready() && !(high_level_flag_ && state_ == ftpPasvReady)) {
    HandleError("FTP component not ready");
    return;
  }
  fct_prv_ = stRest;
  if (request_type_ != ftpRqRestartPut && request_type_ != ftpRqRestartTransmit &&
      !options_.Contains(ftpNoAutoResumeAt)) {
    struct stat st;
    resume_at_ = ::stat(local_file_name_.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
  }
  if (resume_at_ > 0) {
    ExecAsync(ftpRqRest, "REST " + std::to_string(resume_at_), {}, nullptr);
    return;
  }
  // Nothing to restart from: done at once.
  if (!high_level_flag_) request_type_ = ftpRqRest;
  request_done_flag_ = false;
  request_result_ = 0;
  next_ = &TCustomFtpCli::NextExecAsync;
  done_async_ = nullptr;
  TriggerRequestDone(0);
}

// ---- Downloads ------------------------------------------------------------------

void TCustomFtpCli::ExecGet() { ExecDownload(ftpRqGet, "RETR", stRetr); }
void TCustomFtpCli::ExecDir() { ExecDownload(ftpRqDir, "LIST", stList); }
void TCustomFtpCli::ExecLs() { ExecDownload(ftpRqLs, "NLST", stNlst); }

bool TCustomFtpCli::OpenLocalFileForDownload() {
  CloseLocalFile();
  if (external_stream_) {
    download_target_ = external_stream_;
    return true;
  }
  try {
    if (resume_at_ > 0) {
      local_stream_ = std::make_unique<TFileStream>(local_file_name_, fmOpenWrite | share_flags_);
      local_stream_->Seek(resume_at_, TSeekOrigin::soBeginning);
    } else {
      local_stream_ = std::make_unique<TFileStream>(local_file_name_, fmCreate);
      if (share_flags_ != fmShareCompat) {
        local_stream_.reset();
        local_stream_ = std::make_unique<TFileStream>(local_file_name_, fmOpenWrite | share_flags_);
      }
    }
  } catch (const std::exception&) {
    local_stream_.reset();
    return false;
  }
  download_target_ = local_stream_.get();
  return true;
}

// Connects the data socket for a passive transfer to the control
// connection's peer, on the port of the stored 227 reply. False when the
// request has been reported failed.
bool TCustomFtpCli::StartPassiveConnect(SessionHandler OnConnected, int FailCode) {
  std::string reply_addr;
  int port = 0;
  if (!FtpParsePasvReply(pasv_response_, reply_addr, port)) {
    DataFailed(550, "Unable to establish data connection");
    return false;
  }
  if (reply_addr != dns_result_)
    TriggerDisplay("! Passive reply names " + reply_addr + "; connecting to " + dns_result_);
  passive_connected_ = OnConnected;
  try {
    CloseDataSocket();
    data_->SetPort(std::to_string(port));
    data_->SetAddr(dns_result_);
    data_->SetLocalAddr(local_addr_);
    data_->OnSessionConnected = [this](TCustomWSocket*, Word e) { PassiveConnected(e); };
    data_->SetLingerOnOff(wsLingerOff);
    data_->SetLingerTimeout(0);
    data_->SetComponentOptions({wsoNoReceiveLoop});
    ApplySocks(*data_);
    data_->Connect();
  } catch (const std::exception& e) {
    DataFailed(FailCode, std::to_string(FailCode) + " " + ExceptionClassName(e) + ": " + e.what());
    return false;
  }
  return true;
}

void TCustomFtpCli::PassiveConnected(Word Error) {
  if (passive_connected_) (this->*passive_connected_)(Error);
}

void TCustomFtpCli::ExecDownload(TFtpRequest RqType, const char* DataCmd, Step s) {
  if (!logged_connected_) {
    HandleError(std::string(DataCmd) + ": not connected");
    return;
  }
  if (local_file_name_.empty() && !display_file_flag_) {
    HandleError("LocalFileName empty");
    return;
  }
  fct_prv_ = s;
  if (!high_level_flag_) request_type_ = RqType;
  data_command_ = DataCmd;
  transfer_reply_done_ = false;
  download_closed_ = false;
  request_done_flag_ = false;
  request_result_ = 0;
  byte_count_ = 0;
  data_close_error_ = 0;
  local_write_error_.clear();
  start_time_ = platform::GetTickCount();
  error_message_.clear();
  data_->OnSessionAvailable = [this](TCustomWSocket*, Word e) { DownloadAccepted(e); };
  if (!display_file_flag_ && !OpenLocalFileForDownload()) {
    DataFailed(550, "Unable to open local file " + local_file_name_);
    return;
  }
  if (!data_buffer_) data_buffer_.reset(new char[kDataBlock]);
  if (passive_ && !StartPassiveConnect(&TCustomFtpCli::PassiveDownloadConnected, 550)) return;
  SetState(ftpWaitingResponse);
  next_ = &TCustomFtpCli::DownloadFirstReply;
  awaiting_reply_ = true;
  SendCommand(host_file_name_.empty() ? data_command_ : data_command_ + " " + host_file_name_);
}

// Active mode: a caller on the listening port. Only the server (the
// control connection's peer) may connect; anybody else is turned away and
// the wait goes on. False when no data connection was taken.
bool TCustomFtpCli::AcceptDataConnection(bool Upload) {
  auto token = LifeToken();
  TSocket h = INVALID_SOCKET;
  try {
    h = data_->Accept();
  } catch (const std::exception&) {
    h = INVALID_SOCKET;
  }
  if (token.expired()) return false;
  if (h == INVALID_SOCKET) {
    if (data_->State() == wsListening && data_->LastError() == 10035) return false;  // nobody after all
    DataFailed(550, "Unable to establish data connection");
    return false;
  }
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  std::string caller = ::getpeername(h, reinterpret_cast<sockaddr*>(&peer), &len) == 0 ? DottedAddress(peer) : "";
  if (caller != dns_result_) {
    ::close(h);
    TriggerDisplay("! Data connection from " + (caller.empty() ? std::string("unknown") : caller) + " refused");
    return false;
  }
  data_->Close();  // the listening socket; its close has no handler now
  if (token.expired()) return false;
  if (Upload) {
    data_->OnSessionClosed = [this](TCustomWSocket*, Word e) { UploadClosed(e); };
    data_->OnDataAvailable = [this](TCustomWSocket*, Word e) { UploadDiscard(e); };
    data_->OnDataSent = [this](TCustomWSocket*, Word e) { UploadSendData(e); };
    data_->SetLingerOnOff(wsLingerOff);
    data_->SetLingerTimeout(10);
  } else {
    data_->OnSessionClosed = [this](TCustomWSocket*, Word e) { DownloadClosed(e); };
    data_->OnDataAvailable = [this](TCustomWSocket*, Word e) { DataAvailableReceive(e); };
    data_->OnDataSent = nullptr;
  }
  try {
    data_->Dup(h);
  } catch (const std::exception&) {
    if (token.expired()) return false;
    ::close(h);
    DataFailed(550, "Unable to establish data connection");
    return false;
  }
  if (token.expired()) return false;
  data_->SetComponentOptions({wsoNoReceiveLoop});
  return true;
}

void TCustomFtpCli::DownloadAccepted(Word) {
  if (AcceptDataConnection(false)) start_time_ = platform::GetTickCount();
}

void TCustomFtpCli::PassiveDownloadConnected(Word Error) {
  data_->OnSessionClosed = [this](TCustomWSocket*, Word e) { DownloadClosed(e); };
  data_->OnDataAvailable = [this](TCustomWSocket*, Word e) { DataAvailableReceive(e); };
  data_->OnDataSent = nullptr;
  start_time_ = platform::GetTickCount();
  if (Error != 0) DataFailed(550, "Unable to establish data connection, error #" + std::to_string(Error));
}

void TCustomFtpCli::DownloadFirstReply() {
  auto token = LifeToken();
  TriggerDisplay("< " + last_response_);
  if (token.expired()) return;
  status_code_ = FtpReplyCode(last_response_);
  if (status_code_ == 125 || (status_code_ >= 150 && status_code_ <= 159)) {
    next_ = &TCustomFtpCli::DownloadSecondReply;
    return;
  }
  next_ = nullptr;
  resume_at_ = 0;
  DataFailed(status_code_, last_response_);
}

void TCustomFtpCli::DownloadSecondReply() {
  auto token = LifeToken();
  TriggerDisplay("< " + last_response_);
  if (token.expired()) return;
  status_code_ = FtpReplyCode(last_response_);
  awaiting_reply_ = false;
  if (status_code_ == 125 || status_code_ == 226 || status_code_ == 250) {
    transfer_reply_done_ = true;
    DownloadJoin();
    return;
  }
  SetErrorMessage();
  CloseLocalFile();
  CloseDataSocket();
  if (token.expired()) return;
  TriggerDisplay("! RETR/LIST/NLST Failed");
  if (token.expired()) return;
  request_result_ = status_code_;
  TriggerRequestDone(static_cast<Word>(status_code_));
}

// One block per event: a large read, written to the file in one call.
void TCustomFtpCli::DataAvailableReceive(Word) {
  auto token = LifeToken();
  watchdog_.Activity();
  if (!Progress()) {
    if (token.expired()) return;
    TriggerDisplay("! Abort requested");
    if (token.expired()) return;
    CloseDataSocket();
    return;
  }
  if (token.expired()) return;
  char* buf = data_buffer_.get();
  int n = data_->Receive(buf, kDataBlock);
  if (n == 0) return;
  if (n < 0) {
    int err = data_->LastError();
    if (data_->State() == wsConnected && err != 10035) {
      TriggerDisplay("! Data: Receive error " + std::to_string(err));
      if (token.expired()) return;
      data_->Shutdown(2);
    }
    return;
  }
  if (!local_write_error_.empty()) return;  // the rest is not wanted any more
  byte_count_ += n;
  if (download_target_) {
    bool written = false;
    errno = 0;
    try {
      written = download_target_->Write(buf, n) == n;
    } catch (const std::exception&) {
    }
    if (!written) {
      // The download fails with the system's reason, whatever the server
      // answers afterwards.
      local_write_error_ = std::strerror(errno != 0 ? errno : EIO);
      CloseLocalFile();
      TriggerDisplay("! Error writing local file: " + local_write_error_);
      if (token.expired()) return;
      data_->Shutdown(2);
      return;
    }
  }
  if (display_file_flag_) DisplayLines(buf, n);
}

// Every run of CR and LF separates two lines; only the first line of a
// block may be empty.
void TCustomFtpCli::DisplayLines(const char* Data, int Len) {
  auto token = LifeToken();
  int start = 0;
  while (true) {
    int end = start;
    while (end < Len && Data[end] != '\r' && Data[end] != '\n') ++end;
    if (end == Len) {
      if (start < Len) TriggerDisplayFile(std::string(Data + start, static_cast<size_t>(Len - start)));
      return;
    }
    TriggerDisplayFile(std::string(Data + start, static_cast<size_t>(end - start)));
    if (token.expired()) return;
    while (end < Len && (Data[end] == '\r' || Data[end] == '\n')) ++end;
    if (end == Len) return;
    start = end;
  }
}

void TCustomFtpCli::DownloadClosed(Word Error) {
  CloseLocalFile();
  download_closed_ = true;
  data_close_error_ = Error;
  DownloadJoin();
}

// The final reply and the close of the data connection may come in either
// order: the request is reported after both. A request already reported (a
// failure closed the data socket) keeps its result.
void TCustomFtpCli::TransferJoin(bool data_closed) {
  if (!transfer_reply_done_ || !data_closed || request_done_flag_) return;
  auto token = LifeToken();
  TransferStats();
  if (token.expired()) return;
  resume_at_ = 0;
  request_result_ = data_close_error_;
  if (!local_write_error_.empty()) {
    request_result_ = 550;
    status_code_ = 550;
    error_message_ = "550 cannot write the file: " + local_write_error_;
  }
  TriggerRequestDone(static_cast<Word>(request_result_));
}

void TCustomFtpCli::DownloadJoin() { TransferJoin(download_closed_); }

// ---- Uploads --------------------------------------------------------------------

void TCustomFtpCli::ExecPut() { ExecUpload(false); }
void TCustomFtpCli::ExecAppend() { ExecUpload(true); }

void TCustomFtpCli::ExecUpload(bool AppendFlag) {
  if (!logged_connected_) {
    HandleError("STOR/APPE: not connected");
    return;
  }
  if (local_file_name_.empty()) {
    HandleError("LocalFileName empty");
    return;
  }
  auto token = LifeToken();
  fct_prv_ = AppendFlag ? stAppe : stStor;
  append_flag_ = AppendFlag;
  if (!high_level_flag_) request_type_ = AppendFlag ? ftpRqAppend : ftpRqPut;
  transfer_reply_done_ = false;
  upload_closed_ = false;
  request_done_flag_ = false;
  store_answer_ = false;
  upload_ready_ = false;
  request_result_ = 0;
  start_time_ = 0;
  byte_count_ = 0;
  data_close_error_ = 0;
  error_message_.clear();
  bool cancel = false;
  TriggerReadyToTransmit(cancel);
  if (token.expired()) return;
  if (cancel) {
    error_message_ = "426 Transmit cancelled by application";
    status_code_ = 426;
    TriggerDisplay("! " + error_message_);
    if (token.expired()) return;
    request_result_ = 426;
    TriggerRequestDone(426);
    return;
  }
  data_->OnSessionAvailable = [this](TCustomWSocket*, Word e) { UploadAccepted(e); };
  CloseLocalFile();
  try {
    local_stream_ = std::make_unique<TFileStream>(local_file_name_, fmOpenRead | share_flags_);
    if (resume_at_ > 0) local_stream_->Seek(resume_at_, TSeekOrigin::soBeginning);
  } catch (const std::exception&) {
    local_stream_.reset();
    error_message_ = "426 Unable to open local file " + local_file_name_;
    status_code_ = 426;
    TriggerDisplay("! " + error_message_);
    if (token.expired()) return;
    CloseDataSocket();
    request_result_ = 426;
    TriggerRequestDone(426);
    return;
  }
  eof_ = false;
  if (!data_buffer_) data_buffer_.reset(new char[kDataBlock]);
  if (passive_) {
    // STOR / APPE goes out once the data connection is established.
    StartPassiveConnect(&TCustomFtpCli::PassiveUploadConnected, 426);
    return;
  }
  SetState(ftpWaitingResponse);
  next_ = &TCustomFtpCli::UploadFirstReply;
  awaiting_reply_ = true;
  SendCommand((append_flag_ ? "APPE " : "STOR ") + host_file_name_);
}

void TCustomFtpCli::UploadAccepted(Word) {
  if (!AcceptDataConnection(true)) return;
  upload_ready_ = true;
  if (store_answer_ && start_time_ == 0) target_.Post(WM_FTP_SENDDATA, 0, 0);
}

void TCustomFtpCli::PassiveUploadConnected(Word Error) {
  data_->OnSessionClosed = [this](TCustomWSocket*, Word e) { UploadClosed(e); };
  data_->OnDataAvailable = nullptr;
  data_->OnDataSent = nullptr;
  upload_ready_ = true;
  start_time_ = platform::GetTickCount();
  if (Error != 0) {
    DataFailed(550, "Unable to establish data connection, error #" + std::to_string(Error));
    return;
  }
  SetState(ftpWaitingResponse);
  next_ = &TCustomFtpCli::UploadFirstReply;
  awaiting_reply_ = true;
  SendCommand((append_flag_ ? "APPE " : "STOR ") + host_file_name_);
}

void TCustomFtpCli::UploadFirstReply() {
  auto token = LifeToken();
  TriggerDisplay("< " + last_response_);
  if (token.expired()) return;
  status_code_ = FtpReplyCode(last_response_);
  if (status_code_ == 150 || status_code_ == 125) {
    store_answer_ = true;
    next_ = &TCustomFtpCli::UploadSecondReply;
    if (passive_) {
      data_->OnDataSent = [this](TCustomWSocket*, Word e) { UploadSendData(e); };
      UploadSendData(0);
    } else if (upload_ready_ && start_time_ == 0) {
      target_.Post(WM_FTP_SENDDATA, 0, 0);
    }
    return;
  }
  next_ = nullptr;
  resume_at_ = 0;
  DataFailed(status_code_, last_response_);
}

void TCustomFtpCli::UploadSendData(Word Error) {
  if (!local_stream_) return;
  auto token = LifeToken();
  if (!Progress()) {
    if (token.expired()) return;
    TriggerDisplay("! Abort requested");
    if (token.expired()) return;
    CloseLocalFile();
    CloseDataSocket();
    return;
  }
  if (token.expired()) return;
  watchdog_.Activity();
  if (Error != 0) {
    TriggerDisplay("! Error #" + std::to_string(Error) + " sending data");
    if (token.expired()) return;
    CloseDataSocket();
    return;
  }
  if (eof_ || !store_answer_ || !upload_ready_) return;
  int64_t n = -1;
  try {
    n = local_stream_->Read(data_buffer_.get(), kDataBlock);
  } catch (const std::exception&) {
    n = -1;
  }
  if (n < 0) {
    TriggerDisplay("! Error reading file");
    if (token.expired()) return;
    CloseDataSocket();
    return;
  }
  if (n > 0) {
    byte_count_ += n;
    data_->Send(data_buffer_.get(), static_cast<int>(n));
    return;
  }
  // Everything is with the network: close once the event loop comes back.
  eof_ = true;
  data_->CloseLater();
}

void TCustomFtpCli::UploadDiscard(Word) {
  char discard[2048];
  data_->Receive(discard, sizeof discard);
}

void TCustomFtpCli::UploadSecondReply() {
  auto token = LifeToken();
  TriggerDisplay("< " + last_response_);
  if (token.expired()) return;
  status_code_ = FtpReplyCode(last_response_);
  awaiting_reply_ = false;
  if (status_code_ == 226 || status_code_ == 250) {
    transfer_reply_done_ = true;
    UploadJoin();
    return;
  }
  SetErrorMessage();
  CloseLocalFile();
  CloseDataSocket();
  if (token.expired()) return;
  TriggerDisplay("! STOR Failed");
  if (token.expired()) return;
  request_result_ = status_code_;
  TriggerRequestDone(static_cast<Word>(status_code_));
}

void TCustomFtpCli::UploadClosed(Word Error) {
  CloseLocalFile();
  upload_closed_ = true;
  data_close_error_ = Error;
  UploadJoin();
}

void TCustomFtpCli::UploadJoin() { TransferJoin(upload_closed_); }

}  // namespace quillon
