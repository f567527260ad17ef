// TCustomFtpCli: an event-driven FTP client on two TWSocket connections, the
// control connection (commands and replies) and the data connection (file
// contents and listings). No operation waits: each starts a request and
// returns; the request ends with OnRequestDone(Sender, RqType, Error), which
// is always delivered later from the event loop, after State went back to
// ftpReady, so a handler may start the next operation or destroy the client.
//
// Operations work on the properties (HostName, UserName, HostFileName,
// LocalFileName ...). One-command operations (User, Pass, Cwd, Size ...) send
// one command; sequences (Open, Get, RestartGet, Receive, Put ...) chain
// steps and report once, with the sequence's request value, at the end. The
// first failing step ends a sequence; its remaining steps (QUIT included) are
// not run.
//
// Usage errors (an operation called in the wrong state, a required property
// empty) go to OnError when it is assigned, otherwise they raise FtpException;
// they never end in OnRequestDone, except when a step of a running sequence
// meets one: then the sequence's request is reported with error 500 and the
// message in ErrorMessage, so that a sequence never stays pending.
//
// Server refusals are reported with the reply code as the error; StatusCode,
// LastResponse and ErrorMessage (the first failing line of the request)
// describe them. Network failures are reported with a reply line the client
// composes, beginning with "500 ".
//
// Data connections: active mode (PORT) listens on an ephemeral port and
// accepts only a caller whose address is the control connection's peer
// address; passive mode (PASV) connects to the control connection's peer
// address and takes only the port from the 227 reply. A download reports
// only when both the final transfer reply and the close of the data
// connection have come, by which time the local file is closed.
//
// Trace through OnDisplay: "> " commands sent, "< " reply lines, "! " notes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "net/socket/sync_wsocket.h"
#include "net/socket/transfer_watchdog.h"
#include "platform/message_target.h"

namespace quillon {

class FtpException : public Exception {
 public:
  using Exception::Exception;
};

// The request that OnRequestDone names; the numbers are reported values.
enum TFtpRequest : uint8_t {
  ftpRqNone = 0,
  ftpRqConnect = 1,
  ftpRqUser = 2,
  ftpRqPass = 3,
  ftpRqCwd = 4,
  ftpRqOpen = 5,
  ftpRqReceive = 6,
  ftpRqDir = 7,
  ftpRqLs = 8,
  ftpRqPort = 9,
  ftpRqGet = 10,
  ftpRqDirectory = 11,
  ftpRqList = 12,
  ftpRqSystem = 13,
  ftpRqSyst = 14,
  ftpRqQuit = 15,
  ftpRqAbor = 16,
  ftpRqSize = 17,
  ftpRqPut = 18,
  ftpRqAppend = 19,
  ftpRqMkd = 22,
  ftpRqRmd = 23,
  ftpRqRenameFile = 24,
  ftpRqDele = 25,
  ftpRqRename = 26,
  ftpRqRenTo = 27,
  ftpRqRenFrom = 28,
  ftpRqDelete = 29,
  ftpRqMkdir = 30,
  ftpRqRmdir = 31,
  ftpRqPwd = 32,
  ftpRqQuote = 33,
  ftpRqCDup = 34,
  ftpRqDoQuote = 35,
  ftpRqTransmit = 36,
  ftpRqTypeSet = 37,
  ftpRqRest = 38,
  ftpRqRestartGet = 39,
  ftpRqRestartReceive = 40,
  ftpRqRestartPut = 41,
  ftpRqRestartTransmit = 42,
};

enum TFtpState : uint8_t {
  ftpNotConnected = 0,
  ftpReady = 1,
  ftpBetweenSteps = 2,
  ftpDnsLookup = 3,
  ftpConnected = 4,
  ftpAborting = 5,
  ftpWaitingBanner = 7,
  ftpWaitingResponse = 8,
  ftpPasvReady = 9,
};

enum TFtpOption { ftpAcceptLF = 0, ftpNoAutoResumeAt = 1 };

// A set of TFtpOption.
class TFtpOptions {
 public:
  TFtpOptions() = default;
  TFtpOptions(std::initializer_list<TFtpOption> options) {
    for (TFtpOption o : options) bits_ |= 1u << o;
  }
  bool Contains(TFtpOption o) const { return (bits_ >> o) & 1u; }
  bool operator==(const TFtpOptions&) const = default;

 private:
  unsigned bits_ = 0;
};

enum TFtpShareMode { ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone };
enum TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

// Reply parsing, shared by the client and its tests. A reply code is read
// after leading blanks; a code outside 100-599 (or signed) reads as 500, a
// failure. A line is final when it starts with a digit and the character
// after its number is not "-".
int FtpReplyCode(const std::string& Line);
bool FtpReplyIsFinal(const std::string& Line);
// The number after the code of a SIZE reply (0 when there is none).
int64_t FtpSizeFromReply(const std::string& Line);
// The quoted path after the code ("" unless it opens with a double quote; a
// doubled quote stands for one).
std::string FtpDirFromReply(const std::string& Line);
// The port of a 227 reply: the six numbers inside the parentheses. False
// without parentheses, with fewer than six numbers or with a field that is
// not a number from 0 to 255.
bool FtpParsePasvReply(const std::string& Line, std::string& Addr, int& PortNumber);
// The PORT command for a listening port: the loopback form when the server
// is 127.0.0.1, else the control connection's local address (host order).
std::string FtpPortCommand(const std::string& ServerAddr, uint32_t LocalAddr, int PortNumber);
// Bytes per second as the statistics note shows it (Ms > 0).
int64_t FtpTransferRate(int64_t Bytes, uint32_t Ms);
// The class name shown in messages about an exception.
std::string ExceptionClassName(const std::exception& E);

class TCustomFtpCli;
using TFtpDisplay = std::function<void(TCustomFtpCli* Sender, std::string& Msg)>;
using TFtpCommand = std::function<void(TCustomFtpCli* Sender, std::string& Cmd)>;
using TFtpNotifyEvent = std::function<void(TCustomFtpCli* Sender)>;
using TFtpProgress = std::function<void(TCustomFtpCli* Sender, int64_t Count, bool& Abort)>;
using TFtpSessionEvent = std::function<void(TCustomFtpCli* Sender, Word Error)>;
using TFtpRequestDone = std::function<void(TCustomFtpCli* Sender, TFtpRequest RqType, Word Error)>;
using TFtpReadyToTransmit = std::function<void(TCustomFtpCli* Sender, bool& bCancel)>;
using TFtpBgException = std::function<void(TCustomFtpCli* Sender, const std::exception& E, bool& CanClose)>;

// Private messages of the client's own message target.
inline constexpr uint32_t WM_FTP_REQUEST_DONE = 0x400 + 1;  // WM_USER + 1, wParam = error
inline constexpr uint32_t WM_FTP_SENDDATA = 0x400 + 2;      // WM_USER + 2: start an active upload

class TCustomFtpCli : private platform::MessageHandler {
 public:
  TCustomFtpCli();
  virtual ~TCustomFtpCli();
  TCustomFtpCli(const TCustomFtpCli&) = delete;
  TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

  // ---- Properties ----------------------------------------------------------
  // Seconds WaitUntilReady waits (TFtpClient: 15); 0 or less: no limit.
  int Timeout() const { return timeout_; }
  void SetTimeout(int Value) { timeout_ = Value; }
  // Time limits of every request (seconds, 0 or less: none; 30 and 60 by
  // default): no control connection within ConnectTimeout, or no byte on
  // the control or data connection for IdleTimeout while a request is
  // pending, end everything as Abort does and report the pending request
  // with kConnectTimeoutError or kIdleTimeoutError, StatusCode 500 and
  // ErrorMessage "500 connection timed out." / "500 no data for N seconds.".
  int ConnectTimeout() const { return watchdog_.ConnectTimeout(); }
  void SetConnectTimeout(int Seconds) { watchdog_.SetConnectTimeout(Seconds); }
  int IdleTimeout() const { return watchdog_.IdleTimeout(); }
  void SetIdleTimeout(int Seconds) { watchdog_.SetIdleTimeout(Seconds); }
  // Suspend it while the data connection is paused on purpose.
  TTransferWatchdog& Watchdog() { return watchdog_; }
  bool MultiThreaded() const { return multi_threaded_; }
  void SetMultiThreaded(bool Value) { multi_threaded_ = Value; }
  const std::string& HostName() const { return host_name_; }
  void SetHostName(const std::string& Value) { host_name_ = Value; }
  // Port, number or service name ("ftp").
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& Value) { port_ = Value; }
  const std::string& LocalAddr() const { return local_addr_; }
  void SetLocalAddr(const std::string& Value) { local_addr_ = Value; }
  const std::string& UserName() const { return user_name_; }
  void SetUserName(const std::string& Value) { user_name_ = Value; }
  const std::string& PassWord() const { return pass_word_; }
  void SetPassWord(const std::string& Value) { pass_word_ = Value; }
  const std::string& HostDirName() const { return host_dir_name_; }
  void SetHostDirName(const std::string& Value) { host_dir_name_ = Value; }
  const std::string& HostFileName() const { return host_file_name_; }
  void SetHostFileName(const std::string& Value) { host_file_name_ = Value; }
  // The local file of a transfer; also the command of Quote and the new name
  // of RenTo.
  const std::string& LocalFileName() const { return local_file_name_; }
  void SetLocalFileName(const std::string& Value) { local_file_name_ = Value; }
  // Where downloads (Get, RestartGet) write instead of opening LocalFileName:
  // a stream of the caller's, not owned, written from its current position
  // (REST still sends ResumeAt). nullptr, the default: LocalFileName.
  TStream* LocalStream() const { return external_stream_; }
  void SetLocalStream(TStream* Value) { external_stream_ = Value; }
  // Received data goes to OnDisplayFile as text lines.
  bool DisplayFileFlag() const { return display_file_flag_; }
  void SetDisplayFileFlag(bool Value) { display_file_flag_ = Value; }
  // Transfer type: TYPE I (true) or TYPE A (false).
  bool Binary() const { return type_ == 'I'; }
  void SetBinary(bool Value) { type_ = Value ? 'I' : 'A'; }
  const std::string& ErrorMessage() const { return error_message_; }
  TFtpShareMode ShareMode() const;
  void SetShareMode(TFtpShareMode Value);
  TFtpOptions Options() const { return options_; }
  void SetOptions(TFtpOptions Value) { options_ = Value; }
  TFtpConnectionType ConnectionType() const { return connection_type_; }
  // Not while connected ("FTP component connected"). A proxy or SOCKS type
  // switches Passive on.
  void SetConnectionType(TFtpConnectionType Value);
  const std::string& ProxyServer() const { return proxy_server_; }
  void SetProxyServer(const std::string& Value) { proxy_server_ = Value; }
  const std::string& SocksPassword() const { return socks_password_; }
  void SetSocksPassword(const std::string& Value) { socks_password_ = Value; }
  const std::string& SocksPort() const { return socks_port_; }
  void SetSocksPort(const std::string& Value) { socks_port_ = Value; }
  const std::string& SocksServer() const { return socks_server_; }
  void SetSocksServer(const std::string& Value) { socks_server_ = Value; }
  const std::string& SocksUserCode() const { return socks_user_code_; }
  void SetSocksUserCode(const std::string& Value) { socks_user_code_ = Value; }

  TFtpState State() const { return state_; }
  int StatusCode() const { return status_code_; }
  const std::string& LastResponse() const { return last_response_; }
  TFtpRequest RequestType() const { return request_type_; }
  int RequestResult() const { return request_result_; }
  bool Connected() const;
  bool Passive() const { return passive_; }
  // Ignored (stays true) unless ConnectionType is ftpDirect.
  void SetPassive(bool Value);
  int64_t ResumeAt() const { return resume_at_; }
  void SetResumeAt(int64_t Value) { resume_at_ = Value; }
  int64_t SizeResult() const { return size_result_; }
  const std::string& DirResult() const { return dir_result_; }
  int64_t ByteCount() const { return byte_count_; }
  // The system's reason when writing the local file failed during the last
  // download ("" otherwise); such a download is reported failed with 550.
  const std::string& LocalWriteError() const { return local_write_error_; }
  TWSocket* ControlSocket() { return control_.get(); }
  TWSocket* DataSocket() { return data_.get(); }

  // ---- Operations -------------------------------------------------------------
  // One command each (request reported; accepted codes):
  //   Connect  lookup, connect, 220 greeting (1)    User  USER UserName (2; 331 230)
  //   Pass     PASS PassWord (3; 230)               Cwd   CWD HostDirName (4; 200 250 257)
  //   CDup     CDUP (34; 250 257)   Pwd  PWD (32; 250 257)   Mkd  MKD HostFileName (22; 250 257)
  //   Rmd      RMD (23)   Dele  DELE (25)   RenFrom  RNFR (28; 350)   RenTo  RNTO LocalFileName (27)
  //   Syst     SYST (14; 215)   Size  SIZE HostFileName (17; 213, fills SizeResult)
  //   TypeSet  TYPE I / A from Binary (37; 200); TypeBinary, TypeAscii set Binary first
  //   Quote    LocalFileName as it is (33; below 500)   Abor  ABOR (16; below 500)
  //   Rest     REST ResumeAt (38; below 500), ResumeAt taken from the local file's size
  //            unless ftpNoAutoResumeAt; nothing is sent when it is 0
  //   DataPort PORT (listening) or PASV (9; 200 227)
  //   Quit     QUIT (15; 221), reported after the control connection closed
  //   ExecGet / ExecDir / ExecLs   RETR / LIST / NLST on a prepared data port (10 / 7 / 8)
  //   ExecPut / ExecAppend         STOR / APPE on a prepared data port (18 / 19)
  // Sequences (request; steps), run in the order connect, USER, PASS, CWD, CDUP,
  // TYPE, PORT, REST, RETR, STOR, APPE, LIST, NLST, SYST, MKD, RMD, RNFR, RNTO,
  // SIZE, DELE, PWD, ABOR, quote, QUIT; PASS is skipped after a USER answered
  // other than 331, CWD when HostDirName is empty, and RETR/STOR/APPE keep
  // ResumeAt only right after a REST answered 350:
  //   Open (5) login   Receive (6) login CWD TYPE PORT RETR QUIT
  //   RestartReceive (40) as Receive with REST   Get (10) PORT RETR
  //   RestartGet (39) PORT REST RETR   Transmit (36) login CWD TYPE PORT STOR QUIT
  //   RestartTransmit (42) as Transmit with REST   AppendFile (36) ... APPE ...
  //   Put (18) PORT STOR   RestartPut (41) PORT REST STOR   Append (19) PORT APPE
  //   Dir (7) PORT LIST   Ls (8) PORT NLST   Directory (11) login CWD PORT LIST QUIT
  //   List (12) login CWD PORT NLST QUIT   System (13) login SYST QUIT
  //   FileSize (17) login CWD SIZE QUIT   Mkdir (30), Rmdir (31), Delete (29),
  //   DoQuote (35): login CWD MKD/RMD/DELE/quote QUIT   Rename (26) RNFR RNTO
  //   RenameFile (24) login CWD RNFR RNTO QUIT
  // Abort closes everything at once and is always allowed; a pending request
  // is reported with 426 and ErrorMessage "426 Operation aborted.".
  virtual void Connect();
  virtual void User();
  virtual void Pass();
  virtual void Open();
  virtual void Quit();
  virtual void Abort();
  virtual void Get();
  virtual void ExecGet();
  virtual void Receive();
  virtual void Put();
  virtual void ExecPut();
  virtual void Transmit();
  virtual void Append();
  virtual void ExecAppend();
  virtual void AppendFile();
  virtual void ExecDir();
  virtual void Dir();
  virtual void ExecLs();
  virtual void Ls();
  virtual void TypeSet();
  virtual void TypeBinary();
  virtual void TypeAscii();
  virtual void Pwd();
  virtual void Cwd();
  virtual void CDup();
  virtual void Directory();
  virtual void List();
  virtual void Syst();
  virtual void System();
  virtual void Size();
  virtual void FileSize();
  virtual void Mkd();
  virtual void Mkdir();
  virtual void Rmd();
  virtual void Rmdir();
  virtual void Dele();
  virtual void Delete();
  virtual void RenFrom();
  virtual void RenTo();
  virtual void Rename();
  virtual void RenameFile();
  virtual void Quote();
  virtual void DoQuote();
  virtual void Abor();
  virtual void Rest();
  virtual void RestartGet();
  virtual void RestartReceive();
  virtual void RestartPut();
  virtual void RestartTransmit();
  virtual void DataPort();

  // ---- Events --------------------------------------------------------------
  TFtpDisplay OnDisplay;
  TFtpDisplay OnDisplayFile;
  TFtpCommand OnCommand;
  TFtpNotifyEvent OnResponse;
  TFtpProgress OnProgress;
  TFtpSessionEvent OnSessionConnected;
  TFtpSessionEvent OnSessionClosed;
  TFtpRequestDone OnRequestDone;
  TFtpNotifyEvent OnStateChange;
  TFtpReadyToTransmit OnReadyToTransmit;
  TFtpBgException OnBgException;
  // Receives usage errors instead of an FtpException.
  TFtpDisplay OnError;

  // The client's message target (request-done reports, active upload start).
  platform::MessageTarget& NotifyWindow() { return target_; }

 protected:
  virtual void SendCommand(const std::string& Cmd);
  virtual void TriggerDisplay(const std::string& Msg);
  virtual void TriggerReadyToTransmit(bool& bCancel);
  virtual void TriggerDisplayFile(const std::string& Msg);
  virtual void TriggerError(const std::string& Msg);
  // Fires OnProgress with ByteCount + ResumeAt; false when the transfer is to
  // stop.
  virtual bool Progress();
  // Notes the transfer's duration and rate.
  virtual void TransferStats();
  virtual void WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam);
  // OnBgException with CanClose preset true; CanClose left true aborts the
  // request, so that it is reported instead of staying pending.
  virtual void HandleBackgroundException(const std::exception& E);

  void SetState(TFtpState Value);
  void SetErrorMessageText(const std::string& Value) { error_message_ = Value; }
  void SetStatusCode(int Value) { status_code_ = Value; }
  // Expires when the client is destroyed.
  std::weak_ptr<char> LifeToken() const { return alive_; }

 private:
  using Handler = void (TCustomFtpCli::*)();
  using SessionHandler = void (TCustomFtpCli::*)(Word Error);
  enum Step : int {
    stNone = 0, stConnect = 1, stUser = 2, stPass = 3, stCwd = 4, stSize = 5, stMkd = 6,
    stRmd = 7, stRnfr = 8, stRnto = 9, stRetr = 10, stList = 11, stQuit = 12, stSyst = 13,
    stDele = 14, stPwd = 15, stQuote = 16, stStor = 17, stType = 18, stRest = 19,
    stCdup = 20, stNlst = 21, stAppe = 22, stPort = 23, stAbor = 24,
  };
  static constexpr uint32_t Bit(Step s) { return 1u << s; }

  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

  // Usage errors: OnError, or FtpException.
  void HandleError(const std::string& Msg);
  bool Ready() const { return state_ == ftpReady || state_ == ftpBetweenSteps; }

  // Command engine.
  void ExecAsync(TFtpRequest RqType, const std::string& Cmd, std::initializer_list<int> OkResponses,
                 Handler DoneAsync);
  void NextExecAsync();
  void DoneQuitAsync();
  void TimedOut(TTimeoutKind Kind);
  void TriggerRequestDone(Word Error);
  void SetErrorMessage();
  void ReportFailure(int Code, const std::string& Response, Word Error);
  int ParseCode(const std::string& Line) const;
  bool IsFinal(const std::string& Line) const;
  void ParseSize();
  void ParseDir();

  // Sequencer.
  void HighLevelAsync(TFtpRequest RqType, uint32_t Steps);
  void NextSequenceStep();
  void StartStep(Step s);

  // Socket events of the control connection.
  void ControlDnsLookupDone(Word Error);
  void ControlSessionConnected(Word Error);
  void ControlSessionClosed(Word Error);
  void ControlDataAvailable(Word Error);
  bool HandleReplyLine(Word Error);
  bool CheckReady();
  void ApplySocks(TWSocket& Socket);

  // Data transfers.
  void ExecDownload(TFtpRequest RqType, const char* DataCmd, Step s);
  void ExecUpload(bool AppendFlag);
  bool OpenLocalFileForDownload();
  bool PassiveTarget(std::string& Addr, int& PortNumber);
  bool StartPassiveConnect(SessionHandler OnConnected, int FailCode);
  void DataFailed(int Code, const std::string& Response);
  bool AcceptDataConnection(bool Upload);
  void DownloadAccepted(Word Error);
  void PassiveConnected(Word Error);
  void PassiveDownloadConnected(Word Error);
  void DownloadFirstReply();
  void DownloadSecondReply();
  void DataAvailableReceive(Word Error);
  void DownloadClosed(Word Error);
  void TransferJoin(bool data_closed);
  void DownloadJoin();
  void UploadAccepted(Word Error);
  void PassiveUploadConnected(Word Error);
  void UploadFirstReply();
  void UploadSecondReply();
  void UploadSendData(Word Error);
  void UploadDiscard(Word Error);
  void UploadClosed(Word Error);
  void UploadJoin();
  void CloseLocalFile();
  void CloseDataSocket();
  void DisplayLines(const char* Data, int Len);

  std::shared_ptr<char> alive_ = std::make_shared<char>(1);
  platform::MessageTarget target_;
  std::unique_ptr<TWSocket> control_;
  std::unique_ptr<TWSocket> data_;

  // Properties.
  int timeout_ = 0;
  bool multi_threaded_ = false;
  std::string host_name_, port_ = "ftp", local_addr_ = "0.0.0.0";
  std::string user_name_, pass_word_, host_dir_name_, host_file_name_, local_file_name_;
  bool display_file_flag_ = false;
  char type_ = 'I';
  std::string error_message_;
  uint16_t share_flags_ = fmShareExclusive;
  TFtpOptions options_{ftpAcceptLF};
  TFtpConnectionType connection_type_ = ftpDirect;
  std::string proxy_server_, proxy_port_ = "ftp";
  std::string socks_password_, socks_port_, socks_server_, socks_user_code_;
  TFtpState state_ = ftpReady;
  int status_code_ = 0;
  std::string last_response_;
  TFtpRequest request_type_ = ftpRqNone;
  int request_result_ = 0;
  bool passive_ = false;
  int64_t resume_at_ = 0;
  int64_t size_result_ = 0;
  std::string dir_result_;
  int64_t byte_count_ = 0;

  // Engine.
  std::string dns_result_;
  bool logged_connected_ = false;
  static constexpr int kReplyBufferSize = 4096;
  char rcv_buf_[kReplyBufferSize] = {};
  int rcv_cnt_ = 0;
  std::string saved_last_response_;
  int saved_status_code_ = -1;
  int ok_responses_[17] = {};
  Handler next_ = nullptr;           // receives the next final reply line
  Handler done_async_ = nullptr;     // runs instead of reporting the request done
  Handler next_request_ = nullptr;   // the sequencer's continuation
  uint32_t fct_set_ = 0;
  Step fct_prv_ = stNone;
  int high_level_result_ = 0;
  bool high_level_flag_ = false;
  bool request_done_flag_ = true;     // no request is pending
  bool awaiting_reply_ = false;      // a command's final reply has not come
  int usage_errors_ = 0;             // counts HandleError calls (sequence steps)
  std::string last_usage_error_;

  // Data transfers.
  std::string pasv_response_;
  std::string peer_addr_;            // the control connection's peer, dotted
  std::unique_ptr<TFileStream> local_stream_;
  TStream* external_stream_ = nullptr;
  TStream* download_target_ = nullptr;  // what a running download writes into
  std::string data_command_;
  bool append_flag_ = false;
  uint32_t start_time_ = 0, stop_time_ = 0;
  bool transfer_reply_done_ = false;
  bool download_closed_ = false, upload_closed_ = false;
  Word data_close_error_ = 0;
  bool eof_ = false;
  bool store_answer_ = false;
  bool upload_ready_ = false;
  std::unique_ptr<char[]> data_buffer_;  // receive block / send block
  SessionHandler passive_connected_ = nullptr;
  std::string local_write_error_;

  TTransferWatchdog watchdog_;
  TTimeoutKind timed_out_ = TTimeoutKind::None;
};

}  // namespace quillon
