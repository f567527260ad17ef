// TCustomSocksWSocket: a TCP Connect through a SOCKS proxy (levels 4, 4A and
// 5, with user-name and password authentication at level 5). With
// SocksServer assigned, Connect reaches the SOCKS server instead of Addr:Port,
// runs the negotiation inside the socket's own events and only then reports
// OnSessionConnected(0), so the application sees an ordinary connection.
// Without SocksServer every operation is the core's.
//
// Events in order for a proxied connection: OnSocksConnected(Error) when the
// connection to the SOCKS server completed; OnSocksAuthState(saStarting,
// saSucceeded / saNotRequired) during level-5 authentication; then
// OnSessionConnected(0) and OnDataAvailable for data that came right behind
// the proxy's reply. A failed negotiation fires OnSocksError(Code, Msg),
// OnSessionConnected(Code) and OnSessionClosed(Code) with one of the codes
// below, or with the socket error of the notification and the text "data
// receive error".
//
// Every close empties SocksServer and SocksPort and sets SocksLevel back to
// "5": assign them again before each Connect.
#pragma once

#include <functional>
#include <string>

#include "net/socket/wsocket.h"

namespace quillon {

// The SOCKS failure codes, with the texts OnSocksError reports for them.
enum : int {
  kSocksLogicError = 20001,            // "TWSocket logic error", "too much data availaible"
  kSocksVersionError = 20002,          // "socks version error"
  kSocksMethodRejected = 20003,        // "authentification method not acceptable"
  kSocksGeneralFailure = 20004,        // level-5 reply codes 1 to 8 in order:
  kSocksNotAllowed = 20005,            //   "connection not allowed by ruleset"
  kSocksNetworkUnreachable = 20006,    //   "network unreachable"
  kSocksHostUnreachable = 20007,       //   "host unreachable"
  kSocksConnectionRefused = 20008,     //   "connection refused" (also level 4)
  kSocksTtlExpired = 20009,            //   "time to live expired"
  kSocksCommandNotSupported = 20010,   //   "command not supported"
  kSocksAddressNotSupported = 20011,   //   "address type not supported"
  kSocksUnassignedError = 20012,       // "unassigned error #<code>"
  kSocksInternalError = 20013,         // "internal error"
  kSocksRequestTooLong = 20014,        // nothing is sent: "host name too long", "user
                                       // code too long", "user code and host name too
                                       // long", "user code and password too long"
  kSocksAuthenticationFailed = 20015,  // "socks authentication failed" (level 5),
                                       // "authentification failed" (level 4)
  kSocksRequestRejected = 20016,       // "request rejected or failed"
  kSocksTargetUnresolved = 20017,      // the target of a level-4 request cannot be
                                       // resolved: "<exception class> <message>"
};

// The words of a SOCKS proxy's refusal ("host unreachable", "authentication
// failed"); empty for a number that is no such refusal.
std::string SocksErrorText(int error);

enum TSocksAuthentication { socksNoAuthentication = 0, socksAuthenticateUsercode = 1 };
enum TSocksAuthState { saStarting = 0, saSucceeded = 1, saFailed = 2, saNotRequired = 3 };

using TSocksErrorEvent = std::function<void(TCustomWSocket* Sender, int Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket* Sender, TSocksAuthState AuthState)>;

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  TCustomSocksWSocket() = default;

  // Trimmed; non-empty switches SOCKS on. Only while wsClosed ("Can't change
  // socks server if not closed").
  const std::string& SocksServer() const { return socks_server_; }
  virtual void SetSocksServer(const std::string& Value);
  // Trimmed; only while wsClosed ("Can't change socks port if not closed").
  const std::string& SocksPort() const { return socks_port_; }
  virtual void SetSocksPort(const std::string& Value);
  // "4", "4A" or "5" ("4a" is stored as "4A"); anything else reports
  // "Invalid socks level. Must be 4, 4A or 5.". Only while wsClosed.
  const std::string& SocksLevel() const { return socks_level_; }
  void SetSocksLevel(const std::string& Value);
  const std::string& SocksUsercode() const { return socks_usercode_; }
  void SetSocksUsercode(const std::string& Value) { socks_usercode_ = Value; }
  const std::string& SocksPassword() const { return socks_password_; }
  void SetSocksPassword(const std::string& Value) { socks_password_ = Value; }
  TSocksAuthentication SocksAuthentication() const { return socks_authentication_; }
  void SetSocksAuthentication(TSocksAuthentication Value) { socks_authentication_ = Value; }
  // The address and port a level-5 server reported as bound for the
  // connection.
  const std::string& SocksBoundAddr() const { return bound_addr_; }
  const std::string& SocksBoundPort() const { return bound_port_; }

  void Connect() override;
  void Listen() override;
  int RcvdCount() override;

  TSessionEvent OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

 protected:
  virtual void FireSocksConnected(Word Error);
  virtual void FireSocksError(int Error, const std::string& Msg);
  void FireSocksAuthState(TSocksAuthState AuthState);

  void ResetFields() override;
  void FireSessionConnected(Word Error) override;
  void FireSessionClosed(Word Error) override;
  bool FireDataAvailable(Word Error) override;
  int RawReceive(void* Buffer, int BufferSize) override;

  // True while a SOCKS negotiation runs on the connection.
  bool SocksNegotiating() const { return socks_state_ != SocksState::Data; }
  // Bytes that came behind the proxy's reply and were not read yet.
  int SocksPendingCount() const { return pending_count_; }

 private:
  enum class SocksState { Data, NegotiateMethods, Authenticate, Connect };

  void SocksDoConnect();
  void SocksDoAuthenticate();
  void SendRequest(const std::string& Request);
  // Assemble the connect request of level 5 or 4 / 4A; false after reporting
  // a request that cannot be made.
  bool ConnectRequest5(std::string& Request);
  bool ConnectRequest4(std::string& Request);
  void SocksFail(int Error, const std::string& Msg);
  void SocksSucceeded(int ReplyLength);
  // The negotiation's one state: every change goes through here.
  void SetSocksState(SocksState Next);
  // Each returns after the reply was handled or more bytes are needed.
  void MethodReply();
  void AuthenticationReply();
  void ConnectReply4();
  void ConnectReply5();
  bool Level4() const { return socks_level_[0] == '4'; }

  std::string socks_server_, socks_port_, socks_level_ = "5";
  std::string socks_usercode_, socks_password_;
  TSocksAuthentication socks_authentication_ = socksNoAuthentication;
  SocksState socks_state_ = SocksState::Data;
  int target_port_ = 0;
  // Replies are collected here; room for the longest level-5 reply (a
  // 255-byte domain) and for data the destination sent behind it.
  unsigned char rcv_buf_[512] = {};
  int rcv_cnt_ = 0;
  int pending_pos_ = 0;
  int pending_count_ = 0;
  std::string bound_addr_, bound_port_;
};

}  // namespace quillon
