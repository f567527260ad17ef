// TCustomFtpCli: an event-driven FTP client on two TWSocket connections, the
// control connection (commands and replies) and the data connection (file
// contents and listings). No operation waits: each starts a request and
// returns; the request ends with OnRequestDone(Sender, RqType, Error), which
// is always delivered later from the event loop, after State went back to
// ftpReady, so a handler may start the next operation or destroy the client.
// RqType is the request that ended, even when the next one has started.
//
// Operations work on the properties (HostName, UserName, HostFileName,
// LocalFileName ...). One-command operations (User, Pass, Cwd, Size ...) send
// one command; sequences (Open, Get, RestartGet, Receive, Put ...) chain
// steps and report once, with the sequence's request value, at the end. The
// first failing step ends a sequence; its remaining steps (QUIT included) are
// not run.
//
// Usage errors (an operation called in the wrong state, a required property
// empty, a property sent as a command's argument holding CR, LF or NUL,
// which is then never sent) go to OnError when it is assigned, otherwise they raise FtpException;
// they never end in OnRequestDone, except when a step of a running sequence
// meets one: then the sequence's request is reported with error 500 and the
// message in ErrorMessage, so that a sequence never stays pending.
//
// Server refusals are reported with the reply code as the error; StatusCode,
// LastResponse and ErrorMessage (the first failing line of the request)
// describe them. Network failures are reported with a reply line the client
// composes, beginning with "500 ".
//
// Data connections: active mode (EPRT, or PORT) listens on an ephemeral port
// and accepts only a caller whose address is the control connection's peer
// address; passive mode (EPSV, or PASV) connects to the control connection's
// peer address and takes only the port from the 229 (227) reply. Over IPv6
// the extended commands alone are used; over IPv4 they are tried first, and
// a server that refuses them (any 5xx reply: unknown, not allowed) is sent
// PORT / PASV from then on (for the rest of the control connection). A
// passive download that finds no data connection says so (PassiveFailed);
// the caller may ask once more in active mode. A download reports
// only when both the final transfer reply and the close of the data
// connection have come, by which time the local file is closed.
//
// Trace through OnDisplay: "> " commands sent, "< " reply lines, "! " notes.
// With QUILLON_FTP_TRACE set in the environment, every change of the
// client's internal stage is also written to stderr (no handler runs for it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/lifetime.h"
#include "net/ftp/ftp_reply.h"
#include "net/ftp/ftp_sequencer.h"
#include "net/ftp/ftp_transfer.h"
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
  ftpRqMdtm = 43,
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

// The port of a 227 reply: the six numbers inside the parentheses. False
// without parentheses, with fewer than six numbers or with a field that is
// not a number from 0 to 255.
bool FtpParsePasvReply(const std::string& Line, std::string& Addr, int& PortNumber);
// The port of a 229 reply: "(<d><d><d>port<d>)" with the same delimiter <d>
// (one of ! to ~). False for anything else or a port outside 1..65535.
bool FtpParseEpsvReply(const std::string& Line, int& PortNumber);
// "EPRT |1|192.0.2.1|port|" or "EPRT |2|2001:db8::1|port|" for the local
// address of the control connection.
std::string FtpEprtCommand(const std::string& LocalAddr, int PortNumber);
// The PORT command for a listening port: the loopback form when the server
// is 127.0.0.1, else the control connection's local address (host order).
std::string FtpPortCommand(const std::string& ServerAddr, uint32_t LocalAddr, int PortNumber);
// Bytes per second as the statistics note shows it (Ms > 0).
int64_t FtpTransferRate(int64_t Bytes, uint32_t Ms);
// The class name shown in messages about an exception.
std::string ExceptionClassName(const std::exception& E);

class TCustomFtpCli;
struct TFtpCommandRule;
using TFtpDisplay = std::function<void(TCustomFtpCli* Sender, std::string& Msg)>;
using TFtpCommand = std::function<void(TCustomFtpCli* Sender, std::string& Cmd)>;
using TFtpNotifyEvent = std::function<void(TCustomFtpCli* Sender)>;
using TFtpProgress = std::function<void(TCustomFtpCli* Sender, int64_t Count, bool& Abort)>;
using TFtpSessionEvent = std::function<void(TCustomFtpCli* Sender, Word Error)>;
using TFtpRequestDone = std::function<void(TCustomFtpCli* Sender, TFtpRequest RqType, Word Error)>;
using TFtpReadyToTransmit = std::function<void(TCustomFtpCli* Sender, bool& bCancel)>;
using TFtpBgException = std::function<void(TCustomFtpCli* Sender, const std::exception& E, bool& CanClose)>;

// Messages the client posts to its own message target (numbers private to
// that target).
// Delivers OnRequestDone: wParam the error, lParam the request that ended.
inline constexpr uint32_t WM_FTP_REQUEST_DONE = 1025;
// Starts sending an active upload once the event loop comes back.
inline constexpr uint32_t WM_FTP_SENDDATA = 1026;

class TCustomFtpCli : private platform::MessageHandler {
 public:
  TCustomFtpCli();
  virtual ~TCustomFtpCli();
  TCustomFtpCli(const TCustomFtpCli&) = delete;
  TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

  // ---- Properties ----------------------------------------------------------
  // Seconds WaitUntilReady waits (TFtpClient: 15); 0 or less: no limit.
  int Timeout() const { return settings_.timeout; }
  void SetTimeout(int Value) { settings_.timeout = Value; }
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
  bool MultiThreaded() const { return settings_.multi_threaded; }
  void SetMultiThreaded(bool Value) { settings_.multi_threaded = Value; }
  const std::string& HostName() const { return settings_.host_name; }
  void SetHostName(const std::string& Value) { settings_.host_name = Value; }
  // Port, number or service name ("ftp").
  const std::string& Port() const { return settings_.port; }
  void SetPort(const std::string& Value) { settings_.port = Value; }
  const std::string& LocalAddr() const { return settings_.local_addr; }
  void SetLocalAddr(const std::string& Value) { settings_.local_addr = Value; }
  const std::string& UserName() const { return settings_.user_name; }
  void SetUserName(const std::string& Value) { settings_.user_name = Value; }
  const std::string& PassWord() const { return settings_.pass_word; }
  void SetPassWord(const std::string& Value) { settings_.pass_word = Value; }
  const std::string& HostDirName() const { return settings_.host_dir_name; }
  void SetHostDirName(const std::string& Value) { settings_.host_dir_name = Value; }
  const std::string& HostFileName() const { return settings_.host_file_name; }
  void SetHostFileName(const std::string& Value) { settings_.host_file_name = Value; }
  // The local file of a transfer; also the command of Quote and the new name
  // of RenTo.
  const std::string& LocalFileName() const { return settings_.local_file_name; }
  void SetLocalFileName(const std::string& Value) { settings_.local_file_name = Value; }
  // Where downloads (Get, RestartGet) write instead of opening LocalFileName:
  // a stream of the caller's, not owned, written from its current position
  // (REST still sends ResumeAt). nullptr, the default: LocalFileName.
  TStream* LocalStream() const { return settings_.local_stream; }
  void SetLocalStream(TStream* Value) { settings_.local_stream = Value; }
  // Received data goes to OnDisplayFile as text lines.
  bool DisplayFileFlag() const { return settings_.display_file; }
  void SetDisplayFileFlag(bool Value) { settings_.display_file = Value; }
  // Transfer type: TYPE I (true) or TYPE A (false).
  bool Binary() const { return settings_.type == 'I'; }
  void SetBinary(bool Value) { settings_.type = Value ? 'I' : 'A'; }
  const std::string& ErrorMessage() const { return error_message_; }
  TFtpShareMode ShareMode() const;
  void SetShareMode(TFtpShareMode Value);
  TFtpOptions Options() const { return settings_.options; }
  void SetOptions(TFtpOptions Value) { settings_.options = Value; }
  TFtpConnectionType ConnectionType() const { return settings_.connection_type; }
  // Not while connected ("FTP component connected"). A proxy or SOCKS type
  // switches Passive on.
  void SetConnectionType(TFtpConnectionType Value);
  const std::string& ProxyServer() const { return settings_.proxy_server; }
  void SetProxyServer(const std::string& Value) { settings_.proxy_server = Value; }
  const std::string& SocksPassword() const { return settings_.socks_password; }
  void SetSocksPassword(const std::string& Value) { settings_.socks_password = Value; }
  const std::string& SocksPort() const { return settings_.socks_port; }
  void SetSocksPort(const std::string& Value) { settings_.socks_port = Value; }
  const std::string& SocksServer() const { return settings_.socks_server; }
  void SetSocksServer(const std::string& Value) { settings_.socks_server = Value; }
  const std::string& SocksUserCode() const { return settings_.socks_user_code; }
  void SetSocksUserCode(const std::string& Value) { settings_.socks_user_code = Value; }

  // Derived from the client's one internal stage.
  TFtpState State() const;
  int StatusCode() const { return status_code_; }
  const std::string& LastResponse() const { return last_response_; }
  TFtpRequest RequestType() const { return request_type_; }
  int RequestResult() const { return request_result_; }
  bool Connected() const;
  bool Passive() const { return settings_.passive; }
  // Ignored (stays true) unless ConnectionType is ftpDirect.
  void SetPassive(bool Value);
  int64_t ResumeAt() const { return settings_.resume_at; }
  void SetResumeAt(int64_t Value) { settings_.resume_at = Value; }
  int64_t SizeResult() const { return size_result_; }
  // What the last successful MDTM answered after its 213, blanks cut ("" when
  // it failed or said nothing): the file's modification time as the server
  // writes it, compared as text.
  const std::string& MdtmResult() const { return mdtm_result_; }
  // The length a download's file may reach (ResumeAt + ByteCount); -1, the
  // default: no limit. A download that receives more writes the bytes up to
  // the limit only and ends at once as Abort does; the request is reported
  // with 552 and ErrorMessage "552 More than N bytes received.", and
  // LimitPassed() is true until the next download or Connect.
  int64_t DownloadLimit() const { return settings_.download_limit; }
  void SetDownloadLimit(int64_t Value) { settings_.download_limit = Value; }
  bool LimitPassed() const { return limit_passed_; }
  // The length at which a download ends on purpose (ResumeAt + the bytes
  // wanted, as for one piece of a file); -1, the default: the server's end.
  // Once the file reaches it, nothing past it is written, the data
  // connection is closed, and the server's final reply to the cut transfer
  // (226 or 250, or any 4xx of a transfer cut short: 426, 450, 451) ends the
  // request with 0, so that the control connection serves the next command.
  // StopReached() says it happened (until the next download).
  int64_t StopAt() const { return settings_.stop_at; }
  void SetStopAt(int64_t Value) { settings_.stop_at = Value; }
  bool StopReached() const { return transfer_.stopped; }
  // The socket error (a Winsock number) of a passive data connection that
  // could not be made during the last download (refused, unreachable, timed
  // out); 0 otherwise. Such a download is reported failed with 550.
  Word DataConnectError() const { return data_connect_error_; }
  // Whether the last passive download found no data connection: the server
  // refused passive mode (a 5xx to PASV, after its refusal of EPSV; over
  // IPv6 to EPSV), its reply named no port, or the connection to that port
  // could not be made (DataConnectError says why). The server may still
  // take an active data connection.
  bool PassiveFailed() const { return passive_failed_; }
  const std::string& DirResult() const { return dir_result_; }
  int64_t ByteCount() const { return transfer_.bytes; }
  // The system's reason when writing the local file failed during the last
  // download ("" otherwise); such a download is reported failed with 550.
  const std::string& LocalWriteError() const { return transfer_.WriteError(); }
  TWSocket* ControlSocket() { return control_.get(); }
  TWSocket* DataSocket() { return data_.get(); }

  // ---- Operations -------------------------------------------------------------
  // One command each (request reported; accepted codes):
  //   Connect  lookup, connect, 220 greeting (1)    User  USER UserName (2; 331 230)
  //   Pass     PASS PassWord (3; 230)               Cwd   CWD HostDirName (4; 200 250 257)
  //   CDup     CDUP (34; 250 257)   Pwd  PWD (32; 250 257)   Mkd  MKD HostFileName (22; 250 257)
  //   Rmd      RMD (23)   Dele  DELE (25)   RenFrom  RNFR (28; 350)   RenTo  RNTO LocalFileName (27)
  //   Syst     SYST (14; 215)   Size  SIZE HostFileName (17; 213, fills SizeResult)
  //   Mdtm     MDTM HostFileName (43; 213, fills MdtmResult)
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
  // SIZE, MDTM, DELE, PWD, ABOR, quote, QUIT; PASS is skipped after a USER answered
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
  virtual void Mdtm();
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
  // Each Trigger fires its event and returns whether the client survived
  // the handler; a caller stops at false.
  [[nodiscard]] virtual bool TriggerDisplay(const std::string& Msg);
  [[nodiscard]] virtual bool TriggerReadyToTransmit(bool& bCancel);
  [[nodiscard]] virtual bool TriggerDisplayFile(const std::string& Msg);
  [[nodiscard]] virtual bool TriggerError(const std::string& Msg);
  // Fires OnProgress with ByteCount + ResumeAt; false when the transfer is to
  // stop, or the handler destroyed the client.
  [[nodiscard]] virtual bool Progress();
  // Notes the transfer's duration and rate.
  virtual void TransferStats();
  virtual void WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam);
  // OnBgException with CanClose preset true; CanClose left true aborts the
  // request, so that it is reported instead of staying pending.
  virtual void HandleBackgroundException(const std::exception& E);

  void SetErrorMessageText(const std::string& Value) { error_message_ = Value; }
  void SetStatusCode(int Value) { status_code_ = Value; }

 private:
  // What the client is doing: its one state variable, changed only by
  // SetStage. The public State (in parentheses) is derived from it.
  enum class TStage : uint8_t {
    Ready,          // no request (ftpReady)
    BetweenSteps,   // a step of a sequence ended, the next one starts (ftpBetweenSteps)
    Closed,         // the control connection has just closed (ftpNotConnected)
    DnsLookup,      // looking up the server (ftpDnsLookup)
    WaitingBanner,  // connecting, then awaiting the greeting (ftpWaitingBanner)
    Connected,      // the greeting came (ftpConnected)
    // Awaiting a final reply on the control connection (ftpWaitingResponse):
    Reply,          // the reply of a one-command operation
    QuitReply,      // the reply of QUIT: the close reports the request
    DownloadStart,  // 125/150 before the data of RETR, LIST, NLST
    DownloadEnd,    // the reply after the data of a download
    UploadStart,    // 125/150 before the data of STOR, APPE
    UploadEnd,      // the reply after the data of an upload
    // The final reply came and the request is ending; a transfer ends once
    // its data connection has closed too (ftpWaitingResponse).
    Answered,
    PasvReady,      // PASV / EPSV answered, the transfer step comes next (ftpPasvReady)
    Aborting,       // Abort is closing everything (ftpAborting)
  };
  // The values behind the properties.
  struct TSettings {
    int timeout = 0;
    bool multi_threaded = false;
    std::string host_name, port = "ftp", local_addr = "0.0.0.0";
    std::string user_name, pass_word, host_dir_name, host_file_name, local_file_name;
    TStream* local_stream = nullptr;
    bool display_file = false;
    char type = 'I';
    uint16_t share_flags = fmShareExclusive;
    TFtpOptions options{ftpAcceptLF};
    TFtpConnectionType connection_type = ftpDirect;
    std::string proxy_server, proxy_port = "ftp";
    std::string socks_password, socks_port, socks_server, socks_user_code;
    bool passive = false;
    int64_t resume_at = 0;
    int64_t download_limit = -1;
    int64_t stop_at = -1;
  };

  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

  // Usage errors: OnError, or FtpException.
  void HandleError(const std::string& Msg);
  // HandleError("<Verb>: the argument holds a line break or NUL") and true
  // when Value holds CR, LF or NUL.
  bool RefusedArgument(const std::string& Verb, const std::string& Value);
  bool Ready() const { return stage_ == TStage::Ready || stage_ == TStage::BetweenSteps; }
  // A command's final reply has not come.
  bool AwaitingReply() const { return stage_ >= TStage::Reply && stage_ <= TStage::UploadEnd; }
  // The server accepted the running STOR / APPE (125, 150).
  bool UploadAnswered() const {
    return transfer_.upload && (stage_ == TStage::UploadEnd || stage_ == TStage::Answered);
  }
  // The one place that changes the stage. Fires OnStateChange when State
  // changes with it; false when that handler destroyed the client.
  bool SetStage(TStage Value);

  // Command engine. Exec runs a one-command operation: builds its command
  // from the rule and sends it.
  void Exec(const TFtpCommandRule& Rule);
  void ExecAsync(const TFtpCommandRule& Rule, const std::string& Cmd);
  void SendAndAwait(TStage Await, const std::string& Cmd);
  void BeginRequest(TFtpRequest RqType);
  void JudgeReply();
  void TimedOut(TTimeoutKind Kind);
  void TriggerRequestDone(Word Error);
  // The request failed with Response: LastResponse, StatusCode and the
  // request's result become Response and Code, ErrorMessage the line unless
  // it is set already.
  void SetFailure(int Code, const std::string& Response);
  // The request ends as aborted (426), or with the timeout's number and
  // reason.
  void SetAborted();
  void SetTimedOut(TTimeoutKind Kind);
  // A download received more than DownloadLimit: ends everything as Abort
  // does and reports the request with 552.
  void LimitExceeded();

  // Sequencer.
  void HighLevelAsync(TFtpRequest RqType, TFtpSequencer::TSteps Steps);
  void NextSequenceStep();
  void StartStep(TFtpStep s);

  // Socket events of the control connection.
  void ControlDnsLookupDone(Word Error);
  // Connects the control connection to `address` (the lookup's result, or
  // the name a SOCKS proxy resolves), directly or through the proxy.
  void ConnectControl(const std::string& address);
  void ControlSessionConnected(Word Error);
  void ControlSessionClosed(Word Error);
  void ControlDataAvailable(Word Error);
  bool HandleReplyLine(Word Error);
  // Usage error unless a command may go out now (and the control
  // connection is logged in, when MustBeConnected).
  bool CheckReady(bool MustBeConnected = true);
  void ApplySocks(TWSocket& Socket);
  static void ForgetHandlers(TWSocket& Socket);

  // Data transfers.
  void ExecDownload(TFtpRequest RqType, const char* DataCmd, TFtpStep s);
  void ExecUpload(bool AppendFlag);
  bool StartPassiveConnect(int FailCode);
  void DataFailed(int Code, const std::string& Response);
  void LocalFailure(const std::string& Reason);
  bool AcceptDataConnection(bool Upload);
  void DownloadAccepted(Word Error);
  void PassiveConnected(Word Error);
  void TransferStartReply();
  void TransferEndReply();
  void DataAvailableReceive(Word Error);
  void TransferClosed(Word Error);
  void TransferJoin();
  void UploadAccepted(Word Error);
  void UploadSendData(Word Error);
  void UploadDiscard(Word Error);
  bool StopRequested();
  void CloseDataSocket();
  void DisplayLines(const char* Data, int Len);

  platform::MessageTarget target_;
  std::unique_ptr<TWSocket> control_;
  std::unique_ptr<TWSocket> data_;
  TSettings settings_;
  TFtpReplyAssembler replies_;
  TFtpSequencer sequence_;
  TFtpTransfer transfer_;
  TTransferWatchdog watchdog_;

  TStage stage_ = TStage::Ready;
  int status_code_ = 0;
  std::string last_response_;
  std::string error_message_;
  TFtpRequest request_type_ = ftpRqNone;
  int request_result_ = 0;
  int64_t size_result_ = 0;
  std::string mdtm_result_;
  bool limit_passed_ = false;
  Word data_connect_error_ = 0;
  bool passive_failed_ = false;
  std::string dir_result_;
  std::string dns_result_;        // the server's address (IPv4 or IPv6 text)
  bool extended_refused_ = false;  // the server answered EPSV / EPRT 500 or 502
  std::string plain_data_command_;  // PASV / PORT, when EPSV / EPRT was sent
  bool logged_connected_ = false;
  bool control_close_told_ = true;  // the control connection's close was handled
  const TFtpCommandRule* command_ = nullptr;  // the last one-command operation sent
  bool request_done_flag_ = true;  // no request is pending
  int usage_errors_ = 0;           // counts HandleError calls (sequence steps)
  std::string last_usage_error_;
  TTimeoutKind timed_out_ = TTimeoutKind::None;

  TLifetime lifetime_;  // last: its tokens expire before the members go
};

}  // namespace quillon
