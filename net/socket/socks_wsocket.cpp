#include "net/socket/socks_wsocket.h"

#include <arpa/inet.h>

#include <cstring>
#include <typeinfo>

#include "base/strings.h"
#include "platform/event_loop.h"

namespace quillon {

namespace {

// Every request is assembled in a buffer of this size.
constexpr int kRequestSize = 128;

}  // namespace

// ---- Properties ----------------------------------------------------------------

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
  std::string v(TrimWS(Value));
  if (state_ != wsClosed) {
    if (v != socks_server_) RaiseSocketError("Can't change socks server if not closed");
    return;
  }
  socks_server_ = v;
  socks_server_assigned_ = !v.empty();
  addr_resolved_ = false;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
  std::string v(TrimWS(Value));
  if (state_ != wsClosed) {
    if (v != socks_port_) RaiseSocketError("Can't change socks port if not closed");
    return;
  }
  socks_port_ = v;
  port_resolved_ = false;
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
  if (state_ != wsClosed) {
    RaiseSocketError("Can't change socks level if not closed");
    return;
  }
  if (Value != "4" && Value != "4A" && Value != "4a" && Value != "5") {
    RaiseSocketError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  socks_level_ = UpperCase(Value);
}

void TCustomSocksWSocket::ResetFields() {
  TCustomWSocket::ResetFields();
  socks_state_ = SocksState::Data;
  socks_server_.clear();
  socks_port_.clear();
  socks_server_assigned_ = false;
  socks_level_ = "5";
  rcv_cnt_ = 0;
  pending_pos_ = 0;
  pending_count_ = 0;
}

// ---- Events --------------------------------------------------------------------

void TCustomSocksWSocket::FireSocksConnected(Word Error) { Fire(OnSocksConnected, this, Error); }
void TCustomSocksWSocket::FireSocksError(int Error, const std::string& Msg) { Fire(OnSocksError, this, Error, Msg); }
void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState AuthState) { Fire(OnSocksAuthState, this, AuthState); }

// ---- Connecting ----------------------------------------------------------------

void TCustomSocksWSocket::Connect() {
  if (!socks_server_assigned_) {
    TCustomWSocket::Connect();
    return;
  }
  if (LowerCase(proto_) != "tcp") {
    RaiseSocketError("tcp is the only protocol supported thru socks server");
    return;
  }
  try {
    if (!port_resolved_) {
      sin_.sin_port = htons(static_cast<uint16_t>(WSocketResolvePort(socks_port_, proto_)));
      port_resolved_ = true;
    }
    if (!addr_resolved_) {
      sin_.sin_addr = WSocketResolveHost(socks_server_);
      addr_resolved_ = true;
    }
    target_port_ = WSocketResolvePort(port_, proto_);
  } catch (const ESocketException& e) {
    RaiseSocketError("connect: " + e.Message());
    return;
  }
  socks_state_ = SocksState::NegotiateMethods;
  rcv_cnt_ = 0;
  pending_count_ = 0;
  bound_addr_.clear();
  bound_port_.clear();
  TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
  if (socks_server_assigned_) {
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
  auto token = LifeToken();
  FireSocksConnected(Error);
  if (token.expired()) return;
  if (Error != 0) {
    socks_state_ = SocksState::Data;
    TCustomWSocket::FireSessionConnected(Error);
    return;
  }
  if (Level4()) {
    SocksDoConnect();
    return;
  }
  unsigned char request[3] = {5, 1, static_cast<unsigned char>(socks_authentication_ == socksAuthenticateUsercode ? 2 : 0)};
  SendRequest(request, sizeof request);
}

void TCustomSocksWSocket::SendRequest(const unsigned char* Data, int Len) {
  try {
    Send(Data, Len);
  } catch (...) {
    // A failed send ends the connection, which reports itself.
  }
}

void TCustomSocksWSocket::SocksDoConnect() {
  unsigned char request[kRequestSize];
  int len = 0;
  socks_state_ = SocksState::Connect;
  rcv_cnt_ = 0;
  if (socks_level_ == "5") {
    // 5, 1, 0, 3, length, host name, port: the target travels as a name.
    if (addr_.size() > static_cast<size_t>(kRequestSize - 7)) {
      SocksFail(20014, "host name too long");
      return;
    }
    request[len++] = 5;
    request[len++] = 1;
    request[len++] = 0;
    request[len++] = 3;
    request[len++] = static_cast<unsigned char>(addr_.size());
    std::memcpy(request + len, addr_.data(), addr_.size());
    len += static_cast<int>(addr_.size());
  } else {
    // 4, 1, port, address, user code, 0 [, host name, 0 for 4A].
    const bool level4a = socks_level_ == "4A";
    if (!level4a && socks_usercode_.size() > static_cast<size_t>(kRequestSize - 9)) {
      SocksFail(20014, "user code too long");
      return;
    }
    if (level4a && socks_usercode_.size() + addr_.size() > static_cast<size_t>(kRequestSize - 10)) {
      SocksFail(20014, "user code and host name too long");
      return;
    }
    in_addr target{};
    if (level4a) {
      target.s_addr = htonl(1);  // 0.0.0.1: the server resolves the name
    } else {
      try {
        target = WSocketResolveHost(addr_);
      } catch (const std::exception& e) {
        SocksFail(20017, std::string(typeid(e) == typeid(ESocketException) ? "ESocketException" : "Exception") +
                             " " + e.what());
        return;
      }
    }
    request[len++] = 4;
    request[len++] = 1;
    request[len++] = static_cast<unsigned char>(target_port_ >> 8);
    request[len++] = static_cast<unsigned char>(target_port_);
    std::memcpy(request + len, &target.s_addr, 4);
    len += 4;
    std::memcpy(request + len, socks_usercode_.data(), socks_usercode_.size());
    len += static_cast<int>(socks_usercode_.size());
    request[len++] = 0;
    if (level4a) {
      std::memcpy(request + len, addr_.data(), addr_.size());
      len += static_cast<int>(addr_.size());
      request[len++] = 0;
    }
    SendRequest(request, len);
    return;
  }
  request[len++] = static_cast<unsigned char>(target_port_ >> 8);
  request[len++] = static_cast<unsigned char>(target_port_);
  SendRequest(request, len);
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
  if (socks_usercode_.size() + socks_password_.size() > static_cast<size_t>(kRequestSize - 3)) {
    SocksFail(20014, "user code and password too long");
    return;
  }
  unsigned char request[kRequestSize];
  int len = 0;
  socks_state_ = SocksState::Authenticate;
  rcv_cnt_ = 0;
  auto token = LifeToken();
  FireSocksAuthState(saStarting);
  if (token.expired() || socks_state_ != SocksState::Authenticate) return;
  request[len++] = 1;
  request[len++] = static_cast<unsigned char>(socks_usercode_.size());
  std::memcpy(request + len, socks_usercode_.data(), socks_usercode_.size());
  len += static_cast<int>(socks_usercode_.size());
  request[len++] = static_cast<unsigned char>(socks_password_.size());
  std::memcpy(request + len, socks_password_.data(), socks_password_.size());
  len += static_cast<int>(socks_password_.size());
  SendRequest(request, len);
}

void TCustomSocksWSocket::SocksFail(int Error, const std::string& Msg) {
  auto token = LifeToken();
  FireSocksError(Error, Msg);
  if (token.expired()) return;
  socks_state_ = SocksState::Data;
  FireSessionConnected(static_cast<Word>(Error));
  if (token.expired()) return;
  InternalClose(true, static_cast<Word>(Error));
}

void TCustomSocksWSocket::SocksSucceeded(int ReplyLength) {
  // Bytes behind the reply are the destination's first data.
  pending_pos_ = ReplyLength;
  pending_count_ = rcv_cnt_ - ReplyLength;
  rcv_cnt_ = 0;
  socks_state_ = SocksState::Data;
  auto token = LifeToken();
  FireSessionConnected(0);
  if (token.expired() || state_ != wsConnected) return;
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
    SocksFail(20001, "too much data availaible");
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
    default: SocksFail(20013, "internal error"); break;
  }
  return true;
}

void TCustomSocksWSocket::MethodReply() {
  if (Level4()) {
    SocksFail(20001, "TWSocket logic error");
    return;
  }
  if (rcv_cnt_ < 2) return;
  rcv_cnt_ = 0;
  if (rcv_buf_[0] != 5) {
    SocksFail(20002, "socks version error");
    return;
  }
  if (rcv_buf_[1] == 0) {
    if (socks_authentication_ == socksAuthenticateUsercode) {
      auto token = LifeToken();
      FireSocksAuthState(saNotRequired);
      if (token.expired() || socks_state_ != SocksState::NegotiateMethods) return;
    }
    SocksDoConnect();
  } else if (rcv_buf_[1] == 2) {
    SocksDoAuthenticate();
  } else {
    SocksFail(20003, "authentification method not acceptable");
  }
}

void TCustomSocksWSocket::AuthenticationReply() {
  if (rcv_buf_[0] != 1) {
    SocksFail(20002, "socks version error");
    return;
  }
  if (rcv_cnt_ > 2) {
    SocksFail(20001, "too much data availaible");
    return;
  }
  if (rcv_cnt_ < 2) return;
  if (rcv_buf_[1] != 0) {
    SocksFail(20015, "socks authentication failed");
    return;
  }
  rcv_cnt_ = 0;
  auto token = LifeToken();
  FireSocksAuthState(saSucceeded);
  if (token.expired() || socks_state_ != SocksState::Authenticate) return;
  SocksDoConnect();
}

void TCustomSocksWSocket::ConnectReply4() {
  if (rcv_cnt_ < 8) return;
  if (rcv_buf_[0] != 0) {
    SocksFail(20002, "socks version error");
    return;
  }
  switch (rcv_buf_[1]) {
    case 90: SocksSucceeded(8); return;
    case 91: SocksFail(20016, "request rejected or failed"); return;
    case 92: SocksFail(20008, "connection refused"); return;
    case 93: SocksFail(20015, "authentification failed"); return;
    default: SocksFail(20012, "unassigned error #" + std::to_string(rcv_buf_[1])); return;
  }
}

void TCustomSocksWSocket::ConnectReply5() {
  if (rcv_buf_[0] != 5) {
    SocksFail(20002, "socks version error");
    return;
  }
  if (rcv_cnt_ < 2) return;
  switch (rcv_buf_[1]) {
    case 0: break;
    case 1: SocksFail(20004, "general SOCKS server failure"); return;
    case 2: SocksFail(20005, "connection not allowed by ruleset"); return;
    case 3: SocksFail(20006, "network unreachable"); return;
    case 4: SocksFail(20007, "host unreachable"); return;
    case 5: SocksFail(20008, "connection refused"); return;
    case 6: SocksFail(20009, "time to live expired"); return;
    case 7: SocksFail(20010, "command not supported"); return;
    case 8: SocksFail(20011, "address type not supported"); return;
    default: SocksFail(20012, "unassigned error #" + std::to_string(rcv_buf_[1])); return;
  }
  if (rcv_cnt_ <= 4) return;
  const int type = rcv_buf_[3];
  const int length = type == 1 ? 10 : type == 3 ? 7 + rcv_buf_[4] : 5;
  if (rcv_cnt_ < length) return;
  if (type == 1) {
    in_addr a{};
    std::memcpy(&a.s_addr, rcv_buf_ + 4, 4);
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    bound_addr_ = text;
    bound_port_ = std::to_string((rcv_buf_[8] << 8) | rcv_buf_[9]);
  } else if (type == 3) {
    const int n = rcv_buf_[4];
    bound_addr_.assign(reinterpret_cast<const char*>(rcv_buf_ + 5), static_cast<size_t>(n));
    bound_port_ = std::to_string((rcv_buf_[5 + n] << 8) | rcv_buf_[6 + n]);
  } else {
    SocksFail(20011, "address type not supported");
    return;
  }
  SocksSucceeded(length);
}

void TCustomSocksWSocket::FireSessionClosed(Word Error) {
  if (socks_state_ == SocksState::Authenticate) {
    auto token = LifeToken();
    FireSocksAuthState(saFailed);
    if (token.expired()) return;
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
