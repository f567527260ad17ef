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
#include <algorithm>
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

// inet_addr: INADDR_NONE for text that is not an address.
uint32_t InetAddr(const std::string& s) { return ::inet_addr(s.c_str()); }

// The delay after which the next address of a name joins the connect race.
constexpr uint32_t kRaceDelayMs = 250;

// A new non-blocking handle of the family of Address; -1 with errno set.
TSocket NewHandle(const TSockAddr& Address, int Type, int Protocol) {
  return ::socket(Address.ss_family, Type | SOCK_NONBLOCK | SOCK_CLOEXEC, Protocol);
}

}  // namespace

// One handle of the connect race, watched by its own notifier (whose
// readiness comes as WM_CONNECT_RACE).
struct TCustomWSocket::TConnectAttempt {
  TSocket handle = INVALID_SOCKET;
  std::unique_ptr<platform::SocketNotifier> notifier;
};

// ---- Construction -------------------------------------------------------------

TCustomWSocket::TCustomWSocket()
    : target_(static_cast<platform::MessageHandler*>(this)), notifier_(&target_) {
  ResetFields();
  living_sockets_.fetch_add(1);
}

TCustomWSocket::~TCustomWSocket() {
  // Tokens expire first: the close below goes no further than its state
  // change, and a cancelled lookup reports nothing.
  lifetime_.Invalidate();
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
  sin_.ss_family = AF_INET;
  sin_len_ = sizeof(sockaddr_in);
  remote_port_ = 0;
  candidates_.clear();
  next_candidate_ = 0;
  addr_assigned_ = port_assigned_ = false;
  addr_resolved_ = port_resolved_ = proto_resolved_ = local_port_resolved_ = false;
  proto_assigned_ = true;
  proto_number_ = IPPROTO_TCP;
  proto_ = "tcp";
  socket_type_ = TSocketType::Stream;
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

bool TCustomWSocket::ChangeRemoteText(std::string& Field, const std::string& Value, const char* Message,
                                      TRemotePart Which) {
  std::string v = Trimmed(Value);
  if (state_ != wsClosed) {
    if (v != Field) RaiseSocketError(std::string(Message));
    return false;
  }
  Field = v;
  bool& resolved = Which == TRemotePart::Addr   ? addr_resolved_
                   : Which == TRemotePart::Port ? port_resolved_
                                                : proto_resolved_;
  resolved = false;
  return true;
}

void TCustomWSocket::SetAddr(const std::string& Value) {
  if (ChangeRemoteText(addr_, Value, "Cannot change Addr if not closed", TRemotePart::Addr))
    addr_assigned_ = !addr_.empty();
}

void TCustomWSocket::SetPort(const std::string& Value) {
  if (ChangeRemoteText(port_, Value, "Cannot change Port if not closed", TRemotePart::Port))
    port_assigned_ = !port_.empty();
}

void TCustomWSocket::SetProto(const std::string& Value) {
  if (ChangeRemoteText(proto_, Value, "Cannot change Proto if not closed", TRemotePart::Proto))
    proto_assigned_ = !proto_.empty();
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

bool TCustomWSocket::PeerName(TSockAddr& Name, const char* FuncName) {
  if (state_ != wsConnected) return false;
  socklen_t len = sizeof Name;
  if (::getpeername(hsocket_, reinterpret_cast<sockaddr*>(&Name), &len) == 0) return true;
  SocketErrorFromErrno(FuncName);
  return false;
}

bool TCustomWSocket::BoundName(TSockAddr& Name) const {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return false;
  socklen_t len = sizeof Name;
  return ::getsockname(hsocket_, reinterpret_cast<sockaddr*>(&Name), &len) == 0;
}

std::string TCustomWSocket::PeerAddr() {
  TSockAddr a{};
  return PeerName(a, "GetPeerName") ? AddressText(a) : "error";
}

std::string TCustomWSocket::PeerPort() {
  TSockAddr a{};
  return PeerName(a, "GetPeerPort") ? std::to_string(AddressPort(a)) : "error";
}

std::string TCustomWSocket::BoundAddr() {
  TSockAddr a{};
  return BoundName(a) ? AddressText(a) : "error";
}

std::string TCustomWSocket::BoundPort() {
  TSockAddr a{};
  return BoundName(a) ? std::to_string(AddressPort(a)) : "error";
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
    auto alive = lifetime_.Token();
    CloseHandle();
    if (state_ != wsClosed && !close_notified_) {
      close_notified_ = true;
      FireSessionClosed(static_cast<Word>(err));
      if (!alive) return;
    }
    if (state_ != wsClosed) ChangeState(wsClosed);
    if (!alive) return;
  }
  last_error_ = err;
  RaiseSocketError(msg);
}

void TCustomWSocket::SocketErrorFromErrno(const char* FuncName) {
  SetLastSocketErrorFromErrno();
  SocketError(FuncName);
}

void TCustomWSocket::SocketErrorWith(int Error, const char* FuncName) {
  SetLastSocketError(Error);
  SocketError(FuncName);
}

void TCustomWSocket::SetLastError(int Error) {
  last_error_ = Error;
  SetLastSocketError(Error);
}

void TCustomWSocket::HandleBackgroundException(const std::exception& E) {
  if (!platform::ReportBackgroundException(lifetime_, OnBgException, this, E)) return;
  try {
    Abort();
  } catch (...) {
  }
}

// ---- Events --------------------------------------------------------------------

bool TCustomWSocket::FireDataAvailable(Word Error) {
  if (!OnDataAvailable) return false;
  static_cast<void>(FireEvent(lifetime_, OnDataAvailable, this, Error));
  return true;
}
void TCustomWSocket::FireSessionAvailable(Word Error) {
  static_cast<void>(FireEvent(lifetime_, OnSessionAvailable, this, Error));
}
void TCustomWSocket::FireSessionConnected(Word Error) {
  static_cast<void>(FireEvent(lifetime_, OnSessionConnected, this, Error));
}
void TCustomWSocket::FireSessionClosed(Word Error) {
  static_cast<void>(FireEvent(lifetime_, OnSessionClosed, this, Error));
}
void TCustomWSocket::FireDataSent(Word Error) { static_cast<void>(FireEvent(lifetime_, OnDataSent, this, Error)); }
void TCustomWSocket::FireChangeState(TSocketState OldState, TSocketState NewState) {
  static_cast<void>(FireEvent(lifetime_, OnChangeState, this, OldState, NewState));
}
void TCustomWSocket::FireDnsLookupDone(Word Error) {
  static_cast<void>(FireEvent(lifetime_, OnDnsLookupDone, this, Error));
}
void TCustomWSocket::FireError() { static_cast<void>(FireEvent(lifetime_, OnError, this)); }

void TCustomWSocket::ChangeState(TSocketState NewState) {
  TSocketState old = state_;
  state_ = NewState;
  FireChangeState(old, NewState);
}

// ---- Message handling ----------------------------------------------------------

void TCustomWSocket::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  platform::RunMessageWork<ESocketException>(
      lifetime_, [&] { WndProc(msg, wParam, lParam); },
      [this](const std::exception& e) { HandleBackgroundException(e); });
}

void TCustomWSocket::WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  switch (Msg) {
    case WM_ASYNCSELECT: Do_FD_Notify(WParam, LParam); break;
    case WM_CONNECT_RACE: RaceNotify(WParam, LParam); break;
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
  auto alive = lifetime_.Token();
  // One message may carry several events; each later step belongs to the
  // same handle only as long as the socket still has it.
  auto gone = [&] { return !alive || hsocket_ != handle; };

  if (bits & FD_CONNECT) {
    if (state_ != wsConnected) {
      ChangeState(wsConnected);
      if (gone()) return;
      FireSessionConnected(error);
      if (!alive) return;
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
      // A handler that closed the socket in that last read has told the
      // close already (and the close forgot it had).
      if (gone()) return;
      if (!close_notified_) {
        close_notified_ = true;
        FireSessionClosed(error);
        if (!alive) return;
      }
      if (state_ != wsClosed) Close();
    }
  }
}

void TCustomWSocket::ReceiveLoop(Word Error, TWSocketOptions Options, bool Drain) {
  auto alive = lifetime_.Token();
  const auto count_before = read_count_;
  for (int round = 1;; ++round) {
    last_error_ = 0;
    if (!FireDataAvailable(Error)) {
      if (!alive) return;
      if (hsocket_ == INVALID_SOCKET) return;
      char discard[1024];
      ssize_t n = ::recv(hsocket_, discard, sizeof discard, 0);
      if (n < 0) {
        int err = SetLastSocketErrorFromErrno();
        last_error_ = err == platform::WSAEWOULDBLOCK ? 0 : err;
        if (last_error_ == 0) return;
      }
    }
    if (!alive) return;
    // A handler paused the socket (a held download): the rest waits for Resume.
    if (paused_) return;
    if (Options.Contains(wsoNoReceiveLoop)) return;
    if (last_error_ != 0) return;
    if (hsocket_ == INVALID_SOCKET) return;
    // Past its budget the socket is served again in a later pass, if data
    // is still there: no need to ask now.
    if (!Drain && (round >= kReceiveRounds || read_count_ - count_before >= kReceiveBudget)) return;
    int pending = 0;
    if (::ioctl(hsocket_, FIONREAD, &pending) != 0) {
      last_error_ = SetLastSocketErrorFromErrno();
      return;
    }
    if (pending == 0) return;
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

void TCustomWSocket::ResolveRemotePort(const std::string& Port) {
  if (port_resolved_) return;
  remote_port_ = htons(static_cast<uint16_t>(WSocketResolvePort(Port, proto_)));
  SetAddressPort(sin_, remote_port_);
  port_resolved_ = true;
}

void TCustomWSocket::ResolveRemoteAddr(const std::string& Host) {
  if (addr_resolved_) return;
  std::vector<TSockAddr> list;
  if (!dns_result_list_.empty() && Trimmed(Host) == dns_result_) {
    // The first address of this socket's own lookup: all of them race.
    for (const std::string& text : dns_result_list_) {
      TSockAddr a{};
      if (ParseIPAddress(text, a)) list.push_back(a);
    }
  }
  if (list.empty()) list = WSocketResolveAddresses(Host);
  candidates_ = std::move(list);
  next_candidate_ = 1;
  sin_len_ = 0;
  sin_ = CandidateAddress(0, sin_len_);
  addr_resolved_ = true;
}

TSockAddr TCustomWSocket::CandidateAddress(size_t Index, socklen_t& Len) const {
  TSockAddr a = candidates_[Index];
  SetAddressPort(a, remote_port_);
  Len = AddressLength(a);
  return a;
}

void TCustomWSocket::ResolveTexts(bool Listening) {
  if (!proto_resolved_) {
    proto_number_ = WSocketResolveProto(proto_);
    if (proto_number_ == IPPROTO_UDP)
      socket_type_ = TSocketType::Datagram;
    else
      socket_type_ = Listening || proto_number_ == IPPROTO_TCP ? TSocketType::Stream : TSocketType::Raw;
    proto_resolved_ = true;
  }
  ResolveRemotePort(port_);
  if (!Listening && !local_port_resolved_) {
    local_port_number_ = WSocketResolvePort(local_port_, proto_);
    local_port_resolved_ = true;
  }
  ResolveRemoteAddr(addr_);
}

const char* TCustomWSocket::UnassignedText(bool Listening) const {
  if (!port_assigned_) return Listening ? "listen: port not assigned" : "Connect: No Port Specified";
  if (Listening && !proto_assigned_) return "listen: protocol not assigned";
  if (!addr_assigned_) return Listening ? "listen: address not assigned" : "Connect: No IP Address Specified";
  if (!proto_assigned_) return "Connect: No Protocol Specified";
  return nullptr;
}

bool TCustomWSocket::OpenHandle(bool Listening) {
  try {
    ResolveTexts(Listening);
  } catch (const ESocketException& e) {
    RaiseSocketError((Listening ? "listen: " : "connect: ") + e.Message());
    return false;
  }
  DropSendQueue();
  const int type = socket_type_ == TSocketType::Datagram               ? SOCK_DGRAM
                   : Listening || socket_type_ == TSocketType::Stream ? SOCK_STREAM
                                                                       : SOCK_RAW;
  hsocket_ = NewHandle(sin_, type, proto_number_);
  if (hsocket_ == INVALID_SOCKET) {
    SocketErrorFromErrno(Listening ? "socket" : "Connect (socket)");
    return false;
  }
  BeginConnection();
  return true;
}

bool TCustomWSocket::SetOption(int Level, int Option, const void* Value, socklen_t Size, const char* Name) {
  if (::setsockopt(hsocket_, Level, Option, Value, Size) == 0) return true;
  SocketErrorFromErrno(Name);
  return false;
}

bool TCustomWSocket::SetFlag(int Level, int Option, const char* Name) {
  const int one = 1;
  return SetOption(Level, Option, &one, sizeof one, Name);
}

bool TCustomWSocket::SetDatagramOptions() {
  BindSocket();
  if (multi_cast_ && multi_cast_ip_ttl_ != 1) {
    unsigned char ttl = static_cast<unsigned char>(multi_cast_ip_ttl_);
    if (!SetOption(IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl, "setsockopt(IP_MULTICAST_TTL)")) return false;
  }
  if (multi_cast_ && local_addr_ != "0.0.0.0") {
    in_addr iface{};
    iface.s_addr = InetAddr(local_addr_);
    if (!SetOption(IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface, "setsockopt(IP_MULTICAST_IF)")) return false;
  }
  return sin_.ss_family != AF_INET || reinterpret_cast<const sockaddr_in&>(sin_).sin_addr.s_addr != INADDR_BROADCAST ||
         SetFlag(SOL_SOCKET, SO_BROADCAST, "setsockopt(SO_BROADCAST)");
}

bool TCustomWSocket::SetStreamOptions() {
  if (!SetFlag(SOL_SOCKET, SO_REUSEADDR, "setsockopt(SO_REUSEADDR)")) return false;
  if (component_options_.Contains(wsoTcpNoDelay) &&
      !SetFlag(IPPROTO_TCP, TCP_NODELAY, "setsockopt(IPPROTO_TCP, TCP_NODELAY)"))
    return false;
  ApplyLinger();
  if (!SetFlag(SOL_SOCKET, SO_KEEPALIVE, "setsockopt(SO_KEEPALIVE)")) return false;
  if (local_port_number_ != 0 || local_addr_ != "0.0.0.0") BindSocket();
  return true;
}

void TCustomWSocket::Connect() {
  if (hsocket_ != INVALID_SOCKET && state_ != wsClosed) {
    RaiseSocketError("Connect: Socket already in use");
    return;
  }
  if (const char* missing = UnassignedText(false)) {
    RaiseSocketError(std::string(missing));
    return;
  }
  if (!OpenHandle(false)) return;
  auto alive = lifetime_.Token();
  ChangeState(wsOpened);
  if (!alive) return;
  if (state_ != wsOpened) {
    SocketErrorWith(platform::WSAEINVAL, "Connect (Invalid operation in OnChangeState)");
    return;
  }
  const bool datagram = socket_type_ == TSocketType::Datagram;
  if (!(datagram ? SetDatagramOptions() : SetStreamOptions())) return;

  select_mask_ = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
  if (!datagram && candidates_.size() > 1) {
    StartRace();
    return;
  }
  notifier_.Select(hsocket_, select_mask_);
  if (datagram) {
    ChangeState(wsConnected);
    if (!alive) return;
    FireSessionConnected(0);
    return;
  }
  if (::connect(hsocket_, reinterpret_cast<sockaddr*>(&sin_), sin_len_) == 0 || errno == EINPROGRESS ||
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
  TSockAddr local{};
  if (sin_.ss_family == AF_INET6 && (local_addr_ == "0.0.0.0" || local_addr_.empty())) {
    local.ss_family = AF_INET6;  // any address of the remote's family
  } else {
    std::vector<TSockAddr> found = WSocketResolveAddresses(local_addr_);
    local = found.front();
    for (const TSockAddr& a : found)
      if (a.ss_family == sin_.ss_family) {
        local = a;
        break;
      }
  }
  SetAddressPort(local, htons(static_cast<uint16_t>(local_port_number_)));
  if (::bind(hsocket_, reinterpret_cast<sockaddr*>(&local), AddressLength(local)) != 0) {
    RaiseSocketError("winsock.bind failed, error #%d", SetLastSocketErrorFromErrno());
    return;
  }
  socklen_t len = sizeof local;
  if (::getsockname(hsocket_, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    RaiseSocketError("winsock.getsockname failed, error #%d", SetLastSocketErrorFromErrno());
    return;
  }
  local_port_number_ = AddressPort(local);
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
    SocketErrorFromErrno("setsockopt(SO_LINGER)");
  }
}

// ---- Connect race ------------------------------------------------------------------

void TCustomWSocket::StartRace() {
  if (!race_timer_) {
    race_timer_ = std::make_unique<platform::OneShotTimer>();
    race_timer_->OnTimer = [this] { StartNextAttempt(); };
  }
  next_candidate_ = 1;
  int error = 0;
  if (::connect(hsocket_, reinterpret_cast<sockaddr*>(&sin_), sin_len_) != 0 && errno != EINPROGRESS &&
      errno != EAGAIN)
    error = platform::WinsockErrorFromErrno(errno);
  AddAttempt(hsocket_, error);
  ChangeState(wsConnecting);
}

void TCustomWSocket::AddAttempt(TSocket Handle, int ConnectError) {
  auto attempt = std::make_unique<TConnectAttempt>();
  attempt->handle = Handle;
  attempt->notifier = std::make_unique<platform::SocketNotifier>(&target_, WM_CONNECT_RACE);
  attempt->notifier->Select(Handle, FD_CONNECT);
  if (ConnectError != 0)
    attempt->notifier->ConnectFailed(ConnectError);  // reported from the event loop
  else
    attempt->notifier->ConnectStarted();
  racing_.push_back(std::move(attempt));
  if (next_candidate_ < candidates_.size() && ConnectError == 0) race_timer_->Start(kRaceDelayMs);
}

void TCustomWSocket::StartNextAttempt() {
  while (next_candidate_ < candidates_.size()) {
    socklen_t len = 0;
    TSockAddr address = CandidateAddress(next_candidate_++, len);
    TSocket handle = NewHandle(address, SOCK_STREAM, proto_number_);
    if (handle == INVALID_SOCKET) continue;  // a family this system lacks
    const int one = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(handle, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    if (component_options_.Contains(wsoTcpNoDelay)) ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (linger_on_off_ == wsLingerOn && linger_timeout_ > 0) {
      linger l{1, linger_timeout_};
      ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    int error = 0;
    if (::connect(handle, reinterpret_cast<sockaddr*>(&address), len) != 0 && errno != EINPROGRESS &&
        errno != EAGAIN)
      error = platform::WinsockErrorFromErrno(errno);
    if (hsocket_ == INVALID_SOCKET) hsocket_ = handle;
    AddAttempt(handle, error);
    return;
  }
}

void TCustomWSocket::RaceNotify(uintptr_t WParam, intptr_t LParam) {
  const TSocket handle = static_cast<TSocket>(WParam);
  auto it = std::find_if(racing_.begin(), racing_.end(), [&](const auto& a) { return a->handle == handle; });
  if (it == racing_.end() || !(LParam & FD_CONNECT)) return;
  const Word error = static_cast<Word>((LParam >> 16) & 0xFFFF);
  // Called from inside the attempt's notifier, which may be destroyed here.
  racing_.erase(it);
  if (error == 0) {
    // The winner: every other attempt is closed, and the connection goes on
    // as the socket's own.
    hsocket_ = handle;
    StopRace();
    notifier_.Select(hsocket_, paused_ ? 0 : select_mask_);
    // The connect completes also on a paused socket: its other readiness
    // waits for Resume.
    const bool paused = paused_;
    paused_ = false;
    auto alive = lifetime_.Token();
    Do_FD_Notify(static_cast<uintptr_t>(hsocket_), FD_CONNECT);
    if (alive && paused && hsocket_ == handle) paused_ = true;
    return;
  }
  // A failed attempt makes way for the next address at once.
  if (next_candidate_ < candidates_.size()) StartNextAttempt();
  if (racing_.empty()) {
    // Nothing is left to try: the connect fails with this attempt's error.
    hsocket_ = handle;
    StopRace();
    paused_ = false;  // the failure is reported, paused or not
    Do_FD_Notify(static_cast<uintptr_t>(hsocket_), FD_CONNECT | (static_cast<intptr_t>(error) << 16));
    return;
  }
  ::close(handle);
  if (hsocket_ == handle) hsocket_ = racing_.front()->handle;
}

void TCustomWSocket::StopRace() {
  if (race_timer_) race_timer_->Stop();
  for (auto& attempt : racing_) {
    attempt->notifier.reset();
    if (attempt->handle != hsocket_) ::close(attempt->handle);
  }
  racing_.clear();
}

// ---- Closing -------------------------------------------------------------------

void TCustomWSocket::CloseHandle() {
  StopRace();
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
      auto alive = lifetime_.Token();
      ChangeState(wsClosed);
      if (!alive) return;
      ResetFields();
    }
    return;
  }
  if (state_ == wsClosed) return;
  if (Shut) Shutdown(1);
  CloseHandle();
  auto alive = lifetime_.Token();
  ChangeState(wsClosed);
  if (!alive) return;
  if (!close_notified_) {
    close_notified_ = true;
    FireSessionClosed(Error);
    if (!alive) return;
  }
  try {
    ResetFields();
  } catch (...) {
  }
}

void TCustomWSocket::Abort() {
  auto alive = lifetime_.Token();
  CancelDnsLookup();  // may fire OnDnsLookupDone
  if (!alive) return;
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
  auto alive = lifetime_.Token();
  while (hsocket_ != INVALID_SOCKET && state_ != wsClosed) {
    PumpMessages();
    if (!alive || hsocket_ == INVALID_SOCKET) return;
    int pending = 0;
    if (::ioctl(hsocket_, FIONREAD, &pending) != 0) return;
    if (pending > 0) {
      FireDataAvailable(0);
      if (!alive || hsocket_ == INVALID_SOCKET) return;
    }
    char c;
    if (::recv(hsocket_, &c, 0, MSG_DONTWAIT) < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
    PumpMessages();
    if (!alive) return;
    platform::Sleep(0);
  }
}

void TCustomWSocket::PumpMessages() {
  platform::ProcessMessages();
  if (platform::ApplicationTerminating()) terminated_ = true;
}

void TCustomWSocket::WaitForMessages() {
  platform::WaitForMessages();
  if (platform::ApplicationTerminating()) terminated_ = true;
}

void TCustomWSocket::Pause() {
  paused_ = true;
  // During a connect race the handle is not watched yet: the winner is.
  if (hsocket_ != INVALID_SOCKET && racing_.empty()) notifier_.Select(hsocket_, 0);
}

void TCustomWSocket::Resume() {
  paused_ = false;
  if (hsocket_ != INVALID_SOCKET && racing_.empty()) notifier_.Select(hsocket_, select_mask_);
}

// ---- Listening -------------------------------------------------------------------

void TCustomWSocket::Listen() {
  if (const char* missing = UnassignedText(true)) {
    SocketErrorWith(platform::WSAEINVAL, missing);
    return;
  }
  if (!OpenHandle(true)) return;
  const bool datagram = socket_type_ == TSocketType::Datagram;
  if (datagram && reuse_addr_ && !SetFlag(SOL_SOCKET, SO_REUSEADDR, "setsockopt(SO_REUSEADDR)")) return;
  if (::bind(hsocket_, reinterpret_cast<sockaddr*>(&sin_), sin_len_) != 0) {
    // The socket never left wsClosed: its handle is closed here.
    int err = SetLastSocketErrorFromErrno();
    CloseHandle();
    SocketErrorWith(err, "Bind");
    return;
  }
  auto alive = lifetime_.Token();
  // Each handler below may close or destroy the socket.
  auto gone = [&] { return !alive || hsocket_ == INVALID_SOCKET; };
  ChangeState(wsBound);
  if (gone()) return;
  if (datagram && multi_cast_) {
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = InetAddr(multi_cast_addr_str_);
    mreq.imr_interface = WSocketResolveHost(addr_);
    if (!SetOption(IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq, "setsockopt(IP MULTICAST)")) return;
  }
  if (socket_type_ == TSocketType::Stream) {
    if (::listen(hsocket_, 5) != 0) {
      SocketErrorFromErrno("Listen");
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
    SocketErrorWith(platform::WSAEINVAL, "not a listening socket");
    return INVALID_SOCKET;
  }
  socklen_t len = sizeof sin_;
  TSocket s = ::accept4(hsocket_, reinterpret_cast<sockaddr*>(&sin_), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (s < 0) {
    SocketErrorFromErrno("Accept");
    return INVALID_SOCKET;
  }
  return s;
}

void TCustomWSocket::Dup(TSocket NewHSocket) {
  if (NewHSocket == 0 || NewHSocket == INVALID_SOCKET) {
    SocketErrorWith(platform::WSAEINVAL, "Dup");
    return;
  }
  auto alive = lifetime_.Token();
  if (state_ != wsClosed) {
    CloseHandle();
    ChangeState(wsClosed);
    if (!alive) {
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
    SetLastError(platform::WSAENOTSOCK);
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

int TCustomWSocket::GetPeerName(TSockAddr& Name, int NameLen) {
  if (state_ != wsConnected) return -1;
  socklen_t len = static_cast<socklen_t>(NameLen);
  if (::getpeername(hsocket_, reinterpret_cast<sockaddr*>(&Name), &len) != 0) {
    last_error_ = SetLastSocketErrorFromErrno();
    return -1;
  }
  return 0;
}

int TCustomWSocket::GetSockName(TSockAddr& Name, int& NameLen) {
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
  if (socket_type_ == TSocketType::Datagram)
    n = ::sendto(hsocket_, Data, static_cast<size_t>(Len), send_flags_ | MSG_NOSIGNAL,
                 reinterpret_cast<sockaddr*>(&sin_), sin_len_);
  else
    n = ::send(hsocket_, Data, static_cast<size_t>(Len), send_flags_ | MSG_NOSIGNAL);
  if (n < 0) {
    SetLastSocketErrorFromErrno();
    return -1;
  }
  if (n > 0) static_cast<void>(FireEvent(lifetime_, OnSendData, this, static_cast<int>(n)));
  return static_cast<int>(n);
}

void TCustomWSocket::TryToSend() {
  if (hsocket_ == INVALID_SOCKET || send_queue_.empty()) return;
  auto alive = lifetime_.Token();
  for (;;) {
    TBuffer& block = *send_queue_.front();
    int len = 0;
    const char* data = block.Peek(len);
    if (len > 0) {
      int n = RawSend(data, len);
      if (!alive) return;
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
        // The connection is gone: closed here and reported once. A close
        // that already reported it (the peer's end, followed by a close that
        // still sends) reports nothing more.
        const bool report = !close_notified_;
        close_notified_ = true;
        Close();
        if (!alive) return;
        if (report) FireSessionClosed(static_cast<Word>(err));
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
    SocketErrorWith(platform::WSAENOTCONN, "Send");
    return -1;
  }
  if (Len <= 0) return 0;  // nothing queued: the "all sent" flag stays as it was
  all_sent_ = false;
  QueueData(Data, Len);
  auto alive = lifetime_.Token();
  TryToSend();
  if (!alive) return Len;
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
  if (n > 0) static_cast<void>(FireEvent(lifetime_, OnSendData, this, static_cast<int>(n)));
  return static_cast<int>(n);
}

void TCustomWSocket::Flush() {
  auto alive = lifetime_.Token();
  while (hsocket_ != INVALID_SOCKET && BufferedByteCount() > 0) {
    TryToSend();
    if (!alive) return;
    PumpMessages();
    if (!alive) return;
  }
}

// ---- Name lookup -----------------------------------------------------------------

bool TCustomWSocket::BeginLookup(bool Valid, const char* Message) {
  if (!Valid) {
    RaiseSocketError(std::string(Message));
    FireDnsLookupDone(platform::WSAEINVAL);
    return false;
  }
  if (dns_lookup_handle_ != 0) {
    platform::CancelLookup(dns_lookup_handle_);
    dns_lookup_handle_ = 0;
  }
  dns_result_.clear();
  dns_result_list_.clear();
  return true;
}

void TCustomWSocket::DnsLookup(const std::string& HostName) {
  if (!BeginLookup(!HostName.empty(), "DNS lookup: invalid host name.")) return;
  TSockAddr literal{};
  if ((IsDottedIP(HostName) || IsIPv6Literal(HostName)) && ParseIPAddress(HostName, literal)) {
    dns_result_ = AddressText(literal);
    dns_result_list_.push_back(dns_result_);
    FireDnsLookupDone(0);
    return;
  }
  dns_lookup_handle_ = platform::StartNameLookup(&target_, WM_ASYNCGETHOSTBYNAME, HostName);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
  if (!BeginLookup(!HostAddr.empty() && HostAddr.size() <= 256, "ReverseDnsLookup: Invalid host name.")) return;
  dns_lookup_handle_ = platform::StartAddressLookup(&target_, WM_ASYNCGETHOSTBYADDR, InetAddr(HostAddr));
}

void TCustomWSocket::CancelDnsLookup() {
  if (dns_lookup_handle_ == 0) return;
  bool ok = platform::CancelLookup(dns_lookup_handle_);
  dns_lookup_handle_ = 0;
  if (!ok) {
    SocketErrorWith(platform::WSAEINVAL, "WSACancelAsyncRequest");
    return;
  }
  if (lifetime_.Token()) FireDnsLookupDone(platform::WSAEINTR);  // not from the destructor
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

bool ParseIPAddress(const std::string& Text, TSockAddr& Address) {
  std::string t = Trimmed(Text);
  Address = TSockAddr{};
  if (IsDottedIP(t)) {
    auto& sin = reinterpret_cast<sockaddr_in&>(Address);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = InetAddr(t);
    return sin.sin_addr.s_addr != INADDR_NONE || t == "255.255.255.255";
  }
  if (t.size() > 2 && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
  auto& sin6 = reinterpret_cast<sockaddr_in6&>(Address);
  if (t.find(':') == std::string::npos || ::inet_pton(AF_INET6, t.c_str(), &sin6.sin6_addr) != 1) return false;
  sin6.sin6_family = AF_INET6;
  return true;
}

bool IsIPv6Literal(const std::string& Text) {
  TSockAddr a{};
  return Text.find(':') != std::string::npos && ParseIPAddress(Text, a) && a.ss_family == AF_INET6;
}

std::string AddressText(const TSockAddr& Address) {
  char text[INET6_ADDRSTRLEN] = "error";
  if (Address.ss_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(Address).sin_addr, text, sizeof text);
  else if (Address.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(Address).sin6_addr, text, sizeof text);
  return text;
}

uint16_t AddressPort(const TSockAddr& Address) {
  if (Address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(Address).sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in&>(Address).sin_port);
}

void SetAddressPort(TSockAddr& Address, uint16_t PortNetworkOrder) {
  if (Address.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6&>(Address).sin6_port = PortNetworkOrder;
  else
    reinterpret_cast<sockaddr_in&>(Address).sin_port = PortNetworkOrder;
}

socklen_t AddressLength(const TSockAddr& Address) {
  return Address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

std::vector<TSockAddr> WSocketResolveAddresses(const std::string& Host) {
  if (Host.empty() || Host.size() > 256)
    throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid Hostname.");
  TSockAddr literal{};
  if (ParseIPAddress(Host, literal)) return {literal};
  if (IsDottedIP(Host)) throw ESocketException("WSocketResolveHost: '" + Host + "' Invalid IP address.");
  platform::HostEntry entry;
  int err = platform::LookupName(Trimmed(Host), entry);
  std::vector<TSockAddr> list;
  for (const std::string& text : entry.addresses)
    if (ParseIPAddress(text, literal)) list.push_back(literal);
  if (err != 0 || list.empty())
    throw ESocketException(Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                  Host.c_str(), err != 0 ? err : platform::WSAHOST_NOT_FOUND));
  return list;
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
#define QUILLON_WINSOCK_ERROR_CASE(name, number, text) case platform::name: return text;
    QUILLON_WINSOCK_ERRORS(QUILLON_WINSOCK_ERROR_CASE)
#undef QUILLON_WINSOCK_ERROR_CASE
    default: return "Not a WinSock error";
  }
}

}  // namespace quillon
