#include "net/http/http_cli.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/strings.h"
#include "net/http/url.h"
#include "net/socket/host_name.h"
#include "platform/event_loop.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {

// The error a request ends with when the response could not be read to its
// end (an overlong line, a malformed number, an exception of a handler): the
// connection was given up as if aborted by the system.
constexpr Word kBrokenResponseError = 10053;

// The error of a request that could not start because its URL or a setting
// is not usable ("Invalid argument").
constexpr Word kInvalidUrlError = 10022;

constexpr const char* kNoHostText = "the URL names no host.";

// Decimal digits only, as a 64-bit number; raises on anything else.
int64_t ParseLength(const std::string& text) {
  std::string_view v = TrimWS(text);
  int64_t value = 0;
  bool ok = !v.empty() && v.size() <= 18;
  for (char c : v) {
    if (!ok) break;
    if (c < '0' || c > '9') {
      ok = false;
      break;
    }
    value = value * 10 + (c - '0');
  }
  if (!ok) throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}

std::string DefaultPort(const std::string& proto) { return proto == "https" ? "443" : "80"; }

// The statuses whose "location" names where the document is instead.
bool IsRedirection(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// "HTTP/1.x 2xx ...": the proxy opened the tunnel.
bool OpensTunnel(const std::string& status_line) {
  if (!status_line.starts_with("HTTP/1.0 ") && !status_line.starts_with("HTTP/1.1 ")) return false;
  if (status_line.size() < 12 || status_line[9] != '2') return false;
  for (size_t i = 10; i < 12; ++i)
    if (status_line[i] < '0' || status_line[i] > '9') return false;
  return status_line.size() == 12 || status_line[12] == ' ';
}

int ParseStatus(const std::string& text) {
  bool ok = text.size() == 3;
  for (char c : text) ok = ok && c >= '0' && c <= '9';
  if (!ok) throw EConvertError("'" + text + "' is not a valid integer value");
  return std::stoi(text);
}

// A control byte (CR, LF, any byte below 0x20) would end the request line or
// a header line early: a URL holding one could add lines of its own.
bool HoldsControlByte(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20) return true;
  return false;
}

// The host and port a Proxy setting names ("host", "host:port",
// "http://host:port/", "[v6]:port", or an IPv6 address alone); Port is empty
// when it names none.
void SplitProxy(const std::string& Proxy, std::string& Host, std::string& Port) {
  if (std::count(Proxy.begin(), Proxy.end(), ':') > 1 && Proxy.find_first_of("[/") == std::string::npos) {
    Host = Proxy;
    Port.clear();
    return;
  }
  std::string proto, user, pass, path;
  ParseURL(Proxy, proto, user, pass, Host, Port, path);
}

}  // namespace

THttpCli::THttpCli() : ctrl_socket_(std::make_unique<TWSocket>()), target_(this) {
  if (const char* ca = std::getenv(kCAFileVariable)) ssl_ca_file_ = ca;
  rcv_buf_.resize(kHttpBodyReadSize + 1);
  send_buf_.resize(kHttpLineRoom + 1);
  TWSocket& s = *ctrl_socket_;
  // Each handler ends with the call: the client may be gone after it.
  s.OnSessionClosed = [this](TCustomWSocket*, Word e) { (void)SocketSessionClosed(e); };
  s.OnDataAvailable = [this](TCustomWSocket*, Word e) { (void)SocketDataAvailable(e); };
  s.OnSessionConnected = [this](TCustomWSocket*, Word e) { (void)SocketSessionConnected(e); };
  s.OnDataSent = [this](TCustomWSocket*, Word e) { (void)SocketDataSent(e); };
  s.OnDnsLookupDone = [this](TCustomWSocket*, Word e) { (void)SocketDnsLookupDone(e); };
  watchdog_.OnTimeout = [this](TTimeoutKind Kind) { TimedOut(Kind); };
  deadline_.OnTimer = [this] { DeadlinePassed(); };
  s.OnSocksError = [this](TCustomWSocket*, int e, const std::string& m) {
    static_cast<void>(FireEvent(lifetime_, OnSocksError, this, e, m));
  };
  s.OnSocksConnected = [this](TCustomWSocket*, Word e) {
    static_cast<void>(FireEvent(lifetime_, OnSocksConnected, this, e));
  };
  s.OnError = [this](TCustomWSocket*) {
    if (step_ == TStep::kLookup) SetStep(TStep::kLookupRefused);  // within hsDnsLookup
    static_cast<void>(FireEvent(lifetime_, OnSocketError, this));
  };
  s.OnBgException = [this](TCustomWSocket*, const std::exception& e, bool& can_close) {
    SocketBgException(e, can_close);
  };
}

THttpCli::~THttpCli() {
  // The socket's destruction closes the connection without events.
  lifetime_.Invalidate();
  ctrl_socket_.reset();
}

// ---- Properties ------------------------------------------------------------------

void THttpCli::SetMultiThreaded(bool v) {
  multi_threaded_ = v;
  ctrl_socket_->SetMultiThreaded(v);
}

void THttpCli::SetSocksServer(const std::string& v) {
  socks_server_ = v;
  if (ctrl_socket_->State() == wsClosed) ctrl_socket_->SetSocksServer(v);
}
void THttpCli::SetSocksLevel(const std::string& v) {
  if (ctrl_socket_->State() == wsClosed) ctrl_socket_->SetSocksLevel(v);  // checks the value
  socks_level_ = v == "4a" ? "4A" : v;
}
void THttpCli::SetSocksPort(const std::string& v) {
  socks_port_ = v;
  if (ctrl_socket_->State() == wsClosed) ctrl_socket_->SetSocksPort(v);
}
void THttpCli::SetSocksUsercode(const std::string& v) {
  socks_usercode_ = v;
  ctrl_socket_->SetSocksUsercode(v);
}
void THttpCli::SetSocksPassword(const std::string& v) {
  socks_password_ = v;
  ctrl_socket_->SetSocksPassword(v);
}
void THttpCli::SetSocksAuthentication(TSocksAuthentication v) {
  socks_authentication_ = v;
  ctrl_socket_->SetSocksAuthentication(v);
}

void THttpCli::ApplySocksSettings() {
  TWSocket& s = *ctrl_socket_;
  s.SetSocksServer(socks_server_);
  s.SetSocksPort(socks_port_);
  s.SetSocksLevel(socks_level_);
  s.SetSocksUsercode(socks_usercode_);
  s.SetSocksPassword(socks_password_);
  s.SetSocksAuthentication(socks_authentication_);
}

// ---- Events ------------------------------------------------------------------

bool THttpCli::TriggerStateChange() { return FireEvent(lifetime_, OnStateChange, this); }
bool THttpCli::TriggerCookie(const std::string& Data, bool& Accept) {
  return FireEvent(lifetime_, OnCookie, this, Data, Accept);
}
bool THttpCli::TriggerSessionConnected() { return FireEvent(lifetime_, OnSessionConnected, this); }
bool THttpCli::TriggerBeforeHeaderSend(const std::string& Method, std::vector<std::string>& Headers) {
  return FireEvent(lifetime_, OnBeforeHeaderSend, this, Method, Headers);
}
bool THttpCli::TriggerRequestHeaderBegin() { return FireEvent(lifetime_, OnRequestHeaderBegin, this); }
bool THttpCli::TriggerRequestHeaderEnd() { return FireEvent(lifetime_, OnRequestHeaderEnd, this); }
// The response's first line: its header is read from now on.
bool THttpCli::TriggerHeaderBegin() {
  if (!InHeader()) SetStep(TStep::kHeader);  // within hsWaitingHeader
  return FireEvent(lifetime_, OnHeaderBegin, this);
}
bool THttpCli::TriggerHeaderEnd() { return FireEvent(lifetime_, OnHeaderEnd, this); }
bool THttpCli::TriggerDocBegin() { return FireEvent(lifetime_, OnDocBegin, this); }
bool THttpCli::TriggerDocData(const void* Data, int Len) { return FireEvent(lifetime_, OnDocData, this, Data, Len); }
bool THttpCli::TriggerDocEnd() { return FireEvent(lifetime_, OnDocEnd, this); }
bool THttpCli::TriggerSendBegin() { return FireEvent(lifetime_, OnSendBegin, this); }
bool THttpCli::TriggerSendData(const void* Data, int Len) { return FireEvent(lifetime_, OnSendData, this, Data, Len); }
bool THttpCli::TriggerSendEnd() { return FireEvent(lifetime_, OnSendEnd, this); }

// ---- State and posted messages ---------------------------------------------------

bool THttpCli::SetStep(TStep Step) {
  const THttpState was = State();
  step_ = Step;
  if (State() == was) return true;
  // The ended request's report is posted before OnStateChange, whose handler
  // may start the next request.
  if (Step == TStep::kIdle) {
    watchdog_.Stop();
    deadline_.Stop();
    PostRequestDone();
  }
  return TriggerStateChange();
}

void THttpCli::PostRequestDone() {
  // The kind and error travel with the message: a new request may start
  // before it is delivered.
  target_.Post(WM_HTTP_REQUEST_DONE, static_cast<uintptr_t>(request_type_),
               static_cast<intptr_t>(request_done_error_));
}

// Posting again for the same request is harmless: its handler finds State
// already hsReady.
void THttpCli::SetReady() {
  target_.Post(WM_HTTP_SET_READY, request_id_, 0);
}

void THttpCli::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) { WndProc(msg, wParam, lParam); }

void THttpCli::WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  switch (Msg) {
    case WM_HTTP_REQUEST_DONE:
      // The handler may destroy the client: nothing follows it.
      static_cast<void>(
          FireEvent(lifetime_, OnRequestDone, this, static_cast<THttpRequest>(WParam), static_cast<Word>(LParam)));
      return;
    case WM_HTTP_SET_READY:
      if (WParam == request_id_) SetStep(TStep::kIdle);
      return;
    case WM_HTTP_LOGIN:
      if (WParam == request_id_ && step_ == TStep::kFollowing) (void)StartLookup();
      return;
    default: return;
  }
}

// ---- Starting a request ----------------------------------------------------------

void THttpCli::ResetRequest() {
  ForgetResponse();
  request_done_error_ = 0;
  doc_name_.clear();
  rcvd_count_ = 0;
  sent_count_ = 0;
  allowed_to_send_ = false;
  redirection_count_ = 0;
  authenticate_challenges_.clear();
  location_ = url_;
  reused_ = false;
}

void THttpCli::ForgetResponse() {
  rcvd_header_.clear();
  header_line_count_ = 0;
  header_bytes_ = 0;
  body_piece_count_ = 0;
  content_length_ = -1;
  content_type_.clear();
  status_code_ = 0;
  tunnel_status_code_ = 0;
  reason_phrase_.clear();
  rcv_cnt_ = 0;
  chunked_ = false;
  chunked_body_.Reset();
  interim_answers_ = 0;
  response_version_ = 0;
  connection_close_ = false;
  connection_keep_alive_ = false;
  body_surplus_ = false;
}

void THttpCli::CloseQuietly(bool Reset) {
  kept_ = false;
  TWSocket& s = *ctrl_socket_;
  if (s.State() == wsClosed) return;
  // The socket reports its close from inside the call.
  auto on_closed = std::move(s.OnSessionClosed);
  s.OnSessionClosed = nullptr;
  if (Reset)
    s.Abort();
  else
    s.Close();
  s.OnSessionClosed = std::move(on_closed);
}

void THttpCli::DoRequestAsync(THttpRequest Kind) {
  if (step_ != TStep::kIdle) throw EHttpException("HTTP component is busy", httperrBusy);
  if (Kind == hrPost && send_stream_ == nullptr) throw EHttpException("HTTP component has nothing to post", httperrNothingToPost);

  ++request_id_;
  // A kept connection waits until the request's first hop is known; without
  // KeepAlive it is closed (in order) as any other.
  if (!kept_ || !keep_alive_) CloseQuietly(!kept_);
  if (!SetStep(TStep::kStarting)) return;
  if (total_timeout_ > 0) deadline_.Start(static_cast<uint32_t>(total_timeout_) * 1000u);
  request_type_ = Kind;
  keep_request_ = keep_alive_;
  ResetRequest();
  // The range belongs to this request, redirections included.
  range_begin_ = content_range_begin_;
  range_end_ = content_range_end_;
  content_range_begin_.clear();
  content_range_end_.clear();
  if (HoldsControlByte(url_)) {
    // Refused before any lookup or connection.
    request_done_error_ = kInvalidUrlError;
    status_code_ = 404;
    reason_phrase_ = "invalid URL.";
    SetStep(TStep::kIdle);
    return;
  }

  std::string proto, user, pass, host, port, path;
  ParseURL(url_, proto, user, pass, host, port, path);
  if (host.empty()) {
    // "http://" alone: there is nobody to ask.
    request_done_error_ = kInvalidUrlError;
    status_code_ = 404;
    reason_phrase_ = kNoHostText;
    SetStep(TStep::kIdle);
    return;
  }
  if (!IsAsciiHostName(host)) {
    // A name without an ASCII form: refused before any lookup.
    request_done_error_ = kInvalidUrlError;
    status_code_ = 404;
    reason_phrase_ = InvalidHostNameText(host);
    SetStep(TStep::kIdle);
    return;
  }
  doc_name_ = path;
  if (!user.empty()) username_ = user;
  if (!pass.empty()) password_ = pass;
  proto = proto.empty() ? "http" : LowerCase(proto);
  SetOrigin(proto, host, port);
  // The credentials, of the URL or set on the client, belong to its server.
  credentials_origin_ = OriginKey();
  path_ = path.empty() ? "/" : path;
  // The first hop picks its proxy as each redirection's does.
  if (!RouteHop(OriginText() + path_, false)) return;
  if (step_ != TStep::kStarting) return;  // a handler ended the request
  AdjustDocName();
  if (kept_) {
    if (kept_key_ == ConnectionKey() && ctrl_socket_->State() == wsConnected) {
      (void)SendOnKeptConnection();
      return;
    }
    CloseQuietly(false);
  }
  (void)StartLookup();
}

std::string THttpCli::ConnectionKey() const {
  std::string key = target_scheme_ + "://" + OriginKey() + " " + local_addr_ + " " + ssl_ca_file_;
  if (!proxy_.empty()) return key + " proxy " + LowerCase(host_name_) + ":" + port_;
  if (!socks_server_.empty())
    key += " socks" + socks_level_ + " " + socks_server_ + ":" + socks_port_ + " " + socks_usercode_ + ":" +
           socks_password_;
  return key;
}

bool THttpCli::SendOnKeptConnection() {
  kept_ = false;
  reused_ = true;
  watchdog_.StartIdle();
  if (!SetStep(TStep::kConnected)) return false;
  if (!SetStep(TStep::kRequest)) return false;
  // Outside a socket event: what a handler throws while the request is
  // written ends the request as a broken one, as it would inside an event.
  auto alive = lifetime_.Token();
  try {
    return SendRequestOfKind();
  } catch (const std::exception& e) {
    if (!alive) return false;
    bool can_close = true;
    SocketBgException(e, can_close);
    CloseQuietly();
    connected_ = false;
    return true;
  }
}

bool THttpCli::RouteHop(const std::string& Url, bool AbsoluteTarget) {
  if (!FireEvent(lifetime_, OnChooseProxy, this, Url)) return false;
  // Through an HTTP proxy an http request names the absolute URL; direct,
  // through SOCKS or in a tunnel, the path alone.
  const bool absolute = !proxy_.empty() && !tls_;
  if (AbsoluteTarget && !absolute) {
    std::string proto, user, pass, host, port, path;
    ParseURL(path_, proto, user, pass, host, port, path);
    path_ = path.empty() ? "/" : path;
  } else if (!AbsoluteTarget && absolute) {
    path_ = OriginText() + path_;
  }
  if (proxy_.empty()) {
    host_name_ = target_host_;
    port_ = target_port_;
    return true;
  }
  std::string port;
  SplitProxy(proxy_, host_name_, port);
  proxy_connect_port_ = port.empty() ? proxy_port_ : port;
  port_ = proxy_connect_port_;
  return true;
}

void THttpCli::SetOrigin(const std::string& Proto, const std::string& Host, const std::string& Port) {
  target_scheme_ = Proto;
  target_host_ = Host;
  target_port_ = Port.empty() ? DefaultPort(Proto) : Port;
  tls_ = Proto == "https";
}

std::string THttpCli::OriginText() const { return target_scheme_ + "://" + HostField(); }

std::string THttpCli::HostField() const {
  return UrlHost(target_host_) + (target_port_ == DefaultPort(target_scheme_) ? std::string() : ":" + target_port_);
}

std::string THttpCli::OriginKey() const { return LowerCase(target_host_) + ":" + target_port_; }

void THttpCli::AdjustDocName() {
  std::string name = doc_name_;
  size_t q = name.find('?');
  if (q != std::string::npos) name.resize(q);
  if (name.empty() || name.back() == '/') {
    doc_name_ = "document.htm";
    return;
  }
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() > 255) name.resize(255);
  doc_name_ = name;
}

bool THttpCli::StartLookup() {
  watchdog_.StartConnect();
  if (!SetStep(TStep::kLookup)) return false;
  // A SOCKS 5 or 4A proxy is handed the name and resolves it: a name only
  // the proxy's network knows is reached, and this computer's resolver is
  // never asked (a SOCKS 4 proxy takes an address, looked up here).
  if (!socks_server_.empty() && proxy_.empty() && (socks_level_ == "5" || socks_level_ == "4A"))
    return ConnectTo(host_name_);
  // The lookup may end, or be refused through OnError, before it returns.
  auto alive = lifetime_.Token();
  try {
    ctrl_socket_->SetLocalAddr(local_addr_);
    ctrl_socket_->DnsLookup(host_name_);
    if (!alive) return false;
    if (step_ == TStep::kLookupRefused) {
      status_code_ = 404;
      reason_phrase_ = SocketErrorText(ctrl_socket_->LastError());
      connected_ = false;
      return SetStep(TStep::kIdle);
    }
  } catch (const std::exception& e) {
    if (!alive) return false;
    status_code_ = 404;
    reason_phrase_ = e.what();
    connected_ = false;
    return SetStep(TStep::kIdle);
  }
  return true;
}

bool THttpCli::SocketDnsLookupDone(Word Error) {
  // Only the result of the lookup the request waits for counts.
  if (step_ != TStep::kLookup) return true;
  if (Error != 0) {
    request_done_error_ = Error;
    status_code_ = 404;
    reason_phrase_ = "can't resolve hostname to IP address";
    return SocketSessionClosed(Error);
  }
  return ConnectTo(ctrl_socket_->DnsResult());
}

bool THttpCli::ConnectTo(const std::string& address) {
  if (!SetStep(TStep::kConnecting)) return false;
  auto alive = lifetime_.Token();
  TWSocket& s = *ctrl_socket_;
  bool failed = false;
  std::string failure;  // the socket's message when it reported one
  // While connecting, a refused setting (a port text that names no service,
  // a SOCKS server name that does not resolve) raises instead of going to
  // OnError, so that its message can become the reason; OnSocketError
  // still fires for it.
  auto on_error = std::move(s.OnError);
  s.OnError = nullptr;
  try {
    s.SetAddr(address);
    s.SetLocalAddr(local_addr_);
    s.SetPort(port_);
    s.SetProto("tcp");
    ApplySocksSettings();
    // Through an HTTP proxy TLS starts after the proxy opened the tunnel.
    s.SetSslEnable(tls_ && proxy_.empty());
    s.SetSslServerName(target_host_);
    s.SetSslCAFile(ssl_ca_file_);
    s.Connect();
    if (!alive) return false;
    failed = s.State() != wsConnecting && s.State() != wsConnected;
  } catch (const std::exception& e) {
    if (!alive) return false;
    failed = true;
    failure = e.what();
  }
  s.OnError = std::move(on_error);
  if (!failure.empty() && s.OnError) {
    auto handler = s.OnError;
    handler(&s);
    if (!alive) return false;
  }
  if (failed) {
    Word error = static_cast<Word>(s.LastError());
    request_done_error_ = error != 0 ? error : kInvalidUrlError;
    status_code_ = 404;
    if (error != 0 || failure.empty())
      reason_phrase_ = "can't connect: " + SocketErrorText(error) + " (Error #" + std::to_string(error) + ")";
    else
      reason_phrase_ = "can't connect: " + failure;
    s.Close();
    if (!alive) return false;
    return SocketSessionClosed(request_done_error_);
  }
  return true;
}

bool THttpCli::SocketSessionConnected(Word Error) {
  if (Error != 0) {
    request_done_error_ = Error;
    status_code_ = 404;
    if (IsSslError(Error))
      reason_phrase_ = ctrl_socket_->SslErrorText();
    else
      reason_phrase_ = SocketErrorText(Error) + " (Error #" + std::to_string(Error) + ")";
    return SocketSessionClosed(Error);
  }
  connected_ = true;
  watchdog_.StartIdle();
  if (!SetStep(TStep::kConnected)) return false;
  const bool tunnel = TunnelNeeded();
  if (!tunnel && !TriggerSessionConnected()) return false;
  if (!SetStep(tunnel ? TStep::kTunnel : TStep::kRequest)) return false;
  if (tunnel) return SendConnect();
  return SendRequestOfKind();
}

bool THttpCli::SendRequestOfKind() {
  auto alive = lifetime_.Token();
  try {
    switch (request_type_) {
      case hrPost:
        if (!SendRequest("POST") || !TriggerSendBegin()) return false;
        send_stream_->Seek(0, TSeekOrigin::soBeginning);
        allowed_to_send_ = true;
        return SocketDataSent(0);
      case hrHead: return SendRequest("HEAD");
      default: return SendRequest("GET");
    }
  } catch (...) {
    if (alive) {
      reused_ = false;  // not a close to retry after
      CloseConnection();
    }
    throw;
  }
}

void THttpCli::CloseConnection() {
  kept_ = false;
  ctrl_socket_->Close();
  connected_ = false;
}

// ---- The request -----------------------------------------------------------------

bool THttpCli::SendConnect() {
  request_buffer_.clear();
  const std::string authority = UrlHost(target_host_) + ":" + target_port_;
  std::vector<std::string> lines = {"CONNECT " + authority + " HTTP/1.0", "Host: " + authority};
  if (!agent_.empty()) lines.push_back("User-Agent: " + agent_);
  if (!proxy_username_.empty())
    lines.push_back("Proxy-Authorization: Basic " + EncodeBase64(proxy_username_ + ":" + proxy_password_));
  lines.emplace_back();
  for (const std::string& line : lines)
    if (!SendHeaderLine(line)) return false;
  auto alive = lifetime_.Token();
  ctrl_socket_->Send(request_buffer_.data(), static_cast<int>(request_buffer_.size()));
  return static_cast<bool>(alive);
}

// Keeps one line of an answer's header, within the limits of its count and
// size (a longer header ends the request).
void THttpCli::KeepHeaderLine(const std::string& line) {
  ++header_line_count_;
  header_bytes_ += static_cast<int64_t>(line.size()) + 2;
  if (header_line_count_ > kHttpMaxHeaderLines || header_bytes_ > kHttpMaxHeaderBytes)
    throw EHttpException("HTTP header too long", httperrTooLong);
  rcvd_header_.push_back(line);
}

// A line of the proxy's answer to CONNECT. It is no part of the server's
// response: no field of it is used and no event reports it; its first line
// alone says whether the tunnel is open.
bool THttpCli::TunnelLineProcessing() {
  const std::string& line = last_line_;
  SetStep(TStep::kTunnelHeader);  // within hsWaitingHeader
  if (line.empty()) return EndTunnelHeader();
  KeepHeaderLine(line);
  return true;
}

bool THttpCli::EndTunnelHeader() {
  if (rcvd_header_.empty() || !OpensTunnel(rcvd_header_.front())) {
    RefuseTunnel();
    return true;
  }
  if (rcv_cnt_ > 0) throw EHttpException("HTTP proxy sent data after opening the tunnel", httperrTooLong);
  // The server's response starts afresh on the tunnel.
  SetStep(TStep::kTunnelHandshake);  // within hsWaitingHeader
  ForgetResponse();
  auto alive = lifetime_.Token();
  ctrl_socket_->StartSslHandshake();
  return static_cast<bool>(alive);
}

void THttpCli::RefuseTunnel() {
  status_code_ = 404;
  // "HTTP/1.x NNN ...": the proxy's own code, for a caller telling a demand
  // for credentials from other refusals.
  const std::string& line = rcvd_header_.empty() ? std::string() : rcvd_header_.front();
  tunnel_status_code_ = line.size() >= 12 && line.starts_with("HTTP/1.") && line[8] == ' ' &&
                                std::isdigit(static_cast<unsigned char>(line[9])) &&
                                std::isdigit(static_cast<unsigned char>(line[10])) &&
                                std::isdigit(static_cast<unsigned char>(line[11]))
                            ? std::stoi(line.substr(9, 3))
                            : 0;
  reason_phrase_ = "the proxy refused the tunnel: " + (rcvd_header_.empty() ? std::string() : rcvd_header_.front());
  request_done_error_ = kHttpTunnelRefused;
  // Nothing else the proxy sent is read.
  rcv_cnt_ = 0;
  connected_ = false;
  CloseQuietly();
  SetReady();
}

bool THttpCli::SendRequest(const std::string& Method) {
  request_buffer_.clear();
  if (!TriggerRequestHeaderBegin()) return false;
  const bool post = Method == "POST";
  std::vector<std::string> lines;
  lines.push_back(Method + " " + RequestTarget(path_) + (keep_request_ ? " HTTP/1.1" : " HTTP/1.0"));
  if (!sender_.empty()) lines.push_back("From: " + sender_);
  if (!accept_.empty()) lines.push_back("Accept: " + accept_);
  if (!reference_.empty()) lines.push_back("Referer: " + reference_);
  if (!accept_language_.empty()) lines.push_back("Accept-Language: " + accept_language_);
  if (post && !content_type_post_.empty()) lines.push_back("Content-Type: " + content_type_post_);
  if (!agent_.empty()) lines.push_back("User-Agent: " + agent_);
  lines.push_back("Host: " + HostField());
  if (no_cache_) lines.push_back("Pragma: no-cache");
  if (post) lines.push_back("Content-Length: " + std::to_string(send_stream_->Size()));
  if (modified_since_ != 0) lines.push_back("If-Modified-Since: " + RFC1123Date(modified_since_) + " GMT");
  if (!username_.empty() && OriginKey() == credentials_origin_)
    lines.push_back("Authorization: Basic " + EncodeBase64(username_ + ":" + password_));
  if (!proxy_.empty() && !tls_ && !proxy_username_.empty())
    lines.push_back("Proxy-Authorization: Basic " + EncodeBase64(proxy_username_ + ":" + proxy_password_));
  if (!cookie_.empty()) lines.push_back("Cookie: " + cookie_);
  if (!range_begin_.empty() || !range_end_.empty()) lines.push_back("Range: bytes=" + range_begin_ + "-" + range_end_);
  accept_ranges_.clear();
  if (!TriggerBeforeHeaderSend(Method, lines)) return false;
  for (const std::string& line : lines)
    if (!SendHeaderLine(line)) return false;
  if (!TriggerRequestHeaderEnd() || !SendHeaderLine("")) return false;
  auto alive = lifetime_.Token();
  ctrl_socket_->Send(request_buffer_.data(), static_cast<int>(request_buffer_.size()));
  return static_cast<bool>(alive);
}

bool THttpCli::SendHeaderLine(std::string S) {
  if (!FireEvent(lifetime_, OnCommand, this, S)) return false;
  request_buffer_ += S;
  request_buffer_ += "\r\n";
  return true;
}

bool THttpCli::SocketDataSent(Word /*Error*/) {
  watchdog_.Activity();
  if (!allowed_to_send_ || send_stream_ == nullptr) return true;
  int64_t n = send_stream_->Read(send_buf_.data(), static_cast<int64_t>(send_buf_.size()));
  if (n <= 0) {
    allowed_to_send_ = false;
    return TriggerSendEnd();
  }
  sent_count_ += n;
  if (!TriggerSendData(send_buf_.data(), static_cast<int>(n))) return false;
  auto alive = lifetime_.Token();
  ctrl_socket_->Send(send_buf_.data(), static_cast<int>(n));
  return static_cast<bool>(alive);
}

// ---- Receiving -------------------------------------------------------------------

bool THttpCli::SocketDataAvailable(Word Error) {
  if (kept_) return KeptConnectionData(Error);
  // A body is read in large pieces straight into RcvdStream; a header line
  // must fit the line room.
  const bool body = step_ == TStep::kBody;
  const int limit = body ? std::min(kHttpBodyReadSize, std::max(body_read_size_, rcv_cnt_ + 1)) : kHttpLineRoom;
  const int room = limit - rcv_cnt_;
  watchdog_.Activity();
  if (room <= 0) throw EHttpException("HTTP line too long", httperrTooLong);
  if (body && rcv_cnt_ == 0 && ReceiveBodyInPlace()) return true;
  int n = ctrl_socket_->Receive(rcv_buf_.data() + rcv_cnt_, room);
  if (request_type_ == hrNone || n <= 0) return true;
  rcv_cnt_ += n;

  if (body) return DeliverBufferedBody();

  const uint32_t request = request_id_;
  while (rcv_cnt_ > 0) {
    char* begin = rcv_buf_.data();
    char* lf = static_cast<char*>(std::memchr(begin, '\n', static_cast<size_t>(rcv_cnt_)));
    if (lf == nullptr) break;
    int len = static_cast<int>(lf - begin);
    bool cr = len > 0 && begin[len - 1] == '\r';
    last_line_.assign(begin, static_cast<size_t>(cr ? len - 1 : len));
    last_line_end_ = cr ? "\r\n" : "\n";
    rcv_cnt_ -= len + 1;
    std::memmove(begin, lf + 1, static_cast<size_t>(rcv_cnt_));
    bool alive;
    if (State() == hsWaitingHeader)
      alive = HeaderLineProcessing();
    else if (step_ == TStep::kBody)
      alive = BodyDataProcessing(last_line_.data(), static_cast<int>(last_line_.size()));
    else
      alive = FireEvent(lifetime_, OnStrayData, this, Error);
    if (!alive) return false;
    if (request != request_id_) return true;
    if (step_ == TStep::kBody) return DeliverBufferedBody();
  }
  return true;
}

// After its first piece, a body is read straight into the room its stream
// offers (a queued file stream): the bytes are then not copied again. The
// first piece is not, as the stream may be chosen while it is delivered.
bool THttpCli::ReceiveBodyInPlace() {
  // A chunked body is decoded from the receive buffer.
  if (rcvd_stream_ == nullptr || body_piece_count_ == 0 || chunked_) return false;
  int64_t space_size = 0;
  char* space = rcvd_stream_->WriteSpace(space_size);
  if (space == nullptr || space_size <= 0) return false;
  const int n = ctrl_socket_->Receive(space, static_cast<int>(std::min<int64_t>(space_size, body_read_size_)));
  if (request_type_ == hrNone || n <= 0) return true;
  const uint32_t request = request_id_;
  if (!BodyDataProcessing(space, n) || request != request_id_) return true;
  if (step_ == TStep::kBody && content_length_ >= 0 && rcvd_count_ >= content_length_)
    (void)EndBodyAtLength();
  return true;
}

bool THttpCli::DeliverBufferedBody() {
  if (rcv_cnt_ <= 0) return true;
  int count = rcv_cnt_;
  rcv_cnt_ = 0;
  const uint32_t request = request_id_;
  if (!RawBodyProcessing(rcv_buf_.data(), count)) return false;
  if (request != request_id_) return true;
  if (step_ == TStep::kBody && content_length_ >= 0 && rcvd_count_ >= content_length_)
    return EndBodyAtLength();
  return true;
}

bool THttpCli::RawBodyProcessing(const char* Data, int Len) {
  if (!chunked_) return BodyDataProcessing(Data, Len);
  auto alive = lifetime_.Token();
  const uint32_t request = request_id_;
  const bool going_on = chunked_body_.Read(Data, static_cast<size_t>(Len), [&](const char* piece, size_t n) {
    return BodyDataProcessing(piece, static_cast<int>(n)) && request == request_id_ && step_ == TStep::kBody;
  });
  if (!alive) return false;
  if (!going_on || request != request_id_ || step_ != TStep::kBody) return true;
  // The last chunk and its trailer: the document is complete.
  if (chunked_body_.Done()) return EndBodyAtLength();
  return true;
}

// Every byte the header announced arrived: the response ends here, whatever
// the server sends after it and however long it keeps the connection.
bool THttpCli::EndBodyAtLength() {
  if (MayKeepConnection(body_surplus_ || rcv_cnt_ > 0 || (chunked_ && chunked_body_.Overrun()))) {
    KeepConnection();
  } else {
    connected_ = false;
    CloseQuietly();
  }
  const uint32_t request = request_id_;
  if (body_piece_count_ > 0 && !TriggerDocEnd()) return false;
  if (request == request_id_) SetReady();
  return true;
}

bool THttpCli::MayKeepConnection(bool Surplus) const {
  if (!keep_request_ || Surplus || connection_close_ || ctrl_socket_->State() != wsConnected) return false;
  return response_version_ == 11 || (response_version_ == 10 && connection_keep_alive_);
}

void THttpCli::KeepConnection() {
  kept_ = true;
  kept_key_ = ConnectionKey();
}

bool THttpCli::KeptConnectionData(Word Error) {
  // No response is due: whatever comes is not one, and the connection can
  // no longer tell where the next one would begin.
  const int n = ctrl_socket_->Receive(rcv_buf_.data(), kHttpLineRoom);
  if (n <= 0) return true;  // the close follows
  const char* at = rcv_buf_.data();
  const char* end = at + n;
  CloseQuietly(false);
  connected_ = false;
  while (const char* lf = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)))) {
    const bool cr = lf > at && lf[-1] == '\r';
    last_line_.assign(at, static_cast<size_t>(lf - at) - (cr ? 1 : 0));
    last_line_end_ = cr ? "\r\n" : "\n";
    at = lf + 1;
    if (!FireEvent(lifetime_, OnStrayData, this, Error)) return false;
  }
  return true;
}

bool THttpCli::HeaderLineProcessing() {
  if (step_ == TStep::kTunnel || step_ == TStep::kTunnelHeader) return TunnelLineProcessing();
  const std::string& line = last_line_;
  // The answer after an interim one continues the header already begun.
  if (header_line_count_ == 0 && !InHeader()) {
    if (!TriggerHeaderBegin()) return false;
    if (!InHeader()) return true;  // a handler ended the request
  }

  if (StartsText("<HTML>", line)) {
    // No header at all: the response is a body from its first byte, which
    // is delivered as it came (line end included).
    if (content_type_.empty()) content_type_ = "text/html";
    if (!SetStep(TStep::kBody)) return false;
    std::string first = line + last_line_end_;
    if (!TriggerHeaderEnd()) return false;
    if (step_ != TStep::kBody) return true;  // a handler ended the request
    return BodyDataProcessing(first.data(), static_cast<int>(first.size()));
  }

  if (line.empty()) {
    if (status_code_ < 100 || status_code_ > 199) return EndHeader();
    EndInterimAnswer();
    return true;
  }

  KeepHeaderLine(line);

  if (line.starts_with("HTTP/1.0") || line.starts_with("HTTP/1.1")) {
    status_code_ = ParseStatus(line.size() >= 12 ? line.substr(9, 3) : line.substr(std::min<size_t>(9, line.size())));
    reason_phrase_ = line.size() > 13 ? line.substr(13) : std::string();
    response_version_ = line.starts_with("HTTP/1.1") ? 11 : 10;
  } else {
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') ++v;
      if (!ProcessHeaderField(LowerCase(line.substr(0, colon)), line.substr(v))) return false;
      if (!InHeader()) return true;  // an OnCookie handler ended the request
    }
  }
  return FireEvent(lifetime_, OnHeaderData, this);
}

void THttpCli::EndInterimAnswer() {
  // The byte bound of the header holds for all of them together.
  if (++interim_answers_ > kHttpMaxInterimAnswers) throw EHttpException("too many interim (1xx) answers", httperrTooLong);
  rcvd_header_.clear();
  header_line_count_ = 0;
  status_code_ = 0;
  reason_phrase_.clear();
  content_length_ = -1;
  content_type_.clear();
  chunked_ = false;
  response_version_ = 0;
  connection_close_ = false;
  connection_keep_alive_ = false;
}

bool THttpCli::ProcessHeaderField(const std::string& Name, const std::string& Value) {
  if (Name == "location") {
    // Only a redirection sends the request elsewhere.
    if (IsRedirection(status_code_)) ProcessLocation(Value);
  } else if (Name == "content-length") {
    content_length_ = ParseLength(Value);
  } else if (Name == "transfer-encoding") {
    // The last coding applied says how the body ends.
    const size_t comma = Value.rfind(',');
    chunked_ = LowerCase(std::string(TrimWS(Value.substr(comma == std::string::npos ? 0 : comma + 1)))) == "chunked";
  } else if (Name == "content-range") {
    // "bytes first-last/total"
    std::string rest = Value.size() > 6 ? Value.substr(6) : std::string();
    size_t dash = rest.find('-');
    if (dash == std::string::npos) {
      content_range_begin_ = rest;
      content_range_end_.clear();
    } else {
      size_t slash = rest.find('/', dash);
      content_range_begin_ = rest.substr(0, dash);
      content_range_end_ = rest.substr(dash + 1, slash == std::string::npos ? std::string::npos : slash - dash - 1);
    }
  } else if (Name == "connection") {
    // A list of tokens, in any case: "close", "keep-alive", field names.
    size_t at = 0;
    while (at <= Value.size()) {
      const size_t comma = std::min(Value.find(',', at), Value.size());
      const std::string token = LowerCase(std::string(TrimWS(Value.substr(at, comma - at))));
      connection_close_ = connection_close_ || token == "close";
      connection_keep_alive_ = connection_keep_alive_ || token == "keep-alive";
      at = comma + 1;
    }
  } else if (Name == "accept-ranges") {
    accept_ranges_ = Value;
  } else if (Name == "content-type") {
    content_type_ = LowerCase(Value);
  } else if (Name == "www-authenticate") {
    authenticate_challenges_.push_back(Value);
  } else if (Name == "set-cookie") {
    bool accept = true;
    return TriggerCookie(Value, accept);
  }
  return true;
}

bool THttpCli::EndHeader() {
  const TStep header = step_;
  const uint32_t request = request_id_;
  // The chunks say where the body ends, not a "content-length".
  if (chunked_) content_length_ = -1;
  // Asked over HTTP/1.1, these answers have no body whatever their fields
  // say: the next response may follow on the connection.
  const bool bodiless =
      keep_request_ && (request_type_ == hrHead || status_code_ == 204 || status_code_ == 304);
  if (header != TStep::kRedirectHeader && header != TStep::kRefusedHeader && content_length_ != 0 && !bodiless) {
    std::string ext = LowerCase(ExtractFileExt(doc_name_));
    if ((ext == ".exe" || ext.empty()) && content_type_ == "text/html") doc_name_ = ReplaceExt(doc_name_, "htm");
    if (!SetStep(TStep::kBody)) return false;
    if (!TriggerHeaderEnd()) return false;
    if (request != request_id_ || step_ != TStep::kBody) return true;
    if (!DeliverBufferedBody()) return false;
    if (request != request_id_) return true;
    // The body of an error answer is not read further (unless it is complete
    // and its connection kept).
    if (status_code_ >= 400 && step_ == TStep::kBody && !kept_) {
      auto alive = lifetime_.Token();
      ctrl_socket_->Close();
      return static_cast<bool>(alive);
    }
    return true;
  }
  SetStep(TStep::kHeaderEnded);  // within hsWaitingHeader
  if (!TriggerHeaderEnd()) return false;
  // A handler that ended the request (Abort) or started another leaves it so.
  if (request != request_id_ || step_ != TStep::kHeaderEnded) return true;
  const bool surplus = rcv_cnt_ > 0;
  rcv_cnt_ = 0;
  if (header == TStep::kRedirectHeader) {
    header_line_count_ = 0;
    body_piece_count_ = 0;
    SetStep(TStep::kRedirecting);  // within hsWaitingHeader
    auto alive = lifetime_.Token();
    ctrl_socket_->Close();
    return static_cast<bool>(alive);
  }
  if (header == TStep::kRefusedHeader) {
    // An https document must not continue over plain http: nothing of this
    // response reaches the caller.
    status_code_ = 404;
    reason_phrase_ = "redirect from https to http refused.";
    request_done_error_ = kHttpDowngradeRefused;
  }
  // No body: the response is complete; the connection is of no more use
  // unless it is kept.
  if (header != TStep::kRefusedHeader && MayKeepConnection(surplus)) {
    KeepConnection();
  } else {
    connected_ = false;
    CloseQuietly();
  }
  SetReady();
  return true;
}

bool THttpCli::BodyDataProcessing(const char* Data, int Len) {
  // Bytes past the announced length are not the document's.
  if (content_length_ >= 0 && Len > content_length_ - rcvd_count_) {
    Len = static_cast<int>(std::max<int64_t>(content_length_ - rcvd_count_, 0));
    body_surplus_ = true;
  }
  if (Len <= 0) return true;
  if (body_piece_count_++ == 0) {
    if (!TriggerDocBegin()) return false;
    if (step_ != TStep::kBody) return true;  // a handler ended the request
  }
  rcvd_count_ += Len;
  if (rcvd_stream_ != nullptr) rcvd_stream_->WriteBuffer(Data, Len);
  return TriggerDocData(Data, Len);
}

// ---- Redirection -----------------------------------------------------------------

void THttpCli::ProcessLocation(const std::string& Value) {
  // Never followed: it would end the next request's lines early.
  if (HoldsControlByte(Value)) throw EHttpException("invalid URL.", httperrBadUrl);
  const std::string target = ResolveReference(RequestedUrl(), Value);
  // Only http and https URLs are followed; any other scheme ends the request
  // with this response. An https document is never continued over http.
  const bool to_http = target.starts_with("http://");
  if (!to_http && !target.starts_with("https://")) return;
  if (to_http && tls_) {
    SetStep(TStep::kRefusedHeader);  // within hsWaitingHeader
    return;
  }
  if (step_ != TStep::kRefusedHeader) SetStep(TStep::kRedirectHeader);  // within hsWaitingHeader
  RedirectToUrl(target);
}

std::string THttpCli::RequestedUrl() const {
  // Through a plain proxy the request names the absolute URL already.
  if (!proxy_.empty() && !tls_) return path_;
  return OriginText() + (path_.starts_with("/") ? "" : "/") + path_;
}

void THttpCli::RedirectToUrl(const std::string& Value) {
  std::string proto, user, pass, host, port, path = path_;
  ParseURL(Value, proto, user, pass, host, port, path);
  if (host.empty()) throw EHttpException(kNoHostText, httperrBadUrl);
  if (!IsAsciiHostName(host)) throw EHttpException(InvalidHostNameText(host), httperrBadUrl);
  proto = proto.empty() ? "http" : LowerCase(proto);
  SetOrigin(proto, host, port);
  if (!user.empty() && !pass.empty()) {
    username_ = user;
    password_ = pass;
    credentials_origin_ = OriginKey();
  }
  if (!proxy_.empty() && !tls_) {
    location_ = proto + "://" + UrlHost(host) + (port.empty() ? "" : ":" + port) + path;
    path_ = location_;
    return;
  }
  // Direct: the new server is connected to; tunnelled: the proxy again.
  if (proxy_.empty()) {
    host_name_ = host;
    port_ = target_port_;
  }
  path_ = path;
  location_ = OriginText() + path_;
  if (path_.empty()) path_ = "/";
}

bool THttpCli::LocationSessionClosed(Word Error) {
  if (Error != 0) request_done_error_ = Error;
  connected_ = false;
  return FollowRedirection();
}

bool THttpCli::FollowRedirection() {
  SetStep(TStep::kFollowing);  // within hsWaitingHeader
  connected_ = false;
  if (redirection_count_ >= kHttpMaxRedirections) {
    status_code_ = 404;
    reason_phrase_ = "too many redirects.";
    request_done_error_ = kHttpTooManyRedirects;
    SetReady();
    return true;
  }
  ++redirection_count_;
  size_t hash = location_.find('#');
  if (hash != std::string::npos) location_.resize(hash);
  hash = path_.find('#');
  if (hash != std::string::npos) path_.resize(hash);
  {
    std::string proto, user, pass, host, port, path;
    ParseURL(location_, proto, user, pass, host, port, path);
    doc_name_ = path;
    AdjustDocName();
  }
  if (request_type_ == hrPost) request_type_ = hrGet;
  // The target has the form the last hop's proxy gave it.
  const bool absolute_target = !proxy_.empty() && !tls_;
  if (!FireEvent(lifetime_, OnLocationChange, this)) return false;
  ForgetResponse();
  // The new hop picks its own proxy.
  if (!RouteHop(location_, absolute_target)) return false;
  if (step_ != TStep::kFollowing) return true;  // a handler ended the request
  target_.Post(WM_HTTP_LOGIN, request_id_, 0);
  return true;
}

// ---- Ending ----------------------------------------------------------------------

// What a close of the connection means in each step; the socket's close and
// every failure that ends a connection come here.
bool THttpCli::SocketSessionClosed(Word Error) {
  // A kept connection is closed with no request on it.
  if (kept_) {
    kept_ = false;
    connected_ = false;
    return true;
  }
  // A reused connection closed before the request was answered: the server
  // had given it up; a new connection gets the request once more.
  if (reused_ && step_ == TStep::kRequest && rcv_cnt_ == 0 && (request_type_ == hrGet || request_type_ == hrHead)) {
    reused_ = false;
    connected_ = false;
    SetStep(TStep::kFollowing);  // within hsWaitingHeader; WM_HTTP_LOGIN starts the lookup
    target_.Post(WM_HTTP_LOGIN, request_id_, 0);
    return true;
  }
  if (step_ == TStep::kRedirecting) return LocationSessionClosed(Error);
  // The proxy ended its answer to CONNECT before the tunnel opened.
  if (step_ == TStep::kTunnelHeader && Error == 0) {
    RefuseTunnel();
    return true;
  }
  // A close without close-notify cuts nothing off when every byte of a known
  // length arrived (each was authenticated).
  if (Error == kSslTruncatedError && step_ == TStep::kBody && content_length_ >= 0 &&
      rcvd_count_ >= content_length_)
    Error = 0;
  if (IsSslError(Error)) reason_phrase_ = ctrl_socket_->SslErrorText();
  if (Error != 0) request_done_error_ = Error;
  // A chunked document ends with its last chunk, never with the close.
  if (request_done_error_ == 0 && step_ == TStep::kBody && chunked_ && !chunked_body_.Done() &&
      status_code_ >= 200 && status_code_ <= 299) {
    request_done_error_ = kBrokenResponseError;
    reason_phrase_ = "the connection closed inside a chunked body.";
  }
  connected_ = false;
  if (InHeader()) {
    // A header cut short ends there; a location it named is still followed.
    const bool follow = step_ == TStep::kRedirectHeader;
    const uint32_t request = request_id_;
    SetStep(TStep::kHeaderEnded);  // within hsWaitingHeader
    if (!TriggerHeaderEnd()) return false;
    // A handler that ended the request (Abort) or started another leaves it so.
    if (request != request_id_ || step_ != TStep::kHeaderEnded) return true;
    if (follow) return FollowRedirection();
    SetReady();
    return true;
  }
  if (body_piece_count_ > 0 && !TriggerDocEnd()) return false;
  SetReady();
  return true;
}

void THttpCli::SocketBgException(const std::exception& E, bool& CanClose) {
  CanClose = true;
  if (step_ == TStep::kIdle) return;
  // A broken response is not followed anywhere.
  if (step_ == TStep::kRedirectHeader) SetStep(TStep::kHeader);  // within hsWaitingHeader
  request_done_error_ = kBrokenResponseError;
  reason_phrase_ = E.what();
  // The socket aborts next; when it had already reported its close (an
  // exception of an OnDocEnd handler) nothing else would end the request.
  SetReady();
}

void THttpCli::Abort() {
  if (step_ == TStep::kIdle) {
    if (ctrl_socket_->State() != wsClosed) ctrl_socket_->Close();
    return;
  }
  (void)EndRequest(404, "Connection aborted on request", httperrAborted);
}

void THttpCli::TimedOut(TTimeoutKind Kind) {
  if (step_ == TStep::kIdle || step_ == TStep::kAborting) return;
  // A status already received stays; before one the request ends as a
  // connection failure does.
  (void)EndRequest(status_code_ != 0 ? status_code_ : 404, watchdog_.ReasonText(Kind), watchdog_.ErrorNumber(Kind));
}

void THttpCli::DeadlinePassed() {
  if (step_ == TStep::kIdle || step_ == TStep::kAborting) return;
  (void)EndRequest(status_code_ != 0 ? status_code_ : 404, DeadlineText(total_timeout_), kHttpDeadlinePassed);
}

std::string THttpCli::DeadlineText(int Seconds) {
  const bool minutes = Seconds >= 60 && Seconds % 60 == 0;
  const int n = minutes ? Seconds / 60 : Seconds;
  return "no complete answer within " + std::to_string(n) + (minutes ? " minute" : " second") +
         (n == 1 ? "." : "s.");
}

bool THttpCli::EndRequest(int Status, const std::string& Reason, Word Error) {
  const TStep was = step_;
  if (!SetStep(TStep::kAborting)) return false;
  auto alive = lifetime_.Token();
  if (StateOf(was) == hsDnsLookup) {
    try {
      ctrl_socket_->CancelDnsLookup();
    } catch (...) {
    }
    if (!alive) return false;
  }
  status_code_ = Status;
  reason_phrase_ = Reason;
  request_done_error_ = Error;
  // The connection's close ends what it cut short: the header or the
  // document. An aborted redirection is not followed, nor an answer of a
  // proxy read further.
  // A connection kept after the response ended cut nothing short.
  const bool open = ctrl_socket_->State() != wsClosed && !kept_;
  CloseQuietly(false);
  if (!alive) return false;
  rcv_cnt_ = 0;
  if (open && InHeader(was)) {
    if (!TriggerHeaderEnd()) return false;
  } else if (open && body_piece_count_ > 0) {
    if (!TriggerDocEnd()) return false;
  }
  connected_ = false;
  return SetStep(TStep::kIdle);
}

void THttpCli::DoRequestSync(THttpRequest Kind) {
  auto alive = lifetime_.Token();
  DoRequestAsync(Kind);
  if (!alive) return;
  // Every way the request ends is an event (socket readiness, a posted
  // message, a time limit's timer, a handler's Abort), so each pass sleeps
  // until one is due instead of polling.
  while (step_ != TStep::kIdle) {
    if (multi_threaded_)
      ctrl_socket_->WaitForMessages();
    else
      platform::WaitForMessages();
    if (!alive) return;
  }
  if (status_code_ > 399) throw EHttpException(reason_phrase_, status_code_);
}

}  // namespace quillon
