// TCustomFtpCli: the data connection. DataPort (PORT / PASV), Rest, the
// downloads (RETR, LIST, NLST) into the local file or to OnDisplayFile, the
// uploads (STOR, APPE), progress and the join of the final transfer reply
// with the close of the data connection.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/strings.h"
#include "net/ftp/ftp_cli.h"
#include "net/ftp/ftp_commands.h"
#include "platform/event_loop.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {


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

constexpr const char* kNoDataConnection = "Unable to establish data connection";

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

bool FtpParseEpsvReply(const std::string& Line, int& PortNumber) {
  size_t open = Line.find('(');
  if (open == std::string::npos || Line.size() < open + 6) return false;
  const char d = Line[open + 1];
  if (d < '!' || d > '~' || (d >= '0' && d <= '9') || Line[open + 2] != d || Line[open + 3] != d) return false;
  size_t end = Line.find(d, open + 4);
  if (end == std::string::npos || end == open + 4 || end > open + 9 || end + 1 >= Line.size() || Line[end + 1] != ')')
    return false;
  int port = 0;
  for (size_t i = open + 4; i < end; ++i) {
    if (Line[i] < '0' || Line[i] > '9') return false;
    port = port * 10 + (Line[i] - '0');
  }
  if (port < 1 || port > 65535) return false;
  PortNumber = port;
  return true;
}

std::string FtpEprtCommand(const std::string& LocalAddr, int PortNumber) {
  const char* family = LocalAddr.find(':') != std::string::npos ? "2" : "1";
  return Format("EPRT |%s|%s|%d|", family, LocalAddr.c_str(), PortNumber);
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

void TCustomFtpCli::CloseDataSocket() {
  if (data_->State() != wsClosed) data_->Close();
}

// Ends the current transfer request with a failure.
void TCustomFtpCli::DataFailed(int Code, const std::string& Response) {
  auto alive = lifetime_.Token();
  SetFailure(Code, Response);
  CloseDataSocket();
  if (!alive) return;
  transfer_.CloseFile();
  request_result_ = Code;
  TriggerRequestDone(static_cast<Word>(Code));
}

// Ends an upload that never started: the local file cannot be read, or the
// application cancelled.
void TCustomFtpCli::LocalFailure(const std::string& Reason) {
  error_message_ = "426 " + Reason;
  status_code_ = 426;
  if (!TriggerDisplay("! " + error_message_)) return;
  CloseDataSocket();
  request_result_ = 426;
  TriggerRequestDone(426);
}

bool TCustomFtpCli::Progress() {
  bool abort = false;
  return FireEvent(lifetime_, OnProgress, this, transfer_.bytes + settings_.resume_at, abort) && !abort;
}

// Fires the progress event; true when the transfer is to stop (its local
// file and data connection are closed then) or the client is gone.
bool TCustomFtpCli::StopRequested() {
  auto alive = lifetime_.Token();
  if (Progress() || !alive) return !alive;
  if (!TriggerDisplay("! Abort requested")) return true;
  transfer_.CloseFile();
  CloseDataSocket();
  return true;
}

void TCustomFtpCli::TransferStats() {
  uint32_t elapsed = platform::GetTickCount() - transfer_.start_time;
  std::string note = "! " + std::to_string(transfer_.bytes) + " bytes received/sent in " +
                     std::to_string(elapsed / 1000) + " seconds";
  if (elapsed != 0) note += " (" + std::to_string(FtpTransferRate(transfer_.bytes, elapsed)) + " Bytes/sec)";
  static_cast<void>(TriggerDisplay(note));
}

// ---- DataPort and Rest ------------------------------------------------------------

void TCustomFtpCli::DataPort() {
  if (!CheckReady()) return;
  auto alive = lifetime_.Token();
  CloseDataSocket();
  ForgetHandlers(*data_);
  passive_failed_ = false;
  int listen_port = 0;
  try {
    data_->SetProto("tcp");
    data_->SetAddr(IsIPv6Literal(dns_result_) ? "::" : "0.0.0.0");
    data_->SetPort("0");
    if (!settings_.passive) {
      if (sequence_.Pending(TFtpSequencer::Bit(stRetr) | TFtpSequencer::Bit(stList) | TFtpSequencer::Bit(stNlst)))
        data_->OnSessionAvailable = [this](TCustomWSocket*, Word e) { DownloadAccepted(e); };
      else if (sequence_.Pending(TFtpSequencer::Bit(stStor) | TFtpSequencer::Bit(stAppe)))
        data_->OnSessionAvailable = [this](TCustomWSocket*, Word e) { UploadAccepted(e); };
      data_->SetLingerOnOff(wsLingerOn);
      data_->SetLingerTimeout(10);
      data_->Listen();
      TSockAddr sin{};
      int len = sizeof sin;
      if (data_->State() != wsListening || data_->GetSockName(sin, len) != 0)
        throw ESocketException("Unable to listen for a data connection");
      listen_port = AddressPort(sin);
    }
  } catch (const std::exception& e) {
    if (!alive) return;
    sequence_.SetCurrent(stPort);
    BeginRequest(ftpRqPort);
    DataFailed(550, "550 " + ExceptionClassName(e) + ": " + e.what());
    return;
  }
  TSockAddr local{};
  int local_len = sizeof local;
  control_->GetSockName(local, local_len);
  uint32_t local_v4 =
      local.ss_family == AF_INET ? ntohl(reinterpret_cast<const sockaddr_in&>(local).sin_addr.s_addr) : 0;
  std::string plain = settings_.passive ? "PASV" : FtpPortCommand(dns_result_, local_v4, listen_port);
  std::string cmd = plain;
  plain_data_command_.clear();
  if (IsIPv6Literal(dns_result_)) {
    cmd = settings_.passive ? "EPSV" : FtpEprtCommand(AddressText(local), listen_port);
  } else if (!extended_refused_) {
    cmd = settings_.passive ? "EPSV" : FtpEprtCommand(AddressText(local), listen_port);
    plain_data_command_ = plain;  // sent when the server does not know cmd
  }
  transfer_.bytes = 0;
  sequence_.SetCurrent(stPort);
  ExecAsync(ftp_commands::kPort, cmd);
}

void TCustomFtpCli::Rest() {
  if (!CheckReady(false)) return;
  sequence_.SetCurrent(stRest);
  if (request_type_ != ftpRqRestartPut && request_type_ != ftpRqRestartTransmit &&
      !settings_.options.Contains(ftpNoAutoResumeAt)) {
    struct stat st;
    bool file = ::stat(settings_.local_file_name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    settings_.resume_at = file ? st.st_size : -1;
  }
  if (settings_.resume_at > 0) {
    ExecAsync(ftp_commands::kRest, "REST " + std::to_string(settings_.resume_at));
    return;
  }
  // Nothing to restart from: done at once.
  BeginRequest(ftpRqRest);
  TriggerRequestDone(0);
}

// ---- Transfers ------------------------------------------------------------------

void TCustomFtpCli::ExecGet() { ExecDownload(ftpRqGet, "RETR", stRetr); }
void TCustomFtpCli::ExecDir() { ExecDownload(ftpRqDir, "LIST", stList); }
void TCustomFtpCli::ExecLs() { ExecDownload(ftpRqLs, "NLST", stNlst); }
void TCustomFtpCli::ExecPut() { ExecUpload(false); }
void TCustomFtpCli::ExecAppend() { ExecUpload(true); }

void TCustomFtpCli::ExecDownload(TFtpRequest RqType, const char* DataCmd, TFtpStep s) {
  if (!logged_connected_) {
    HandleError(std::string(DataCmd) + ": not connected");
    return;
  }
  if (RefusedArgument(DataCmd, settings_.host_file_name)) return;
  if (settings_.local_file_name.empty() && !settings_.display_file) {
    HandleError("LocalFileName empty");
    return;
  }
  sequence_.SetCurrent(s);
  BeginRequest(RqType);
  transfer_.Begin(false);
  limit_passed_ = false;
  data_connect_error_ = 0;
  transfer_.ClearWriteError();
  transfer_.start_time = platform::GetTickCount();
  error_message_.clear();
  data_->OnSessionAvailable = [this](TCustomWSocket*, Word e) { DownloadAccepted(e); };
  if (!settings_.display_file && !transfer_.OpenDownload(settings_.local_stream, settings_.local_file_name,
                                                         settings_.resume_at, settings_.share_flags)) {
    DataFailed(550, "Unable to open local file " + settings_.local_file_name);
    return;
  }
  if (settings_.passive && !StartPassiveConnect(550)) return;
  std::string cmd = DataCmd;
  SendAndAwait(TStage::DownloadStart, settings_.host_file_name.empty() ? cmd : cmd + " " + settings_.host_file_name);
}

void TCustomFtpCli::ExecUpload(bool AppendFlag) {
  if (!logged_connected_) {
    HandleError("STOR/APPE: not connected");
    return;
  }
  if (settings_.local_file_name.empty()) {
    HandleError("LocalFileName empty");
    return;
  }
  if (RefusedArgument(AppendFlag ? "APPE" : "STOR", settings_.host_file_name)) return;
  sequence_.SetCurrent(AppendFlag ? stAppe : stStor);
  BeginRequest(AppendFlag ? ftpRqAppend : ftpRqPut);
  transfer_.Begin(true);
  transfer_.append = AppendFlag;
  transfer_.start_time = 0;
  error_message_.clear();
  bool cancel = false;
  if (!TriggerReadyToTransmit(cancel)) return;
  if (cancel) {
    LocalFailure("Transmit cancelled by application");
    return;
  }
  data_->OnSessionAvailable = [this](TCustomWSocket*, Word e) { UploadAccepted(e); };
  if (!transfer_.OpenUpload(settings_.local_file_name, settings_.resume_at, settings_.share_flags)) {
    LocalFailure("Unable to open local file " + settings_.local_file_name);
    return;
  }
  // In passive mode STOR / APPE goes out once the data connection is
  // established.
  if (settings_.passive) {
    StartPassiveConnect(426);
    return;
  }
  SendAndAwait(TStage::UploadStart, (AppendFlag ? "APPE " : "STOR ") + settings_.host_file_name);
}

// Connects the data socket for a passive transfer to the control
// connection's peer, on the port of the stored 227 reply. False when the
// request has been reported failed, or a handler destroyed the client.
bool TCustomFtpCli::StartPassiveConnect(int FailCode) {
  std::string reply_addr;
  int port = 0;
  const bool extended = FtpReplyCode(transfer_.pasv_response) == 229;
  if (extended ? !FtpParseEpsvReply(transfer_.pasv_response, port)
               : !FtpParsePasvReply(transfer_.pasv_response, reply_addr, port)) {
    passive_failed_ = true;
    DataFailed(550, kNoDataConnection);
    return false;
  }
  if (extended) reply_addr = dns_result_;  // an extended reply names no address
  if (reply_addr != dns_result_ &&
      !TriggerDisplay("! Passive reply names " + reply_addr + "; connecting to " + dns_result_))
    return false;
  try {
    CloseDataSocket();
    data_->SetPort(std::to_string(port));
    data_->SetAddr(dns_result_);
    data_->SetLocalAddr(settings_.local_addr);
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
  bool upload = transfer_.upload;
  data_->OnSessionClosed = [this](TCustomWSocket*, Word e) { TransferClosed(e); };
  data_->OnDataAvailable = nullptr;
  if (!upload) data_->OnDataAvailable = [this](TCustomWSocket*, Word e) { DataAvailableReceive(e); };
  data_->OnDataSent = nullptr;
  if (upload) transfer_.upload_ready = true;
  transfer_.start_time = platform::GetTickCount();
  if (Error != 0) {
    data_connect_error_ = Error;
    passive_failed_ = true;
    DataFailed(550, std::string(kNoDataConnection) + ", error #" + std::to_string(Error));
    return;
  }
  if (upload) SendAndAwait(TStage::UploadStart, (transfer_.append ? "APPE " : "STOR ") + settings_.host_file_name);
}

// Active mode: a caller on the listening port. Only the server (the
// control connection's peer) may connect; anybody else is turned away and
// the wait goes on. False when no data connection was taken.
bool TCustomFtpCli::AcceptDataConnection(bool Upload) {
  auto alive = lifetime_.Token();
  TSocket h = INVALID_SOCKET;
  try {
    h = data_->Accept();
  } catch (const std::exception&) {
    h = INVALID_SOCKET;
  }
  if (!alive) return false;
  if (h == INVALID_SOCKET) {
    if (data_->State() == wsListening && data_->LastError() == platform::WSAEWOULDBLOCK) return false;  // nobody
    DataFailed(550, kNoDataConnection);
    return false;
  }
  TSockAddr peer{};
  socklen_t len = sizeof peer;
  std::string caller = ::getpeername(h, reinterpret_cast<sockaddr*>(&peer), &len) == 0 ? AddressText(peer) : "";
  if (caller != dns_result_) {
    ::close(h);
    static_cast<void>(
        TriggerDisplay("! Data connection from " + (caller.empty() ? std::string("unknown") : caller) + " refused"));
    return false;
  }
  data_->Close();  // the listening socket; its close has no handler now
  if (!alive) return false;
  data_->OnSessionClosed = [this](TCustomWSocket*, Word e) { TransferClosed(e); };
  if (Upload) {
    data_->OnDataAvailable = [this](TCustomWSocket*, Word e) { UploadDiscard(e); };
    data_->OnDataSent = [this](TCustomWSocket*, Word e) { UploadSendData(e); };
    data_->SetLingerOnOff(wsLingerOff);
    data_->SetLingerTimeout(10);
  } else {
    data_->OnDataAvailable = [this](TCustomWSocket*, Word e) { DataAvailableReceive(e); };
    data_->OnDataSent = nullptr;
  }
  try {
    data_->Dup(h);
  } catch (const std::exception&) {
    if (!alive) return false;
    ::close(h);
    DataFailed(550, kNoDataConnection);
    return false;
  }
  if (!alive) return false;
  data_->SetComponentOptions({wsoNoReceiveLoop});
  return true;
}

void TCustomFtpCli::DownloadAccepted(Word) {
  if (AcceptDataConnection(false)) transfer_.start_time = platform::GetTickCount();
}

void TCustomFtpCli::UploadAccepted(Word) {
  if (!AcceptDataConnection(true)) return;
  transfer_.upload_ready = true;
  if (UploadAnswered() && transfer_.start_time == 0) target_.Post(WM_FTP_SENDDATA, 0, 0);
}

// The first reply to RETR, LIST, NLST, STOR or APPE: the data may flow.
void TCustomFtpCli::TransferStartReply() {
  bool upload = transfer_.upload;
  if (status_code_ == 125 || status_code_ == 150 || (!upload && status_code_ > 150 && status_code_ <= 159)) {
    if (!SetStage(upload ? TStage::UploadEnd : TStage::DownloadEnd) || !upload) return;
    if (settings_.passive) {
      data_->OnDataSent = [this](TCustomWSocket*, Word e) { UploadSendData(e); };
      UploadSendData(0);
    } else if (transfer_.upload_ready && transfer_.start_time == 0) {
      target_.Post(WM_FTP_SENDDATA, 0, 0);
    }
    return;
  }
  settings_.resume_at = 0;
  DataFailed(status_code_, last_response_);
}

// The final reply of a transfer; the request is reported once the data
// connection has closed too.
void TCustomFtpCli::TransferEndReply() {
  auto alive = lifetime_.Token();
  bool upload = transfer_.upload;
  // A download stopped at StopAt takes the 4xx of a cut transfer as its end.
  const bool cut = !upload && transfer_.stopped && status_code_ >= 400 && status_code_ <= 499;
  if (status_code_ == 226 || status_code_ == 250 || (!upload && status_code_ == 125) || cut) {
    if (!SetStage(TStage::Answered)) return;
    TransferJoin();
    return;
  }
  if (error_message_.empty()) error_message_ = last_response_;
  transfer_.CloseFile();
  CloseDataSocket();
  if (!alive) return;
  if (!TriggerDisplay(upload ? "! STOR Failed" : "! RETR/LIST/NLST Failed")) return;
  request_result_ = status_code_;
  TriggerRequestDone(static_cast<Word>(status_code_));
}

// One block per event: a large read, written to the file in one call.
void TCustomFtpCli::DataAvailableReceive(Word) {
  auto alive = lifetime_.Token();
  watchdog_.Activity();
  if (StopRequested()) return;
  int space = 0;
  char* buf = transfer_.ReceiveSpace(space);
  int n = data_->Receive(buf, space);
  if (n == 0) return;
  if (n < 0) {
    int err = data_->LastError();
    if (data_->State() == wsConnected && err != platform::WSAEWOULDBLOCK) {
      if (!TriggerDisplay("! Data: Receive error " + std::to_string(err))) return;
      data_->Shutdown(2);
    }
    return;
  }
  if (!transfer_.WriteError().empty()) return;  // the rest is not wanted any more
  // Nothing past the limit reaches the file.
  int keep = n;
  const int64_t room = settings_.download_limit - settings_.resume_at - transfer_.bytes;
  if (settings_.download_limit >= 0 && n > room) keep = static_cast<int>(room < 0 ? 0 : room);
  // A download that ends on purpose at StopAt keeps the bytes up to it.
  const int64_t wanted = settings_.stop_at - settings_.resume_at - transfer_.bytes;
  const bool stop = settings_.stop_at >= 0 && keep >= wanted;
  if (stop) keep = static_cast<int>(wanted < 0 ? 0 : wanted);
  transfer_.bytes += keep;
  if (!transfer_.Write(buf, keep)) {
    // The download fails with the system's reason, whatever the server
    // answers afterwards.
    if (!TriggerDisplay("! Error writing local file: " + transfer_.WriteError())) return;
    data_->Shutdown(2);
    return;
  }
  if (settings_.display_file) DisplayLines(buf, keep);
  if (!alive) return;
  if (stop) {
    // The server's reply to the cut transfer ends the request
    // (TransferEndReply); the control connection stays.
    transfer_.stopped = true;
    if (!TriggerDisplay("! " + std::to_string(settings_.stop_at) + " bytes reached: data connection closed")) return;
    CloseDataSocket();
    return;
  }
  if (keep < n) LimitExceeded();
}

// Every run of CR and LF separates two lines; only the first line of a
// block may be empty.
void TCustomFtpCli::DisplayLines(const char* Data, int Len) {
  int start = 0;
  while (true) {
    int end = start;
    while (end < Len && Data[end] != '\r' && Data[end] != '\n') ++end;
    if (end == Len) {
      if (start < Len)
        static_cast<void>(TriggerDisplayFile(std::string(Data + start, static_cast<size_t>(Len - start))));
      return;
    }
    if (!TriggerDisplayFile(std::string(Data + start, static_cast<size_t>(end - start)))) return;
    while (end < Len && (Data[end] == '\r' || Data[end] == '\n')) ++end;
    if (end == Len) return;
    start = end;
  }
}

void TCustomFtpCli::TransferClosed(Word Error) {
  transfer_.CloseFile();
  transfer_.data_closed = true;
  transfer_.close_error = Error;
  TransferJoin();
}

// The final reply and the close of the data connection may come in either
// order: the request is reported after both. A request already reported (a
// failure closed the data socket) keeps its result.
void TCustomFtpCli::TransferJoin() {
  if (stage_ != TStage::Answered || !transfer_.data_closed || request_done_flag_) return;
  auto alive = lifetime_.Token();
  TransferStats();
  if (!alive) return;
  settings_.resume_at = 0;
  request_result_ = transfer_.close_error;
  if (!transfer_.WriteError().empty()) {
    request_result_ = 550;
    status_code_ = 550;
    error_message_ = "550 cannot write the file: " + transfer_.WriteError();
  }
  TriggerRequestDone(static_cast<Word>(request_result_));
}

void TCustomFtpCli::UploadSendData(Word Error) {
  if (!transfer_.FileOpen()) return;
  if (StopRequested()) return;
  watchdog_.Activity();
  if (Error != 0) {
    if (!TriggerDisplay("! Error #" + std::to_string(Error) + " sending data")) return;
    CloseDataSocket();
    return;
  }
  if (transfer_.eof || !UploadAnswered() || !transfer_.upload_ready) return;
  int64_t n = transfer_.ReadBlock();
  if (n < 0) {
    if (!TriggerDisplay("! Error reading file")) return;
    CloseDataSocket();
    return;
  }
  if (n > 0) {
    transfer_.bytes += n;
    data_->Send(transfer_.Buffer(), static_cast<int>(n));
    return;
  }
  // Everything is with the network: close once the event loop comes back.
  transfer_.eof = true;
  data_->CloseLater();
}

void TCustomFtpCli::UploadDiscard(Word) {
  char discard[2048];
  data_->Receive(discard, sizeof discard);
}

}  // namespace quillon
