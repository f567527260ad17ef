#include "net/socket/wsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "base/strings.h"
#include "platform/dns_lookup.h"
#include "platform/event_loop.h"
#include "platform/winsock_errors.h"

namespace quillon {

using platform::FD_ACCEPT;
using platform::FD_CLOSE;
using platform::FD_CONNECT;
using platform::FD_READ;
using platform::FD_WRITE;
using platform::LastSocketError;
using platform::SetLastSocketError;
using platform::SetLastSocketErrorFromErrno;

std::atomic<int> TCustomWSocket::living_sockets_{0};

namespace {

std::string Trimmed(const std::string& s) { return std::string(TrimWS(s)); }

std::string Dotted(in_addr a) {
  char text[INET_ADDRSTRLEN];
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

// inet_addr: INADDR_NONE for text that is not an address.
uint32_t InetAddr(const std::string& s) { return ::inet_addr(s.c_str()); }

}  // namespace

// ---- Construction -------------------------------------------------------------

TCustomWSocket::TCustomWSocket()
    : target_(static_cast<platform::MessageHandler*>(this)), notifier_(&target_) {
  ResetFields();
  living_sockets_.fetch_add(1);
}

TCustomWSocket::~TCustomWSocket() {
  destroying_ = true;
  // The parts of subclasses are gone: no event reaches their handlers now.
  OnChangeState = nullptr;
  OnDnsLookupDone = nullptr;
  OnSessionClosed = nullptr;
  OnError = nullptr;
  try {
    CancelDnsLookup();
  } catch (...) {
  }
  try {
    if (state_ != wsClosed) Close();
  } catch (...) {
  }
  CloseHandle();
  living_sockets_.fetch_sub(1);
}

int TCustomWSocket::LivingSocketCount() { return living_sockets_.load(); }

void TCustomWSocket::BeginConnection() {
  // A connection that a failed system call ended (SocketError) never went
  // through ResetFields: its "close reported" flag must not reach this one.
  close_notified_ = false;
}

void TCustomWSocket::ResetFields() {
  std::memset(&sin_, 0, sizeof sin_);
  sin_.sin_family = AF_INET;
  addr_assigned_ = port_assigned_ = false;
  addr_resolved_ = port_resolved_ = proto_resolved_ = local_port_resolved_ = false;
  proto_assigned_ = true;
  proto_number_ = 6;
  proto_ = "tcp";
  socket_type_ = 1;
  local_port_ = "0";
  local_addr_ = "0.0.0.0";
  local_port_number_ = 0;
  linger_on_off_ = wsLingerOn;
  linger_timeout_ = 0;
  hsocket_ = INVALID_SOCKET;
  select_mask_ = 0;
  state_ = wsClosed;
  all_sent_ = true;
  paused_ = false;
  read_count_ = 0;
  close_notified_ = false;
}

// ---- Properties ----------------------------------------------------------------

// The remote texts may change only while closed; assigning the same text again
// is always accepted (and counts as assigning it).
void TCustomWSocket::SetClosedOnlyText(std::string& field, bool& assigned, bool& resolved,
                                       const std::string& value, const char* message) {
  std::string v = Trimmed(value);
  if (state_ != wsClosed) {
    if (v != field) RaiseSocketError(std::string(message));
    return;
  }
  field = v;
  assigned = !v.empty();
  resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
  SetClosedOnlyText(addr_, addr_assigned_, addr_resolved_, Value, "Cannot change Addr if not closed");
}

void TCustomWSocket::SetPort(const std::string& Value) {
  SetClosedOnlyText(port_, port_assigned_, port_resolved_, Value, "Cannot change Port if not closed");
}

void TCustomWSocket::SetProto(const std::string& Value) {
  SetClosedOnlyText(proto_, proto_assigned_, proto_resolved_, Value,
                    "Cannot change Proto if not closed");
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
  if (state_ != wsClosed) {
    RaiseSocketError("Cannot change LocalAddr if not closed");
    return;
  }
  local_addr_ = Value.empty() ? "0.0.0.0" : Value;
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
  if (state_ != wsClosed) {
    RaiseSocketError("Cannot change LocalPort if not closed");
    return;
  }
  local_port_ = Value;
  local_port_resolved_ = false;
}

TSocketSendFlags TCustomWSocket::SendFlags() {
  switch (send_flags_) {
    case 0: return wsSendNormal;
    case MSG_OOB: return wsSendUrgent;
    default:
      RaiseSocketError("Invalid internal SendFlags");
      return wsSendNormal;
  }
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
  switch (Value) {
    case wsSendNormal: send_flags_ = 0; break;
    case wsSendUrgent: send_flags_ = MSG_OOB; break;
    default: RaiseSocketError("Invalid SendFlags");
  }
}

int TCustomWSocket::RcvdCount() {
  if (hsocket_ == INVALID_SOCKET) return 0;
  int n = 0;
  if (::ioctl(hsocket_, FIONREAD, &n) != 0) {
    SetLastSocketErrorFromErrno();
    return -1;
  }
  return n;
}

int64_t TCustomWSocket::BufferedByteCount() const {
  int64_t n = 0;
  for (const auto& b : send_queue_) n += b->Filled() - b->Taken();
  return n;
}

std::vector<int> TCustomWSocket::SendQueueBlockSizes() const {
  std::vector<int> sizes;
  for (const auto& b : send_queue_) sizes.push_back(b->Filled() - b->Taken());
  return sizes;
}

std::string TCustomWSocket::PeerAddr() {
  if (state_ != wsConnected) return "error";
  TSockAddrIn a{};
  socklen_t len = sizeof a;
  if (::getpeername(hsocket_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    SetLastSocketErrorFromErrno();
    SocketError("GetPeerName");
    return "error";
  }
  return Dotted(a.sin_addr);
}

std::string TCustomWSocket::PeerPort() {
  if (state_ != wsConnected) return "error";
  TSockAddrIn a{};
  socklen_t len = sizeof a;
  if (::getpeername(hsocket_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    SetLastSocketErrorFromErrno();
    SocketError("GetPeerPort");
    return "error";
  }
  return std::to_string(ntohs(a.sin_port));
}

std::string TCustomWSocket::BoundAddr() {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return "error";
  TSockAddrIn a{};
  socklen_t len = sizeof a;
  if (::getsockname(hsocket_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "error";
  return Dotted(a.sin_addr);
}

std::string TCustomWSocket::BoundPort() {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return "error";
  TSockAddrIn a{};
  socklen_t len = sizeof a;
  if (::getsockname(hsocket_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "error";
  return std::to_string(ntohs(a.sin_port));
}

// ---- Failure paths -----------------------------------------------------------

void TCustomWSocket::RaiseSocketError(const std::string& Msg) {
  if (OnError)
    FireError();
  else
    throw ESocketException(Msg);
}

void TCustomWSocket::RaiseSocketError(const char* Fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, Fmt);
  std::vsnprintf(buf, sizeof buf, Fmt, ap);
  va_end(ap);
  RaiseSocketError(std::string(buf));
}

void TCustomWSocket::SocketError(const std::string& FuncName) {
  int err = LastSocketError();
  std::string msg = "Error " + std::to_string(err) + " in function " + FuncName + "\r\n" + SocketErrorText(err);
  if (err == platform::WSAECONNRESET || err == platform::WSAENOTCONN) {
    auto token = LifeToken();
    CloseHandle();
    if (state_ != wsClosed && !close_notified_) {
      close_notified_ = true;
      FireSessionClosed(static_cast<Word>(err));
      if (token.expired()) return;
    }
    if (state_ != wsClosed) ChangeState(wsClosed);
    if (token.expired()) return;
  }
  last_error_ = err;
  RaiseSocketError(msg);
}

void TCustomWSocket::HandleBackgroundException(const std::exception& E) {
  auto token = LifeToken();
  bool can_close = true;
  try {
    Fire(OnBgException, this, E, can_close);
  } catch (...) {
  }
  if (token.expired()) return;
  if (can_close) {
    try {
      Abort();
    } catch (...) {
    }
  }
}

// ---- Events --------------------------------------------------------------------

bool TCustomWSocket::FireDataAvailable(Word Error) {
  if (!OnDataAvailable) return false;
  Fire(OnDataAvailable, this, Error);
  return true;
}
void TCustomWSocket::FireSessionAvailable(Word Error) { Fire(OnSessionAvailable, this, Error); }
void TCustomWSocket::FireSessionConnected(Word Error) { Fire(OnSessionConnected, this, Error); }
void TCustomWSocket::FireSessionClosed(Word Error) { Fire(OnSessionClosed, this, Error); }
void TCustomWSocket::FireDataSent(Word Error) { Fire(OnDataSent, this, Error); }
void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState) {
  Fire(OnChangeState, this, OldState, NewState);
}
void TCustomWSocket::FireDnsLookupDone(Word Error) { Fire(OnDnsLookupDone, this, Error); }
void TCustomWSocket::FireError() { Fire(OnError, this); }

void TCustomWSocket::ChangeState(TSocketState NewState) {
  TSocketState old = state_;
  state_ = NewState;
  FireChangeState(old, NewState);
}

// ---- Message handling ----------------------------------------------------------

void TCustomWSocket::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  auto token = LifeToken();
  try {
    WndProc(msg, wParam, lParam);
  } catch (const std::exception& e) {
    if (!token.expired()) HandleBackgroundException(e);
  } catch (...) {
    if (!token.expired()) HandleBackgroundException(ESocketException("Unknown exception"));
  }
}

void TCustomWSocket::WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  switch (Msg) {
    case WM_ASYNCSELECT: Do_FD_Notify(WParam, LParam); break;
    case WM_ASYNCGETHOSTBYNAME: DnsLookupDone(WParam, LParam, false); break;
    case WM_ASYNCGETHOSTBYADDR: DnsLookupDone(WParam, LParam, true); break;
    case WM_CLOSE_DELAYED: Close(); break;
    case WM_WSOCKET_RELEASE: delete this; break;
    case WM_TRIGGER_EXCEPTION: throw ESocketException("Test exception in WSocket");
    default: break;
  }
}

void TCustomWSocket::Do_FD_Notify(uintptr_t WParam, intptr_t LParam) {
  if (static_cast<TSocket>(WParam) != hsocket_ || paused_) return;
  const TSocket handle = hsocket_;
  const uint16_t bits = static_cast<uint16_t>(LParam & 0xFFFF);
  const Word error = static_cast<Word>((LParam >> 16) & 0xFFFF);
  auto token = LifeToken();
  // One message may carry several events; each later step belongs to the
  // same handle only as long as the socket still has it.
  auto gone = [&] { return token.expired() || hsocket_ != handle; };

  if (bits & FD_CONNECT) {
    if (state_ != wsConnected) {
      ChangeState(wsConnected);
      if (gone()) return;
      FireSessionConnected(error);
      if (token.expired()) return;
      if (error != 0 && state_ != wsClosed) Close();
      if (gone()) return;
    }
  }
  if (bits & FD_READ) {
    if (state_ != wsConnected) {
      ChangeState(wsConnected);
      if (gone()) return;
      FireSessionConnected(error);
      if (gone()) return;
    }
    ReceiveLoop(error, component_options_);
    if (gone()) return;
  }
  if (bits & FD_WRITE) {
    TryToSend();
    if (gone()) return;
    if (all_sent_) FireDataSent(error);
    if (gone()) return;
  }
  if (bits & FD_ACCEPT) {
    FireSessionAvailable(error);
    if (gone()) return;
  }
  if (bits & FD_CLOSE) {
    if (state_ != wsConnecting) {
      TWSocketOptions drain = component_options_;
      ReceiveLoop(0, drain.Exclude(wsoNoReceiveLoop), /*Drain=*/true);
      if (token.expired()) return;
      if (!close_notified_) {
        close_notified_ = true;
        FireSessionClosed(error);
        if (token.expired()) return;
      }
      if (state_ != wsClosed) Close();
    }
  }
}

void TCustomWSocket::ReceiveLoop(Word Error, TWSocketOptions Options, bool Drain) {
  auto token = LifeToken();
  const auto count_before = read_count_;
  for (int round = 1;; ++round) {
    last_error_ = 0;
    if (!FireDataAvailable(Error)) {
      if (token.expired()) return;
      if (hsocket_ == INVALID_SOCKET) return;
      char discard[1024];
      ssize_t n = ::recv(hsocket_, discard, sizeof discard, 0);
      if (n < 0) {
        int err = SetLastSocketErrorFromErrno();
        last_error_ = err == platform::WSAEWOULDBLOCK ? 0 : err;
        if (last_error_ == 0) return;
      }
    }
    if (token.expired()) return;
    if (Options.Contains(wsoNoReceiveLoop)) return;
    if (last_error_ != 0) return;
    if (hsocket_ == INVALID_SOCKET) return;
    int pending = 0;
    if (::ioctl(hsocket_, FIONREAD, &pending) != 0) {
      last_error_ = SetLastSocketErrorFromErrno();
      return;
    }
    if (pending == 0) return;
    if (!Drain && (round >= kReceiveRounds || read_count_ - count_before >= kReceiveBudget)) return;
  }
}

void TCustomWSocket::DnsLookupDone(uintptr_t WParam, intptr_t LParam, bool Reverse) {
  // Completions are always queued after the call that started the lookup
  // returned, so one for no pending lookup belongs to nobody.
  if (dns_lookup_handle_ == 0 || WParam != dns_lookup_handle_) return;
  dns_lookup_handle_ = 0;
  Word error = static_cast<Word>((LParam >> 16) & 0xFFFF);
  platform::HostEntry entry = platform::TakeLookupResult(static_cast<uint32_t>(WParam));
  if (error == 0) {
    if (Reverse) {
      dns_result_ = entry.name;
      dns_result_list_.assign(1, entry.name);
    } else if (entry.addresses.empty()) {
      error = platform::WSANO_DATA;
    } else {
      dns_result_list_ = entry.addresses;
      dns_result_ = entry.addresses.front();
    }
  }
  FireDnsLookupDone(error);
}

// ---- Connecting ----------------------------------------------------------------

void TCustomWSocket::ResolveTexts(bool Listening) {
  if (!proto_resolved_) {
    proto_number_ = WSocketResolveProto(proto_);
    if (Listening)
      socket_type_ = proto_number_ == IPPROTO_UDP ? 2 : 1;
    else
      socket_type_ = proto_number_ == IPPROTO_TCP ? 1 : proto_number_ == IPPROTO_UDP ? 2 : 3;
    proto_resolved_ = true;
  }
  if (!port_resolved_) {
    sin_.sin_port = htons(static_cast<uint16_t>(WSocketResolvePort(port_, proto_)));
    port_resolved_ = true;
  }
  if (!Listening && !local_port_resolved_) {
    local_port_number_ = WSocketResolvePort(local_port_, proto_);
    local_port_resolved_ = true;
  }
  if (!addr_resolved_) {
    sin_.sin_addr = WSocketResolveHost(addr_);
    addr_resolved_ = true;
  }
}

void TCustomWSocket::Connect() {
  if (hsocket_ != INVALID_SOCKET && state_ != wsClosed) {
    RaiseSocketError("Connect: Socket already in use");
    return;
  }
  if (!port_assigned_) {
    RaiseSocketError("Connect: No Port Specified");
    return;
  }
  if (!addr_assigned_) {
    RaiseSocketError("Connect: No IP Address Specified");
    return;
  }
  if (!proto_assigned_) {
    RaiseSocketError("Connect: No Protocol Specified");
    return;
  }
  try {
    ResolveTexts(false);
  } catch (const ESocketException& e) {
    RaiseSocketError("connect: " + e.Message());
    return;
  }

  DropSendQueue();
  int type = socket_type_ == 1 ? SOCK_STREAM : socket_type_ == 2 ? SOCK_DGRAM : SOCK_RAW;
  hsocket_ = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, proto_number_);
  if (hsocket_ == INVALID_SOCKET) {
    SetLastSocketErrorFromErrno();
    SocketError("Connect (socket)");
    return;
  }
  BeginConnection();
  auto token = LifeToken();
  ChangeState(wsOpened);
  if (token.expired()) return;
  if (state_ != wsOpened) {
    SetLastSocketError(platform::WSAEINVAL);
    SocketError("Connect (Invalid operation in OnChangeState)");
    return;
  }

  int one = 1;
  if (socket_type_ == 2) {
    BindSocket();
    if (multi_cast_) {
      if (multi_cast_ip_ttl_ != 1) {
        unsigned char ttl = static_cast<unsigned char>(multi_cast_ip_ttl_);
        if (::setsockopt(hsocket_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
          SetLastSocketErrorFromErrno();
          SocketError("setsockopt(IP_MULTICAST_TTL)");
          return;
        }
      }
      if (local_addr_ != "0.0.0.0") {
        in_addr iface{};
        iface.s_addr = InetAddr(local_addr_);
        if (::setsockopt(hsocket_, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0) {
          SetLastSocketErrorFromErrno();
          SocketError("setsockopt(IP_MULTICAST_IF)");
          return;
        }
      }
    }
    if (sin_.sin_addr.s_addr == INADDR_BROADCAST) {
      if (::setsockopt(hsocket_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        SetLastSocketErrorFromErrno();
        SocketError("setsockopt(SO_BROADCAST)");
        return;
      }
    }
  } else {
    if (::setsockopt(hsocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
      SetLastSocketErrorFromErrno();
      SocketError("setsockopt(SO_REUSEADDR)");
      return;
    }
    if (component_options_.Contains(wsoTcpNoDelay) &&
        ::setsockopt(hsocket_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
      SetLastSocketErrorFromErrno();
      SocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
      return;
    }
    ApplyLinger();
    if (::setsockopt(hsocket_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0) {
      SetLastSocketErrorFromErrno();
      SocketError("setsockopt(SO_KEEPALIVE)");
      return;
    }
    if (local_port_number_ != 0 || local_addr_ != "0.0.0.0") BindSocket();
  }

  select_mask_ = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
  notifier_.Select(hsocket_, select_mask_);

  if (socket_type_ == 2) {
    ChangeState(wsConnected);
    if (token.expired()) return;
    FireSessionConnected(0);
    return;
  }
  if (::connect(hsocket_, reinterpret_cast<sockaddr*>(&sin_), sizeof sin_) == 0 || errno == EINPROGRESS ||
      errno == EAGAIN) {
    notifier_.ConnectStarted();
    ChangeState(wsConnecting);
    return;
  }
  int err = SetLastSocketErrorFromErrno();
  if (err == platform::WSAECONNREFUSED || err == platform::WSAENETUNREACH ||
      err == platform::WSAEHOSTUNREACH || err == platform::WSAETIMEDOUT) {
    // The attempt itself failed: reported from the event loop like a
    // connection that fails after a while.
    notifier_.ConnectFailed(err);
    ChangeState(wsConnecting);
    return;
  }
  last_error_ = err;
  SocketError("Connect");
}

void TCustomWSocket::BindSocket() {
  TSockAddrIn local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(local_port_number_));
  local.sin_addr = WSocketResolveHost(local_addr_);
  if (::bind(hsocket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    RaiseSocketError("winsock.bind failed, error #%d", SetLastSocketErrorFromErrno());
    return;
  }
  socklen_t len = sizeof local;
  if (::getsockname(hsocket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    RaiseSocketError("winsock.getsockname failed, error #%d", SetLastSocketErrorFromErrno());
    return;
  }
  local_port_number_ = ntohs(local.sin_port);
  local_port_ = std::to_string(local_port_number_);
}

void TCustomWSocket::ApplyLinger() {
  if (linger_on_off_ == wsLingerNoSet) return;
  if (hsocket_ == INVALID_SOCKET) {
    RaiseSocketError("Cannot set linger option at this time");
    return;
  }
  // An "on" linger with no time would make every close a reset that throws
  // away data the peer has not received yet: only a real timeout lingers.
  linger l{};
  if (linger_on_off_ == wsLingerOn && linger_timeout_ > 0) {
    l.l_onoff = 1;
    l.l_linger = linger_timeout_;
  }
  if (::setsockopt(hsocket_, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) {
    SetLastSocketErrorFromErrno();
    SocketError("setsockopt(SO_LINGER)");
  }
}

// ---- Closing -------------------------------------------------------------------

void TCustomWSocket::CloseHandle() {
  if (hsocket_ == INVALID_SOCKET) return;
  notifier_.Release();
  target_.DropPending(WM_ASYNCSELECT, static_cast<uintptr_t>(hsocket_));
  ::close(hsocket_);
  hsocket_ = INVALID_SOCKET;
}

void TCustomWSocket::Close() { InternalClose(true, 0); }

void TCustomWSocket::InternalClose(bool Shut, Word Error) {
  if (hsocket_ == INVALID_SOCKET) {
    if (state_ != wsClosed) {
      auto token = LifeToken();
      ChangeState(wsClosed);
      if (token.expired()) return;
      ResetFields();
    }
    return;
  }
  if (state_ == wsClosed) return;
  if (Shut) Shutdown(1);
  CloseHandle();
  auto token = LifeToken();
  ChangeState(wsClosed);
  if (token.expired()) return;
  if (!destroying_ && !close_notified_) {
    close_notified_ = true;
    FireSessionClosed(Error);
    if (token.expired()) return;
  }
  try {
    ResetFields();
  } catch (...) {
  }
}

void TCustomWSocket::Abort() {
  auto token = LifeToken();
  CancelDnsLookup();  // may fire OnDnsLookupDone
  if (token.expired()) return;
  DropSendQueue();
  if (state_ == wsConnected && proto_number_ == IPPROTO_TCP && hsocket_ != INVALID_SOCKET) {
    linger_on_off_ = wsLingerOff;
    // Closing with a zero linger time resets the connection.
    linger l{1, 0};
    ::setsockopt(hsocket_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  }
  InternalClose(false, 0);
}

void TCustomWSocket::CloseLater() { target_.Post(WM_CLOSE_DELAYED, 0, 0); }
void TCustomWSocket::FreeLater() { target_.Post(WM_WSOCKET_RELEASE, 0, 0); }

void TCustomWSocket::Shutdown(int How) {
  if (hsocket_ != INVALID_SOCKET) ::shutdown(hsocket_, How);
}

void TCustomWSocket::WaitUntilClosed() {
  auto token = LifeToken();
  while (hsocket_ != INVALID_SOCKET && state_ != wsClosed) {
    PumpMessages();
    if (token.expired() || hsocket_ == INVALID_SOCKET) return;
    int pending = 0;
    if (::ioctl(hsocket_, FIONREAD, &pending) != 0) return;
    if (pending > 0) {
      FireDataAvailable(0);
      if (token.expired() || hsocket_ == INVALID_SOCKET) return;
    }
    char c;
    if (::recv(hsocket_, &c, 0, MSG_DONTWAIT) < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    PumpMessages();
    if (token.expired()) return;
    platform::Sleep(0);
  }
}

void TCustomWSocket::PumpMessages() {
  platform::ProcessMessages();
  if (platform::ApplicationTerminating()) terminated_ = true;
}

void TCustomWSocket::Pause() {
  paused_ = true;
  if (hsocket_ != INVALID_SOCKET) notifier_.Select(hsocket_, 0);
}

void TCustomWSocket::Resume() {
  paused_ = false;
  if (hsocket_ != INVALID_SOCKET) notifier_.Select(hsocket_, select_mask_);
}

// ---- Listening -------------------------------------------------------------------

void TCustomWSocket::Listen() {
  if (!port_assigned_) {
    SetLastSocketError(platform::WSAEINVAL);
    SocketError("listen: port not assigned");
    return;
  }
  if (!proto_assigned_) {
    SetLastSocketError(platform::WSAEINVAL);
    SocketError("listen: protocol not assigned");
    return;
  }
  if (!addr_assigned_) {
    SetLastSocketError(platform::WSAEINVAL);
    SocketError("listen: address not assigned");
    return;
  }
  try {
    ResolveTexts(true);
  } catch (const ESocketException& e) {
    RaiseSocketError("listen: " + e.Message());
    return;
  }
  DropSendQueue();
  int type = socket_type_ == 2 ? SOCK_DGRAM : SOCK_STREAM;
  hsocket_ = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, proto_number_);
  if (hsocket_ == INVALID_SOCKET) {
    SetLastSocketErrorFromErrno();
    SocketError("socket");
    return;
  }
  BeginConnection();
  int one = 1;
  if (socket_type_ == 2 && reuse_addr_ &&
      ::setsockopt(hsocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    SetLastSocketErrorFromErrno();
    SocketError("setsockopt(SO_REUSEADDR)");
    return;
  }
  if (::bind(hsocket_, reinterpret_cast<sockaddr*>(&sin_), sizeof sin_) != 0) {
    // The socket never left wsClosed: its handle is closed here.
    int err = SetLastSocketErrorFromErrno();
    CloseHandle();
    SetLastSocketError(err);
    SocketError("Bind");
    return;
  }
  auto token = LifeToken();
  // Each handler below may close or destroy the socket.
  auto gone = [&] { return token.expired() || hsocket_ == INVALID_SOCKET; };
  ChangeState(wsBound);
  if (gone()) return;
  if (socket_type_ == 2 && multi_cast_) {
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = InetAddr(multi_cast_addr_str_);
    mreq.imr_interface = WSocketResolveHost(addr_);
    if (::setsockopt(hsocket_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
      SetLastSocketErrorFromErrno();
      SocketError("setsockopt(IP MULTICAST)");
      return;
    }
  }
  if (socket_type_ == 1) {
    if (::listen(hsocket_, 5) != 0) {
      SetLastSocketErrorFromErrno();
      SocketError("Listen");
      return;
    }
    ChangeState(wsListening);
  } else {
    ChangeState(wsListening);
    if (gone()) return;
    ChangeState(wsConnected);
    if (gone()) return;
    FireSessionConnected(0);
  }
  if (gone()) return;
  select_mask_ = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
  notifier_.Select(hsocket_, select_mask_);
}

TSocket TCustomWSocket::Accept() {
  if (state_ != wsListening) {
    SetLastSocketError(platform::WSAEINVAL);
    SocketError("not a listening socket");
    return INVALID_SOCKET;
  }
  socklen_t len = sizeof sin_;
  TSocket s = ::accept4(hsocket_, reinterpret_cast<sockaddr*>(&sin_), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) {
    SetLastSocketErrorFromErrno();
    SocketError("Accept");
    return INVALID_SOCKET;
  }
  return s;
}

void TCustomWSocket::Dup(TSocket NewHSocket) {
  if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
    SetLastSocketError(platform::WSAEINVAL);
    SocketError("Dup");
    return;
  }
  auto token = LifeToken();
  if (state_ != wsClosed) {
    CloseHandle();
    ChangeState(wsClosed);
    if (token.expired()) {
      ::close(NewHSocket);  // nobody is left to adopt the handle
      return;
    }
  }
  BeginConnection();
  // Bytes left from an earlier connection never go out on this one.
  DropSendQueue();
  hsocket_ = NewHSocket;
  int flags = ::fcntl(hsocket_, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(hsocket_, F_SETFL, flags | O_NONBLOCK);
  ApplyLinger();
  select_mask_ = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
  notifier_.Select(hsocket_, select_mask_);
  ChangeState(wsConnected);
}

// ---- Receiving -----------------------------------------------------------------

int TCustomWSocket::RawReceive(void* Buffer, int BufferSize) {
  if (hsocket_ == INVALID_SOCKET) {
    SetLastSocketError(platform::WSAENOTSOCK);
    last_error_ = platform::WSAENOTSOCK;
    return -1;
  }
  ssize_t n = ::recv(hsocket_, Buffer, static_cast<size_t>(BufferSize < 0 ? 0 : BufferSize), 0);
  if (n < 0) {
    last_error_ = SetLastSocketErrorFromErrno();
    return -1;
  }
  return static_cast<int>(n);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
  int n = RawReceive(Buffer, BufferSize);
  if (n > 0) read_count_ += n;
  return n;
}

std::string TCustomWSocket::ReceiveString() {
  int count = RcvdCount();
  if (count < 0) return "";
  if (count == 0) count = 255;
  std::string s(static_cast<size_t>(count), '\0');
  int n = Receive(s.data(), count);
  if (n <= 0) return "";
  s.resize(static_cast<size_t>(n));
  return s;
}

int TCustomWSocket::RawReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From, int& FromLen) {
  socklen_t len = static_cast<socklen_t>(FromLen);
  ssize_t n = ::recvfrom(hsocket_, Buffer, static_cast<size_t>(BufferSize < 0 ? 0 : BufferSize), 0,
                         reinterpret_cast<sockaddr*>(&From), &len);
  if (n < 0) {
    last_error_ = SetLastSocketErrorFromErrno();
    return -1;
  }
  FromLen = static_cast<int>(len);
  return static_cast<int>(n);
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, TSockAddrIn& From, int& FromLen) {
  int n = RawReceiveFrom(Buffer, BufferSize, From, FromLen);
  if (n > 0) read_count_ += n;
  return n;
}

int TCustomWSocket::GetPeerName(TSockAddrIn& Name, int NameLen) {
  if (state_ != wsConnected) return -1;
  socklen_t len = static_cast<socklen_t>(NameLen);
  if (::getpeername(hsocket_, reinterpret_cast<sockaddr*>(&Name), &len) != 0) {
    last_error_ = SetLastSocketErrorFromErrno();
    return -1;
  }
  return 0;
}

int TCustomWSocket::GetSockName(TSockAddrIn& Name, int& NameLen) {
  socklen_t len = static_cast<socklen_t>(NameLen);
  if (::getsockname(hsocket_, reinterpret_cast<sockaddr*>(&Name), &len) != 0) {
    last_error_ = SetLastSocketErrorFromErrno();
    return -1;
  }
  NameLen = static_cast<int>(len);
  return 0;
}

// ---- Sending ---------------------------------------------------------------------

void TCustomWSocket::DropSendQueue() {
  send_queue_.clear();
  all_sent_ = true;
}

void TCustomWSocket::QueueData(const void* Data, int Len) {
  if (Len <= 0) return;
  const char* p = static_cast<const char*>(Data);
  if (send_queue_.empty()) send_queue_.push_back(std::make_unique<TBuffer>(send_block_size_));
  int n = send_queue_.back()->Write(p, Len);
  while (n < Len) {
    send_queue_.push_back(std::make_unique<TBuffer>(send_block_size_));
    n += send_queue_.back()->Write(p + n, Len - n);
  }
}

int TCustomWSocket::RawSend(const void* Data, int Len) {
  ssize_t n;
  if (socket_type_ == 2)
    n = ::sendto(hsocket_, Data, static_cast<size_t>(Len), send_flags_ | MSG_NOSIGNAL,
                 reinterpret_cast<sockaddr*>(&sin_), sizeof sin_);
  else
    n = ::send(hsocket_, Data, static_cast<size_t>(Len), send_flags_ | MSG_NOSIGNAL);
  if (n < 0) {
    SetLastSocketErrorFromErrno();
    return -1;
  }
  if (n > 0) Fire(OnSendData, this, static_cast<int>(n));
  return static_cast<int>(n);
}

void TCustomWSocket::TryToSend() {
  if (hsocket_ == INVALID_SOCKET || send_queue_.empty()) return;
  auto token = LifeToken();
  for (;;) {
    TBuffer& block = *send_queue_.front();
    int len = 0;
    const char* data = block.Peek(len);
    if (len > 0) {
      int n = RawSend(data, len);
      if (token.expired()) return;
      if (n > 0) {
        if (send_queue_.empty()) return;  // a handler closed and reconnected
        send_queue_.front()->Remove(n);
        if (n < len) {
          notifier_.SendWouldBlock();
          return;
        }
        continue;
      }
      if (n == 0) return;
      int err = LastSocketError();
      if (err == platform::WSAEWOULDBLOCK) {
        notifier_.SendWouldBlock();
        return;
      }
      if (err == platform::WSAEINVAL || err == platform::WSAENOTSOCK || err == platform::WSAECONNABORTED ||
          err == platform::WSAECONNRESET || err == platform::WSAENOTCONN) {
        close_notified_ = true;
        Close();
        if (token.expired()) return;
        FireSessionClosed(static_cast<Word>(err));
        return;
      }
      SocketError("TryToSend failed");
      return;
    }
    if (send_queue_.size() > 1) {
      send_queue_.pop_front();
      continue;
    }
    all_sent_ = true;
    return;
  }
}

int TCustomWSocket::Send(const void* Data, int Len) {
  if (state_ != wsConnected) {
    SetLastSocketError(platform::WSAENOTCONN);
    SocketError("Send");
    return -1;
  }
  if (Len <= 0) return 0;  // nothing queued: the "all sent" flag stays as it was
  all_sent_ = false;
  QueueData(Data, Len);
  auto token = LifeToken();
  TryToSend();
  if (token.expired()) return Len;
  if (all_sent_ && hsocket_ != INVALID_SOCKET)
    target_.Post(WM_ASYNCSELECT, static_cast<uintptr_t>(hsocket_), FD_WRITE);
  return Len;
}

int TCustomWSocket::SendString(const std::string& Str) {
  if (Str.empty()) return 0;
  return Send(Str.data(), static_cast<int>(Str.size()));
}

int TCustomWSocket::SendTo(const TSockAddrIn& Dest, int DestLen, const void* Data, int Len) {
  TSockAddrIn to = Dest;
  ssize_t n = ::sendto(hsocket_, Data, static_cast<size_t>(Len < 0 ? 0 : Len), send_flags_ | MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&to), static_cast<socklen_t>(DestLen));
  if (n < 0) {
    last_error_ = SetLastSocketErrorFromErrno();
    return -1;
  }
  if (n > 0) Fire(OnSendData, this, static_cast<int>(n));
  return static_cast<int>(n);
}

void TCustomWSocket::Flush() {
  auto token = LifeToken();
  while (hsocket_ != INVALID_SOCKET && BufferedByteCount() > 0) {
    TryToSend();
    if (token.expired()) return;
    PumpMessages();
    if (token.expired()) return;
  }
}

// ---- Name lookup -----------------------------------------------------------------

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (HostName.empty()) {
    RaiseSocketError("DNS lookup: invalid host name.");
    FireDnsLookupDone(platform::WSAEINVAL);
    return;
  }
  if (dns_lookup_handle_ != 0) {
    platform::CancelLookup(dns_lookup_handle_);
    dns_lookup_handle_ = 0;
  }
  dns_result_.clear();
  dns_result_list_.clear();
  if (IsDottedIP(HostName)) {
    uint32_t a = InetAddr(Trimmed(HostName));
    if (a != INADDR_NONE) {
      in_addr ia{};
      ia.s_addr = a;
      dns_result_ = Dotted(ia);
      dns_result_list_.push_back(dns_result_);
      FireDnsLookupDone(0);
      return;
    }
  }
  dns_lookup_handle_ = platform::StartNameLookup(&target_, WM_ASYNCGETHOSTBYNAME, HostName);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  if (HostAddr.empty() || HostAddr.size() > 256) {
    RaiseSocketError("ReverseDnsLookup: Invalid host name.");
    FireDnsLookupDone(platform::WSAEINVAL);
    return;
  }
  if (dns_lookup_handle_ != 0) {
    platform::CancelLookup(dns_lookup_handle_);
    dns_lookup_handle_ = 0;
  }
  dns_result_.clear();
  dns_result_list_.clear();
  dns_lookup_handle_ = platform::StartAddressLookup(&target_, WM_ASYNCGETHOSTBYADDR, InetAddr(HostAddr));
}

void TCustomWSocket::CancelDnsLookup() {
  if (dns_lookup_handle_ == 0) return;
  bool ok = platform::CancelLookup(dns_lookup_handle_);
  dns_lookup_handle_ = 0;
  if (!ok) {
    SetLastSocketError(platform::WSAEINVAL);
    SocketError("WSACancelAsyncRequest");
    return;
  }
  if (!destroying_) FireDnsLookupDone(platform::WSAEINTR);
}

// ---- Global functions ----------------------------------------------------------

int ParseDecimal(const std::string& Text) {
  size_t i = 0;
  while (i < Text.size() && Text[i] == ' ') ++i;
  int64_t value = 0;
  while (i < Text.size() && Text[i] >= '0' && Text[i] <= '9') {
    value = value * 10 + (Text[i] - '0');
    if (value > INT32_MAX) value = INT32_MAX;  // no overflow on long digit runs
    ++i;
  }
  return static_cast<int>(value);
}

bool IsDottedIP(const std::string& Text) {
  size_t i = 0;
  const size_t n = Text.size();
  while (i < n && Text[i] == ' ') ++i;
  if (i < n && Text[i] == '.') return false;
  int dots = 0;
  int part = 0;
  while (i < n) {
    char c = Text[i];
    if (c >= '0' && c <= '9') {
      part = part * 10 + (c - '0');
      if (part > 255) return false;
      ++i;
    } else if (c == '.') {
      if (dots >= 3 || part > 255 || i + 1 >= n || Text[i + 1] < '0' || Text[i + 1] > '9') return false;
      ++dots;
      part = 0;
      ++i;
    } else {
      while (i < n && Text[i] == ' ') ++i;
      if (i < n) return false;
    }
  }
  return dots == 3 && part <= 255;
}

in_addr WSocketResolveHost(const std::string& Host) {
  if (Host.empty() || Host.size() > 256)
    throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
  std::string h = Trimmed(Host);
  in_addr result{};
  if (IsDottedIP(h)) {
    result.s_addr = InetAddr(h);
    if (result.s_addr == INADDR_NONE && h != "255.255.255.255")
      throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
    return result;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(h.c_str(), nullptr, &hints, &list);
  if (rc != 0 || list == nullptr) {
    int err = platform::WinsockErrorFromLookup(rc != 0 ? rc : EAI_NONAME, errno);
    throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                  Host.c_str(), err));
  }
  result = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr;
  ::freeaddrinfo(list);
  return result;
}

int WSocketResolvePort(const std::string& Port, const std::string& Proto) {
  if (Port.empty() || Port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Proto.");
  if (Port[0] >= '0' && Port[0] <= '9') return ParseDecimal(Port);
  std::string p = Trimmed(Port);
  std::string pr = Trimmed(Proto);
  servent entry{};
  servent* found = nullptr;
  char buf[1024];
  ::getservbyname_r(p.c_str(), pr.empty() ? nullptr : pr.c_str(), &entry, buf, sizeof buf, &found);
  if (found == nullptr)
    throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s', Error #%d", Port.c_str(),
                                  platform::WSANO_DATA));
  return ntohs(static_cast<uint16_t>(found->s_port));
}

int WSocketResolveProto(const std::string& Proto) {
  if (Proto.empty() || Proto.size() >= 32) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  std::string p = Trimmed(Proto);
  if (!p.empty() && p[0] >= '0' && p[0] <= '9') return ParseDecimal(p);
  protoent entry{};
  protoent* found = nullptr;
  char buf[1024];
  ::getprotobyname_r(p.c_str(), &entry, buf, sizeof buf, &found);
  if (found == nullptr) {
    // Without a protocol database the two protocols in use are still known.
    if (SameText(p, "tcp")) return IPPROTO_TCP;
    if (SameText(p, "udp")) return IPPROTO_UDP;
    throw ESocketException(Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                                  Proto.c_str(), platform::WSANO_DATA));
  }
  return found->p_proto;
}

std::string SocketErrorText(int Error) {
  switch (Error) {
    case 0: return "No Error";
    case 10004: return "Interrupted system call";
    case 10009: return "Bad file number";
    case 10013: return "Permission denied";
    case 10014: return "Bad address";
    case 10022: return "Invalid argument";
    case 10024: return "Too many open files";
    case 10035: return "Operation would block";
    case 10036: return "Operation now in progress";
    case 10037: return "Operation already in progress";
    case 10038: return "Socket operation on non-socket";
    case 10039: return "Destination address required";
    case 10040: return "Message too long";
    case 10041: return "Protocol wrong type for socket";
    case 10042: return "Protocol not available";
    case 10043: return "Protocol not supported";
    case 10044: return "Socket type not supported";
    case 10045: return "Operation not supported on socket";
    case 10046: return "Protocol family not supported";
    case 10047: return "Address family not supported by protocol family";
    case 10048: return "Address already in use";
    case 10049: return "Address not available";
    case 10050: return "Network is down";
    case 10051: return "Network is unreachable";
    case 10052: return "Network dropped connection on reset";
    case 10053: return "Connection aborted";
    case 10054: return "Connection reset by peer";
    case 10055: return "No buffer space available";
    case 10056: return "Socket is already connected";
    case 10057: return "Socket is not connected";
    case 10058: return "Can't send after socket shutdown";
    case 10059: return "Too many references: can't splice";
    case 10060: return "Connection timed out";
    case 10061: return "Connection refused";
    case 10062: return "Too many levels of symbolic links";
    case 10063: return "File name too long";
    case 10064: return "Host is down";
    case 10065: return "No route to host";
    case 10066: return "Directory not empty";
    case 10067: return "Too many processes";
    case 10068: return "Too many users";
    case 10069: return "Disc quota exceeded";
    case 10070: return "Stale NFS file handle";
    case 10071: return "Too many levels of remote in path";
    case 10091: return "Network sub-system is unusable";
    case 10092: return "WinSock DLL cannot support this application";
    case 10093: return "WinSock not initialized";
    case 11001: return "Host not found";
    case 11002: return "Non-authoritative host not found";
    case 11003: return "Non-recoverable error";
    case 11004: return "No Data";
    default: return "Not a WinSock error";
  }
}

}  // namespace quillon
