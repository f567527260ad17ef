#include "net/socket/socks_wsocket.h"

#include <arpa/inet.h>

#include <cstring>
#include <typeinfo>

#include "base/strings.h"
#include "platform/event_loop.h"

namespace quillon {

namespace {

// Level-5 reply codes 1 to 8 are the failures kSocksGeneralFailure and on, in
// order.
const char* const kReplyTexts[] = {
    "general SOCKS server failure", "connection not allowed by ruleset", "network unreachable",
    "host unreachable", "connection refused", "time to live expired", "command not supported",
    "address type not supported"};

}  // namespace

std::string SocksErrorText(int error) {
  if (error >= kSocksGeneralFailure && error <= kSocksAddressNotSupported)
    return kReplyTexts[error - kSocksGeneralFailure];
  switch (error) {
    case kSocksVersionError: return "socks version error";
    case kSocksMethodRejected: return "authentication method not acceptable";
    case kSocksAuthenticationFailed: return "authentication failed";
    case kSocksRequestRejected: return "request rejected or failed";
    default: return "";
  }
}

namespace {

// The longest request sent to a proxy; a longer one fails with
// kSocksRequestTooLong before anything is sent.
constexpr int kRequestSize = 128;

}  // namespace

// ---- Properties ----------------------------------------------------------------

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
  ChangeRemoteText(socks_server_, Value, "Can't change socks server if not closed", TRemotePart::Addr);
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
  ChangeRemoteText(socks_port_, Value, "Can't change socks port if not closed", TRemotePart::Port);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
  if (State() != wsClosed) {
    RaiseSocketError("Can't change socks level if not closed");
    return;
  }
  if (Value != "4" && Value != "4A" && Value != "4a" && Value != "5") {
    RaiseSocketError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  socks_level_ = UpperCase(Value);
}

void TCustomSocksWSocket::SetSocksState(SocksState Next) { socks_state_ = Next; }

void TCustomSocksWSocket::ResetFields() {
  TCustomWSocket::ResetFields();
  SetSocksState(SocksState::Data);
  socks_server_.clear();
  socks_port_.clear();
  socks_level_ = "5";
  rcv_cnt_ = 0;
  pending_pos_ = 0;
  pending_count_ = 0;
}

// ---- Events --------------------------------------------------------------------

void TCustomSocksWSocket::FireSocksConnected(Word Error) {
  static_cast<void>(FireEvent(Lifetime(), OnSocksConnected, this, Error));
}
void TCustomSocksWSocket::FireSocksError(int Error, const std::string& Msg) {
  static_cast<void>(FireEvent(Lifetime(), OnSocksError, this, Error, Msg));
}
void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState) {
  static_cast<void>(FireEvent(Lifetime(), OnSocksAuthState, this, AuthState));
}

// ---- Connecting ----------------------------------------------------------------

void TCustomSocksWSocket::Connect() {
  if (socks_server_.empty()) {
    TCustomWSocket::Connect();
    return;
  }
  if (LowerCase(Proto()) != "tcp") {
    RaiseSocketError("tcp is the only protocol supported thru socks server");
    return;
  }
  try {
    ResolveRemotePort(socks_port_);
    ResolveRemoteAddr(socks_server_);
    target_port_ = WSocketResolvePort(Port(), Proto());
  } catch (const ESocketException& e) {
    RaiseSocketError("connect: " + e.Message());
    return;
  }
  SetSocksState(SocksState::NegotiateMethods);
  rcv_cnt_ = 0;
  pending_count_ = 0;
  bound_addr_.clear();
  bound_port_.clear();
  TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
  if (!socks_server_.empty()) {
    RaiseSocketError("Listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

void TCustomSocksWSocket::FireSessionConnected(Word Error) {
  if (socks_state_ != SocksState::NegotiateMethods) {
    TCustomWSocket::FireSessionConnected(Error);
    return;
  }
  auto alive = Lifetime().Token();
  FireSocksConnected(Error);
  if (!alive) return;
  if (Error != 0) {
    SetSocksState(SocksState::Data);
    TCustomWSocket::FireSessionConnected(Error);
    return;
  }
  if (Level4()) {
    SocksDoConnect();
    return;
  }
  SendRequest({5, 1, static_cast<char>(socks_authentication_ == socksAuthenticateUsercode ? 2 : 0)});
}

void TCustomSocksWSocket::SendRequest(const std::string& Request) {
  try {
    Send(Request.data(), static_cast<int>(Request.size()));
  } catch (...) {
    // A failed send ends the connection, which reports itself.
  }
}

void TCustomSocksWSocket::SocksDoConnect() {
  SetSocksState(SocksState::Connect);
  rcv_cnt_ = 0;
  std::string request;
  if (socks_level_ == "5" ? ConnectRequest5(request) : ConnectRequest4(request)) SendRequest(request);
}

bool TCustomSocksWSocket::ConnectRequest5(std::string& Request) {
  const std::string& host = Addr();
  TSockAddr v6{};
  if (IsIPv6Literal(host) && ParseIPAddress(host, v6)) {
    // 5, 1, 0, 4, 16 address bytes, port: an IPv6 address.
    Request = {5, 1, 0, 4};
    Request.append(reinterpret_cast<const char*>(&reinterpret_cast<const sockaddr_in6&>(v6).sin6_addr), 16);
    Request += {static_cast<char>(target_port_ >> 8), static_cast<char>(target_port_)};
    return true;
  }
  // 5, 1, 0, 3, length, host name, port: the target travels as a name.
  if (host.size() > static_cast<size_t>(kRequestSize - 7)) {
    SocksFail(kSocksRequestTooLong, "host name too long");
    return false;
  }
  Request = {5, 1, 0, 3, static_cast<char>(host.size())};
  Request += host;
  Request += {static_cast<char>(target_port_ >> 8), static_cast<char>(target_port_)};
  return true;
}

bool TCustomSocksWSocket::ConnectRequest4(std::string& Request) {
  // 4, 1, port, address, user code, 0 [, host name, 0 for 4A].
  const std::string& host = Addr();
  const bool level4a = socks_level_ == "4A";
  if (!level4a && socks_usercode_.size() > static_cast<size_t>(kRequestSize - 9)) {
    SocksFail(kSocksRequestTooLong, "user code too long");
    return false;
  }
  if (level4a && socks_usercode_.size() + host.size() > static_cast<size_t>(kRequestSize - 10)) {
    SocksFail(kSocksRequestTooLong, "user code and host name too long");
    return false;
  }
  in_addr target{};
  if (level4a) {
    target.s_addr = htonl(1);  // 0.0.0.1: the server resolves the name
  } else {
    try {
      target = WSocketResolveHost(host);
    } catch (const std::exception& e) {
      SocksFail(kSocksTargetUnresolved,
                std::string(typeid(e) == typeid(ESocketException) ? "ESocketException" : "Exception") + " " +
                    e.what());
      return false;
    }
  }
  Request = {4, 1, static_cast<char>(target_port_ >> 8), static_cast<char>(target_port_)};
  Request.append(reinterpret_cast<const char*>(&target.s_addr), 4);
  Request += socks_usercode_;
  Request += '\0';
  if (level4a) {
    Request += host;
    Request += '\0';
  }
  return true;
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
  if (socks_usercode_.size() + socks_password_.size() > static_cast<size_t>(kRequestSize - 3)) {
    SocksFail(kSocksRequestTooLong, "user code and password too long");
    return;
  }
  SetSocksState(SocksState::Authenticate);
  rcv_cnt_ = 0;
  auto alive = Lifetime().Token();
  FireSocksAuthState(saStarting);
  if (!alive || socks_state_ != SocksState::Authenticate) return;
  std::string request = {1, static_cast<char>(socks_usercode_.size())};
  request += socks_usercode_;
  request += static_cast<char>(socks_password_.size());
  request += socks_password_;
  SendRequest(request);
}

void TCustomSocksWSocket::SocksFail(int Error, const std::string& Msg) {
  auto alive = Lifetime().Token();
  FireSocksError(Error, Msg);
  if (!alive) return;
  SetSocksState(SocksState::Data);
  FireSessionConnected(static_cast<Word>(Error));
  if (!alive) return;
  InternalClose(true, static_cast<Word>(Error));
}

void TCustomSocksWSocket::SocksSucceeded(int ReplyLength) {
  // Bytes behind the reply are the destination's first data.
  pending_pos_ = ReplyLength;
  pending_count_ = rcv_cnt_ - ReplyLength;
  rcv_cnt_ = 0;
  SetSocksState(SocksState::Data);
  auto alive = Lifetime().Token();
  FireSessionConnected(0);
  if (!alive || State() != wsConnected) return;
  // Deliver data that came with the reply (only when there is some: a
  // handler is not called to read nothing).
  if (pending_count_ > 0 || TCustomWSocket::RcvdCount() > 0) FireDataAvailable(0);
}

// ---- Replies -------------------------------------------------------------------

bool TCustomSocksWSocket::FireDataAvailable(Word Error) {
  if (socks_state_ == SocksState::Data) return TCustomWSocket::FireDataAvailable(Error);
  if (Error != 0) {
    SocksFail(Error, "data receive error");
    return true;
  }
  int room = static_cast<int>(sizeof rcv_buf_) - rcv_cnt_;
  if (room <= 0) {
    SocksFail(kSocksLogicError, "too much data availaible");
    return true;
  }
  int n = TCustomWSocket::RawReceive(rcv_buf_ + rcv_cnt_, room);
  if (n <= 0) return true;
  rcv_cnt_ += n;
  switch (socks_state_) {
    case SocksState::NegotiateMethods: MethodReply(); break;
    case SocksState::Authenticate: AuthenticationReply(); break;
    case SocksState::Connect:
      if (Level4())
        ConnectReply4();
      else
        ConnectReply5();
      break;
    default: SocksFail(kSocksInternalError, "internal error"); break;
  }
  return true;
}

void TCustomSocksWSocket::MethodReply() {
  if (Level4()) {
    SocksFail(kSocksLogicError, "TWSocket logic error");
    return;
  }
  if (rcv_cnt_ < 2) return;
  rcv_cnt_ = 0;
  if (rcv_buf_[0] != 5) {
    SocksFail(kSocksVersionError, "socks version error");
    return;
  }
  if (rcv_buf_[1] == 0) {
    if (socks_authentication_ == socksAuthenticateUsercode) {
      auto alive = Lifetime().Token();
      FireSocksAuthState(saNotRequired);
      if (!alive || socks_state_ != SocksState::NegotiateMethods) return;
    }
    SocksDoConnect();
  } else if (rcv_buf_[1] == 2) {
    SocksDoAuthenticate();
  } else {
    SocksFail(kSocksMethodRejected, "authentification method not acceptable");
  }
}

void TCustomSocksWSocket::AuthenticationReply() {
  if (rcv_buf_[0] != 1) {
    SocksFail(kSocksVersionError, "socks version error");
    return;
  }
  if (rcv_cnt_ > 2) {
    SocksFail(kSocksLogicError, "too much data availaible");
    return;
  }
  if (rcv_cnt_ < 2) return;
  if (rcv_buf_[1] != 0) {
    SocksFail(kSocksAuthenticationFailed, "socks authentication failed");
    return;
  }
  rcv_cnt_ = 0;
  auto alive = Lifetime().Token();
  FireSocksAuthState(saSucceeded);
  if (!alive || socks_state_ != SocksState::Authenticate) return;
  SocksDoConnect();
}

void TCustomSocksWSocket::ConnectReply4() {
  if (rcv_cnt_ < 8) return;
  if (rcv_buf_[0] != 0) {
    SocksFail(kSocksVersionError, "socks version error");
    return;
  }
  switch (rcv_buf_[1]) {
    case 90: SocksSucceeded(8); return;
    case 91: SocksFail(kSocksRequestRejected, "request rejected or failed"); return;
    case 92: SocksFail(kSocksConnectionRefused, "connection refused"); return;
    case 93: SocksFail(kSocksAuthenticationFailed, "authentification failed"); return;
    default: SocksFail(kSocksUnassignedError, "unassigned error #" + std::to_string(rcv_buf_[1])); return;
  }
}

void TCustomSocksWSocket::ConnectReply5() {
  if (rcv_buf_[0] != 5) {
    SocksFail(kSocksVersionError, "socks version error");
    return;
  }
  if (rcv_cnt_ < 2) return;
  const int reply = rcv_buf_[1];
  if (reply >= 1 && reply <= 8) {
    SocksFail(kSocksGeneralFailure + reply - 1, kReplyTexts[reply - 1]);
    return;
  }
  if (reply != 0) {
    SocksFail(kSocksUnassignedError, "unassigned error #" + std::to_string(reply));
    return;
  }
  if (rcv_cnt_ <= 4) return;
  const int type = rcv_buf_[3];
  const int length = type == 1 ? 10 : type == 3 ? 7 + rcv_buf_[4] : type == 4 ? 22 : 5;
  if (rcv_cnt_ < length) return;
  if (type == 1) {
    in_addr a{};
    std::memcpy(&a.s_addr, rcv_buf_ + 4, 4);
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    bound_addr_ = text;
    bound_port_ = std::to_string((rcv_buf_[8] << 8) | rcv_buf_[9]);
  } else if (type == 4) {
    in6_addr a{};
    std::memcpy(&a, rcv_buf_ + 4, 16);
    char text[INET6_ADDRSTRLEN];
    ::inet_ntop(AF_INET6, &a, text, sizeof text);
    bound_addr_ = text;
    bound_port_ = std::to_string((rcv_buf_[20] << 8) | rcv_buf_[21]);
  } else if (type == 3) {
    const int n = rcv_buf_[4];
    bound_addr_.assign(reinterpret_cast<const char*>(rcv_buf_ + 5), static_cast<size_t>(n));
    bound_port_ = std::to_string((rcv_buf_[5 + n] << 8) | rcv_buf_[6 + n]);
  } else {
    SocksFail(kSocksAddressNotSupported, "address type not supported");
    return;
  }
  SocksSucceeded(length);
}

void TCustomSocksWSocket::FireSessionClosed(Word Error) {
  if (socks_state_ == SocksState::Authenticate) {
    auto alive = Lifetime().Token();
    FireSocksAuthState(saFailed);
    if (!alive) return;
  }
  TCustomWSocket::FireSessionClosed(Error);
}

// ---- Reading behind the reply ------------------------------------------------

int TCustomSocksWSocket::RawReceive(void* Buffer, int BufferSize) {
  if (pending_count_ <= 0) return TCustomWSocket::RawReceive(Buffer, BufferSize);
  int n = BufferSize < pending_count_ ? BufferSize : pending_count_;
  if (n <= 0) return 0;
  std::memcpy(Buffer, rcv_buf_ + pending_pos_, static_cast<size_t>(n));
  pending_pos_ += n;
  pending_count_ -= n;
  return n;
}

int TCustomSocksWSocket::RcvdCount() {
  if (pending_count_ > 0) return pending_count_;
  return TCustomWSocket::RcvdCount();
}

}  // namespace quillon
