// THttpCli: an event-driven HTTP client that fetches one document at a
// time over a TWSocket it owns (CtrlSocket). Unless KeepAlive is set, one
// connection per request: the request line says HTTP/1.0, the document ends
// with its last byte by "content-length" or else when the server closes the
// connection, and each redirection opens a new connection (KeepAlive below
// says what changes with it). It can
// go through an HTTP proxy or a SOCKS server, sends Basic credentials, can ask
// for a byte range, and writes the body into RcvdStream while it reports
// progress through events.
//
// https:// URLs (port 443 by default) run the same requests over TLS (the
// socket's TLS layer verifies the server like a browser; SslCAFile adds a CA).
// Through an HTTP proxy the client first asks "CONNECT host:port"; a 2xx
// answer opens the tunnel and TLS starts on it, any other answer (or a close
// before the answer ended) fails the request. The proxy's answer is never
// taken for the server's: none of its fields is used (a "location" neither),
// no header or document event reports it. Through a SOCKS server TLS runs on
// the SOCKS connection.
//
// The request line names the URL's path and query percent-encoded where RFC
// 3986 asks for it (RequestTarget of url.h: "a b" goes as "a%20b", "%XX"
// escapes as written); the URL's fragment is never sent, and a "#" ends its
// authority as it ends its path. The "Host" field names the port when it is
// not the scheme's default (80 for http, 443 for https). Only 301, 302, 303,
// 307 and 308 are followed as redirections; a "location" on any other status
// is ignored. A relative "location" is resolved against the URL that was
// asked for by RFC 3986 section 5.2 (ResolveReference of url.h: dot segments
// removed, "//host/p" a network-path reference, "?q" a new query, the
// fragment dropped). A redirected request asks for the same byte range again.
//
// Interim answers (1xx, "HTTP/1.1 100 Continue") are skipped with their header
// lines, up to kHttpMaxInterimAnswers of them: the events and RcvdHeader
// report the final answer alone. A body with "Transfer-Encoding: chunked"
// (its last coding) is delivered decoded (see chunked_body.h), ContentLength
// is then -1 whatever "content-length" says, and the response ends with the
// last chunk's trailer. Otherwise nothing past a response's "content-length"
// is delivered.
//
// Persistent connections (KeepAlive set when the request starts): the
// request line says HTTP/1.1 (no "Connection" field is sent). A response
// keeps its connection when the server allows it (HTTP/1.1 without
// "Connection: close", or HTTP/1.0 with "Connection: keep-alive") and its
// end is known from its framing: its content-length reached, the last chunk
// and trailer of a chunked body, or no body at all (an answer to HEAD, 204,
// 304, or a content-length of 0), with no byte after that end. The request
// then ends as usual (OnDocEnd, OnRequestDone, hsReady) and Connected()
// stays true. Any other response ends as without KeepAlive (closed; a body
// without a length runs to the close), and so does an error answer whose
// body is not read, and every redirection (its hop connects anew).
// The next request whose first hop leads to the same scheme, host and port
// the same way (the proxy OnChooseProxy leaves, the SOCKS settings,
// LocalAddr, SslCAFile; TLS goes on in the session already open) is sent on
// the kept connection at once: no lookup, connect or CONNECT, its states go
// hsNotConnected -> hsConnected -> hsWaitingHeader and OnSessionConnected
// (and OnSocksConnected) do not fire; OnChooseProxy still does. A request to
// another target closes the kept connection first and connects anew, as
// does one without KeepAlive. If a reused connection closes or resets before
// any byte of the response arrived (a server may close an idle connection
// at any moment), a GET or HEAD is sent once more on a new connection
// (hsWaitingHeader -> hsDnsLookup ... with the events of a connect); a second
// such close, a POST, or a failure after the first byte end the request as
// they would on a new connection. While kept, the connection is not watched
// by any time limit; its close by the server only ends it (no event), and
// bytes the server sends then end it too, each complete line going to
// OnStrayData first. Abort in hsReady and the client's destruction close it.
//
// Credentials (the URL's, or Username and Password) are sent only to the host
// and port of the URL they came with, never to a host a redirection names.
//
// Each hop of a request (its first connection and each redirection's) picks
// its own way: before it connects, OnChooseProxy (when assigned) gets the
// hop's URL ("scheme://host[:port]/path", no user or password) and sets or
// clears Proxy (with ProxyPort, ProxyUsername, ProxyPassword) and the SOCKS
// settings for that hop; without a handler every hop takes the settings as
// they stand. Through an HTTP proxy an http hop names its absolute URL and
// sends Proxy-Authorization, an https hop asks for a CONNECT tunnel; through
// a SOCKS 5 or 4A server the hop's host name is handed to the server and
// never looked up here; with neither the hop connects directly. The proxy's
// credentials go to the proxy only. Proxy may be an IPv6 address, bare or
// in brackets.
//
// Life of a request:
//   hsReady -> hsNotConnected -> hsDnsLookup -> hsDnsLookupDone -> hsConnected
//   -> hsWaitingHeader -> hsWaitingBody -> hsReady
// A redirection stays in hsWaitingHeader until the old connection closed and
// starts again at hsDnsLookup. Abort passes through hsAborting. OnStateChange
// fires at each change of State.
//
// Completion: the end of a request is never reported from inside the socket
// event that caused it. The client posts 1026 to its own message target,
// whose handler sets State to hsReady and posts 1025, whose handler fires
// OnRequestDone(RqType, Error) once per request. A new request may start as
// soon as State is hsReady.
//
// A handler of any event may destroy the client: the client then does
// nothing more, fires no further event of that request (OnRequestDone
// neither) and closes its connection.
//
// Failures end the request with State hsReady and one OnRequestDone:
//   name lookup failed       404 "can't resolve hostname to IP address", the lookup error
//   connect failed           404 "can't connect: <text> (Error #<n>)", LastError
//   connect completed badly  404 "<text> (Error #<n>)", the error
//   lookup did not start     404 the exception's message or the socket's text, 0
//   URL with a byte < 0x20   404 "invalid URL.", 10022 (nothing is sent)
//   URL naming no host ("http://", "http:///x")
//                            404 "the URL names no host.", 10022
//   host name without an ASCII (IDNA) form
//                            404 "the host name <name> is not valid.", 10022
//   setting refused          404 "can't connect: <the socket's message>", 10022
//     (a port text naming no service, a SOCKS server name that does not
//     resolve)
//   Abort                    404 "Connection aborted on request", 3
//   no connection within ConnectTimeout seconds
//                            404 "connection timed out.", kConnectTimeoutError
//   no byte sent or received for IdleTimeout seconds once connected
//                            the status so far (404 before one), "no data for
//                            <n> seconds.", kIdleTimeoutError
//   not ended within TotalTimeout seconds of its start (redirections included)
//                            the status so far (404 before one), "no complete
//                            answer within <n> seconds." (DeadlineText),
//                            kHttpDeadlinePassed
//   closed with an error     status of the response so far, the close error
//   4xx / 5xx answer         the answer's code and text, 0
//   broken response          the status so far, the exception's message, 10053
//     (a line over 8192 bytes, more than 1000 header lines or 256 KiB of
//     header, more than kHttpMaxInterimAnswers 1xx answers, a malformed
//     status code or content-length, a chunked body whose framing is broken
//     ("bad chunked body: ...") or that the close cut short ("the connection
//     closed inside a chunked body."), a redirection's "location" holding a
//     byte below 0x20 ("invalid URL."), naming no host ("the URL names no
//     host.") or a host without an ASCII form ("the host name <name> is not
//     valid."), a failed write to RcvdStream, an exception thrown by an
//     event handler)
//   too many redirections    404 "too many redirects.", kHttpTooManyRedirects
//                            (the 21st in a row)
//   CONNECT answered non-2xx 404 "the proxy refused the tunnel: <its status line>",
//                            kHttpTunnelRefused (nothing of that answer is delivered)
//   TLS failed               404 (during the handshake) or the status so far,
//                            the socket's SslErrorText, its TLS error (20101-20104);
//                            a close without close-notify after every byte of a
//                            known length counts as a clean end
//   https -> http redirection 404 "redirect from https to http refused.", 20110
//                            (nothing of that response is delivered)
// A "location" with a scheme other than http or https is not followed: that
// response is the final one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/date_time.h"
#include "base/exceptions.h"
#include "base/lifetime.h"
#include "base/stream.h"
#include "net/http/chunked_body.h"
#include "net/socket/sync_wsocket.h"
#include "net/socket/transfer_watchdog.h"
#include "platform/message_target.h"
#include "platform/timer.h"

namespace quillon {

// The client's own error numbers. httperrAborted is also the Error of the
// OnRequestDone that ends an aborted request.
enum THttpError : int {
  httperrBusy = 1,          // "HTTP component is busy"
  httperrNothingToPost = 2, // "HTTP component has nothing to post"
  httperrAborted = 3,       // Abort
  httperrTooLong = 4,       // a header line or header too large, data after a tunnel
  httperrBadUrl = 5,        // a Location with control bytes, no host or an invalid host name
  httperrBadChunk = 6,      // a chunked body whose framing cannot be read
};

// Raised by the starting operations (httperrBusy, httperrNothingToPost),
// inside socket events (httperrTooLong and httperrBadUrl), and by Get with the
// status code and ReasonPhrase when the status is above 399.
class EHttpException : public Exception {
 public:
  EHttpException(const std::string& Msg, int ErrorCode) : Exception(Msg), error_code_(ErrorCode) {}
  int ErrorCode() const { return error_code_; }

 private:
  int error_code_;
};

// Ordinal values are part of the interface.
enum THttpRequest { hrNone = 0, hrGet = 1, hrPost = 2, hrHead = 3 };
enum THttpState {
  hsReady = 0,
  hsNotConnected = 1,
  hsConnected = 2,
  hsDnsLookup = 3,
  hsDnsLookupDone = 4,
  hsWaitingHeader = 5,
  hsWaitingBody = 6,
  hsAborting = 7,
};

// Messages of the client's own target.
inline constexpr uint32_t WM_HTTP_REQUEST_DONE = 1025;
inline constexpr uint32_t WM_HTTP_SET_READY = 1026;
inline constexpr uint32_t WM_HTTP_LOGIN = 1027;

// Receive room for a header line, and the most bytes read at once while a
// body arrives (read straight into RcvdStream, so larger reads mean fewer
// system calls per byte).
inline constexpr int kHttpLineRoom = 8192;
inline constexpr int kHttpBodyReadSize = 256 * 1024;
// Bounds on one response's header.
inline constexpr int kHttpMaxHeaderLines = 1000;
inline constexpr int64_t kHttpMaxHeaderBytes = 256 * 1024;
// Interim (1xx) answers skipped before one final answer.
inline constexpr int kHttpMaxInterimAnswers = 16;
// Successive redirections followed within one request.
inline constexpr int kHttpMaxRedirections = 20;
// The error of a request whose https response redirected to an http URL.
inline constexpr Word kHttpDowngradeRefused = 20110;
// The error of a request whose proxy answered CONNECT with anything but 2xx.
inline constexpr Word kHttpTunnelRefused = 20111;
// The error of a request that was redirected more than kHttpMaxRedirections times.
inline constexpr Word kHttpTooManyRedirects = 20112;
// The error of a request that did not end within its TotalTimeout.
inline constexpr Word kHttpDeadlinePassed = 20113;
// The environment variable that names a default SslCAFile for every client.
inline constexpr const char* kCAFileVariable = "QUILLON_CA_FILE";

class THttpCli;

using THttpNotifyEvent = std::function<void(THttpCli* Sender)>;
using THttpBeforeHeaderSendEvent =
    std::function<void(THttpCli* Sender, const std::string& Method, std::vector<std::string>& Headers)>;
using THttpCommandEvent = std::function<void(THttpCli* Sender, std::string& S)>;
using THttpDataEvent = std::function<void(THttpCli* Sender, const void* Buffer, int Len)>;
using THttpCookieEvent = std::function<void(THttpCli* Sender, const std::string& Data, bool& Accept)>;
using THttpRequestDoneEvent = std::function<void(THttpCli* Sender, THttpRequest RqType, Word Error)>;
using THttpErrorEvent = std::function<void(THttpCli* Sender, Word Error)>;
using THttpSocksErrorEvent = std::function<void(THttpCli* Sender, int Error, const std::string& Msg)>;
using THttpSocksAuthStateEvent = std::function<void(THttpCli* Sender, TSocksAuthState AuthState)>;
using THttpProxyChoiceEvent = std::function<void(THttpCli* Sender, const std::string& Url)>;

class THttpCli : private platform::MessageHandler {
 public:
  THttpCli();
  virtual ~THttpCli();
  THttpCli(const THttpCli&) = delete;
  THttpCli& operator=(const THttpCli&) = delete;

  // ---- Settings of the next request ------------------------------------------
  const std::string& URL() const { return url_; }
  void SetURL(const std::string& v) { url_ = v; }
  const std::string& LocalAddr() const { return local_addr_; }
  void SetLocalAddr(const std::string& v) { local_addr_ = v; }
  // Proxy host, may be written as a URL with a port ("[v6]:port" for an
  // IPv6 address, or the address alone); empty: direct.
  const std::string& Proxy() const { return proxy_; }
  void SetProxy(const std::string& v) { proxy_ = v; }
  const std::string& ProxyPort() const { return proxy_port_; }
  void SetProxyPort(const std::string& v) { proxy_port_ = v; }
  const std::string& Sender() const { return sender_; }
  void SetSender(const std::string& v) { sender_ = v; }
  const std::string& Agent() const { return agent_; }
  void SetAgent(const std::string& v) { agent_ = v; }
  const std::string& Accept() const { return accept_; }
  void SetAccept(const std::string& v) { accept_ = v; }
  const std::string& AcceptLanguage() const { return accept_language_; }
  void SetAcceptLanguage(const std::string& v) { accept_language_ = v; }
  const std::string& Reference() const { return reference_; }
  void SetReference(const std::string& v) { reference_ = v; }
  const std::string& Username() const { return username_; }
  void SetUsername(const std::string& v) { username_ = v; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& v) { password_ = v; }
  const std::string& ProxyUsername() const { return proxy_username_; }
  void SetProxyUsername(const std::string& v) { proxy_username_ = v; }
  const std::string& ProxyPassword() const { return proxy_password_; }
  void SetProxyPassword(const std::string& v) { proxy_password_ = v; }
  bool NoCache() const { return no_cache_; }
  void SetNoCache(bool v) { no_cache_ = v; }
  TDateTime ModifiedSince() const { return modified_since_; }
  void SetModifiedSince(TDateTime v) { modified_since_ = v; }
  const std::string& Cookie() const { return cookie_; }
  void SetCookie(const std::string& v) { cookie_ = v; }
  const std::string& ContentTypePost() const { return content_type_post_; }
  void SetContentTypePost(const std::string& v) { content_type_post_ = v; }
  // Byte range to ask for; taken (and cleared) when a request starts, and
  // asked for again at each of its redirections; set from a "content-range"
  // response field.
  const std::string& ContentRangeBegin() const { return content_range_begin_; }
  void SetContentRangeBegin(const std::string& v) { content_range_begin_ = v; }
  const std::string& ContentRangeEnd() const { return content_range_end_; }
  void SetContentRangeEnd(const std::string& v) { content_range_end_ = v; }
  const std::string& AcceptRanges() const { return accept_ranges_; }
  // HTTP/1.1 persistent connections (see above); off by default. Read when
  // a request starts.
  bool KeepAlive() const { return keep_alive_; }
  void SetKeepAlive(bool v) { keep_alive_ = v; }
  bool MultiThreaded() const { return multi_threaded_; }
  virtual void SetMultiThreaded(bool v);
  // Time limits of each request in seconds (0 or less: none; 30 and 60 by
  // default): the connect timeout runs from the name lookup to the
  // connection (again for each redirection), the idle timeout from then on
  // until the request ends. See "Failures" above for how they end it.
  int ConnectTimeout() const { return watchdog_.ConnectTimeout(); }
  void SetConnectTimeout(int Seconds) { watchdog_.SetConnectTimeout(Seconds); }
  int IdleTimeout() const { return watchdog_.IdleTimeout(); }
  void SetIdleTimeout(int Seconds) { watchdog_.SetIdleTimeout(Seconds); }
  // Suspend it while CtrlSocket is paused on purpose.
  TTransferWatchdog& Watchdog() { return watchdog_; }
  // The limit in seconds on a whole request, from its start to its end,
  // redirections included, whatever trickles meanwhile (0 or less: none, the
  // default). Read when a request starts; Watchdog().Suspend does not stop it.
  int TotalTimeout() const { return total_timeout_; }
  void SetTotalTimeout(int Seconds) { total_timeout_ = Seconds; }
  // "no complete answer within 2 minutes." (whole minutes are said so),
  // "no complete answer within 90 seconds.".
  static std::string DeadlineText(int Seconds);
  // SOCKS settings. The socket forgets them at every close, so the client
  // keeps them and gives them to CtrlSocket before each connect.
  const std::string& SocksServer() const { return socks_server_; }
  void SetSocksServer(const std::string& v);
  const std::string& SocksLevel() const { return socks_level_; }
  void SetSocksLevel(const std::string& v);
  const std::string& SocksPort() const { return socks_port_; }
  void SetSocksPort(const std::string& v);
  const std::string& SocksUsercode() const { return socks_usercode_; }
  void SetSocksUsercode(const std::string& v);
  const std::string& SocksPassword() const { return socks_password_; }
  void SetSocksPassword(const std::string& v);
  TSocksAuthentication SocksAuthentication() const { return socks_authentication_; }
  void SetSocksAuthentication(TSocksAuthentication v);
  // A PEM file of CAs trusted besides the system's store for https; the
  // value of QUILLON_CA_FILE when the client is created, else empty.
  const std::string& SslCAFile() const { return ssl_ca_file_; }
  void SetSslCAFile(const std::string& v) { ssl_ca_file_ = v; }

  // ---- Public state ----------------------------------------------------------
  TWSocket& CtrlSocket() { return *ctrl_socket_; }
  // Derived from the step the request is in (see TStep below).
  THttpState State() const { return StateOf(step_); }
  THttpRequest RequestType() const { return request_type_; }
  // Not owned. The body is written here when assigned; SendStream is the
  // content of a POST (sent from its beginning).
  TStream* RcvdStream() const { return rcvd_stream_; }
  void SetRcvdStream(TStream* s) { rcvd_stream_ = s; }
  // The most bytes of a body read at once (1 to kHttpBodyReadSize, the
  // default): smaller reads let a rate limit hold its rate evenly.
  void SetBodyReadSize(int n) { body_read_size_ = n < 1 ? 1 : n > kHttpBodyReadSize ? kHttpBodyReadSize : n; }
  TStream* SendStream() const { return send_stream_; }
  void SetSendStream(TStream* s) { send_stream_ = s; }
  int StatusCode() const { return status_code_; }
  // The status code of a proxy's refusal of CONNECT (kHttpTunnelRefused:
  // 407 when it wants credentials); 0 when no tunnel was refused or its
  // answer had no status code.
  int TunnelStatusCode() const { return tunnel_status_code_; }
  const std::string& ReasonPhrase() const { return reason_phrase_; }
  // -1 when the response has no "content-length".
  int64_t ContentLength() const { return content_length_; }
  // Lower case.
  const std::string& ContentType() const { return content_type_; }
  int64_t RcvdCount() const { return rcvd_count_; }
  int64_t SentCount() const { return sent_count_; }
  // Every received header line in order, the status line included.
  const std::vector<std::string>& RcvdHeader() const { return rcvd_header_; }
  const std::string& DocName() const { return doc_name_; }
  // The absolute URL being fetched.
  const std::string& Location() const { return location_; }
  Word RequestDoneError() const { return request_done_error_; }
  bool Connected() const { return connected_; }

  // ---- Operations ------------------------------------------------------------
  // Start a request and return at once.
  void GetAsync() { DoRequestAsync(hrGet); }
  void PostAsync() { DoRequestAsync(hrPost); }
  void HeadAsync() { DoRequestAsync(hrHead); }
  // Run a request to its end, running the event loop meanwhile; raise
  // EHttpException when the final StatusCode is above 399. OnRequestDone
  // fires later, from the event loop. The wait sleeps between events (it
  // uses no processor time of its own), so a silent server costs nothing
  // until a time limit or Abort (from any handler) ends the request.
  void Get() { DoRequestSync(hrGet); }
  void Post() { DoRequestSync(hrPost); }
  void Head() { DoRequestSync(hrHead); }
  // Ends the current request at once (in hsReady: closes CtrlSocket only):
  // nothing more of the response is read or reported, except OnHeaderEnd or
  // OnDocEnd for a header or document it cut short. Also from an event handler.
  void Abort();

  // ---- Events ------------------------------------------------------------------
  THttpNotifyEvent OnStateChange;
  THttpNotifyEvent OnSessionConnected;
  THttpNotifyEvent OnRequestHeaderBegin;
  THttpBeforeHeaderSendEvent OnBeforeHeaderSend;
  THttpCommandEvent OnCommand;
  THttpNotifyEvent OnRequestHeaderEnd;
  THttpNotifyEvent OnSendBegin;
  THttpDataEvent OnSendData;
  THttpNotifyEvent OnSendEnd;
  THttpNotifyEvent OnHeaderBegin;
  THttpNotifyEvent OnHeaderData;
  THttpCookieEvent OnCookie;
  THttpNotifyEvent OnHeaderEnd;
  THttpNotifyEvent OnDocBegin;
  THttpDataEvent OnDocData;
  THttpNotifyEvent OnDocEnd;
  THttpNotifyEvent OnLocationChange;
  THttpRequestDoneEvent OnRequestDone;
  THttpNotifyEvent OnSocketError;
  THttpErrorEvent OnSocksConnected;
  THttpSocksErrorEvent OnSocksError;
  THttpNotifyEvent OnTrace;                  // never fired
  THttpSocksAuthStateEvent OnSocksAuthState;  // never fired
  // A complete line arrived while no request was reading.
  THttpErrorEvent OnStrayData;
  // Before each hop connects: sets that hop's proxy (see above).
  THttpProxyChoiceEvent OnChooseProxy;

 protected:
  // Every function here and below that can fire an event returns whether the
  // client survived it: false when a handler destroyed the client, and then
  // its caller returns at once, touching nothing of the client.
  [[nodiscard]] virtual bool HeaderLineProcessing();
  [[nodiscard]] virtual bool BodyDataProcessing(const char* Data, int Len);
  [[nodiscard]] virtual bool SendHeaderLine(std::string S);
  [[nodiscard]] virtual bool StartLookup();
  virtual void CloseConnection();
  virtual void ResetRequest();
  [[nodiscard]] virtual bool SocketDnsLookupDone(Word Error);
  // Connects to `address` (the lookup's result, or the name a SOCKS proxy
  // resolves), directly or through the proxy.
  [[nodiscard]] bool ConnectTo(const std::string& address);
  [[nodiscard]] virtual bool SocketSessionClosed(Word Error);
  [[nodiscard]] virtual bool SocketSessionConnected(Word Error);
  [[nodiscard]] virtual bool SocketDataSent(Word Error);
  [[nodiscard]] virtual bool SocketDataAvailable(Word Error);
  [[nodiscard]] virtual bool LocationSessionClosed(Word Error);
  virtual void DoRequestAsync(THttpRequest Kind);
  virtual void DoRequestSync(THttpRequest Kind);

  [[nodiscard]] virtual bool TriggerStateChange();
  [[nodiscard]] virtual bool TriggerCookie(const std::string& Data, bool& Accept);
  [[nodiscard]] virtual bool TriggerSessionConnected();
  [[nodiscard]] virtual bool TriggerBeforeHeaderSend(const std::string& Method, std::vector<std::string>& Headers);
  [[nodiscard]] virtual bool TriggerRequestHeaderBegin();
  [[nodiscard]] virtual bool TriggerRequestHeaderEnd();
  [[nodiscard]] virtual bool TriggerHeaderBegin();
  [[nodiscard]] virtual bool TriggerHeaderEnd();
  [[nodiscard]] virtual bool TriggerDocBegin();
  [[nodiscard]] virtual bool TriggerDocData(const void* Data, int Len);
  [[nodiscard]] virtual bool TriggerDocEnd();
  [[nodiscard]] virtual bool TriggerSendBegin();
  [[nodiscard]] virtual bool TriggerSendData(const void* Data, int Len);
  [[nodiscard]] virtual bool TriggerSendEnd();
  virtual void PostRequestDone();
  virtual void WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam);
  virtual void SetReady();
  virtual void AdjustDocName();

 private:
  // What the running request waits for: the client's one state variable.
  // State is derived from it (the comment names the THttpState of each
  // step) and SetStep is its only writer. A request that ended keeps its
  // step, and so its State, until the posted WM_HTTP_SET_READY sets kIdle.
  // SocketSessionClosed reads it to decide what a close of CtrlSocket means.
  // The three header steps of the server's response stay together (InHeader).
  enum class TStep {
    kIdle,             // hsReady: no request runs
    kStarting,         // hsNotConnected: a request is being set up
    kLookup,           // hsDnsLookup: the name lookup was asked for
    kLookupRefused,    // hsDnsLookup: the socket refused to start it (through OnError)
    kConnecting,       // hsDnsLookupDone: the address is known; connecting
    kConnected,        // hsConnected: connected, the request not sent yet
    kTunnel,           // hsWaitingHeader: a CONNECT waits for the proxy's first line
    kTunnelHeader,     // hsWaitingHeader: the proxy's answer to the CONNECT is being read
    kTunnelHandshake,  // hsWaitingHeader: the tunnel is open, TLS starts on it
    kRequest,          // hsWaitingHeader: the request is sent, no line of the response yet
    kHeader,           // hsWaitingHeader: between OnHeaderBegin and OnHeaderEnd
    kRedirectHeader,   // hsWaitingHeader: the same, with a location to follow
    kRefusedHeader,    // hsWaitingHeader: the same, with a location from https to http
    kHeaderEnded,      // hsWaitingHeader: the header ended, no body is read
    kRedirecting,      // hsWaitingHeader: the header ended with a location: its close follows it
    kFollowing,        // hsWaitingHeader: the location's lookup is posted
    kBody,             // hsWaitingBody: the header ended; a body, if any, runs to the close
    kAborting,         // hsAborting: Abort or a timeout ends the request
  };
  static constexpr THttpState StateOf(TStep Step) {
    switch (Step) {
      case TStep::kIdle: return hsReady;
      case TStep::kStarting: return hsNotConnected;
      case TStep::kLookup:
      case TStep::kLookupRefused: return hsDnsLookup;
      case TStep::kConnecting: return hsDnsLookupDone;
      case TStep::kConnected: return hsConnected;
      case TStep::kBody: return hsWaitingBody;
      case TStep::kAborting: return hsAborting;
      default: return hsWaitingHeader;
    }
  }
  static bool InHeader(TStep Step) { return Step >= TStep::kHeader && Step <= TStep::kRefusedHeader; }
  bool InHeader() const { return InHeader(step_); }
  // Moves to Step. When State changes with it, fires OnStateChange (on
  // reaching hsReady, after stopping the watchdog and posting OnRequestDone).
  // Returns whether the client survived (a move within one State fires nothing).
  bool SetStep(TStep Step);

  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  [[nodiscard]] bool SendRequest(const std::string& Method);
  // One field of the response header (name in lower case).
  [[nodiscard]] bool ProcessHeaderField(const std::string& Name, const std::string& Value);
  void ProcessLocation(const std::string& Value);
  // The new target of a location that names a scheme, host and path.
  void RedirectToUrl(const std::string& Value);
  [[nodiscard]] bool FollowRedirection();
  // Fires OnChooseProxy for the hop to `Url` and aims the hop where its
  // proxy says: the host and port connected to, and the request target (the
  // absolute URL for an http hop through an HTTP proxy, else the path).
  // `AbsoluteTarget` says which form the target has now.
  [[nodiscard]] bool RouteHop(const std::string& Url, bool AbsoluteTarget);
  // Sets the scheme, host and port of the server that answers the request.
  void SetOrigin(const std::string& Proto, const std::string& Host, const std::string& Port);
  // "scheme://host[:port]" of that server, the port only when not the default.
  std::string OriginText() const;
  // "host[:port]" of that server for the Host field, the same way.
  std::string HostField() const;
  // "host:port" of that server, host in lower case.
  std::string OriginKey() const;
  // Asks the proxy for a tunnel to the https server.
  [[nodiscard]] bool SendConnect();
  bool TunnelNeeded() { return tls_ && !proxy_.empty() && !ctrl_socket_->SslEstablished(); }
  // Clears what was received of a response (header, body counts, buffer).
  void ForgetResponse();
  // A line of the proxy's answer to the CONNECT.
  [[nodiscard]] bool TunnelLineProcessing();
  void KeepHeaderLine(const std::string& line);
  // The proxy's answer ended: the tunnel opens on 2xx, else RefuseTunnel.
  [[nodiscard]] bool EndTunnelHeader();
  // Ends the request with kHttpTunnelRefused.
  void RefuseTunnel();
  [[nodiscard]] bool EndHeader();
  // Delivers the bytes still in the receive buffer as a piece of body, and
  // ends the response once its content-length arrived. ReceiveBodyInPlace
  // returns false when it read nothing (the caller reads into the buffer
  // then) and true when it did, whether or not the client survived: its
  // caller returns at once either way.
  bool ReceiveBodyInPlace();
  [[nodiscard]] bool DeliverBufferedBody();
  // Bytes of the body as they came: decoded first when it is chunked.
  [[nodiscard]] bool RawBodyProcessing(const char* Data, int Len);
  // The empty line after an interim (1xx) answer: the next line begins the
  // answer that follows it.
  void EndInterimAnswer();
  // The absolute URL the running request asks for: the base of a relative
  // "location".
  std::string RequestedUrl() const;
  [[nodiscard]] bool EndBodyAtLength();
  void SocketBgException(const std::exception& E, bool& CanClose);
  void TimedOut(TTimeoutKind Kind);
  // TotalTimeout passed: ends the running request.
  void DeadlinePassed();
  // Ends the running request at once with these values (Abort, timeouts).
  [[nodiscard]] bool EndRequest(int Status, const std::string& Reason, Word Error);
  // Closes CtrlSocket (resetting the connection, or in order) without its
  // OnSessionClosed reaching the client: the caller says what the close means.
  void CloseQuietly(bool Reset = true);
  void ApplySocksSettings();
  // Sends the request of request_type_ on the connection just made or kept.
  [[nodiscard]] bool SendRequestOfKind();
  // What a connection made for the current hop is: its scheme, server and
  // way there (proxy, SOCKS, local address, CAs). A kept connection serves a
  // request whose key is the same.
  std::string ConnectionKey() const;
  // The response just ended by its framing, `Surplus` bytes after its end:
  // whether its connection stays open for the next request.
  bool MayKeepConnection(bool Surplus) const;
  // Leaves the connection open for the next request (kept_).
  void KeepConnection();
  // Sends the starting request on the kept connection.
  [[nodiscard]] bool SendOnKeptConnection();
  // Bytes arrived on a kept connection: complete lines go to OnStrayData,
  // then the connection is closed.
  [[nodiscard]] bool KeptConnectionData(Word Error);

  std::unique_ptr<TWSocket> ctrl_socket_;
  platform::MessageTarget target_;

  // The settings above.
  std::string url_, local_addr_ = "0.0.0.0", proxy_, proxy_port_ = "80", sender_;
  std::string agent_ = "Mozilla/3.0 (compatible)";
  std::string accept_ = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string accept_language_, reference_, username_, password_, proxy_username_, proxy_password_;
  bool no_cache_ = false;
  bool keep_alive_ = false;
  TDateTime modified_since_ = 0;
  std::string cookie_, content_type_post_ = "application/x-www-form-urlencoded";
  std::string content_range_begin_, content_range_end_, accept_ranges_;
  bool multi_threaded_ = false;
  std::string socks_server_, socks_level_ = "5", socks_port_, socks_usercode_, socks_password_;
  TSocksAuthentication socks_authentication_ = socksNoAuthentication;
  std::string ssl_ca_file_;

  // Public state.
  THttpRequest request_type_ = hrNone;
  TStream* rcvd_stream_ = nullptr;
  int body_read_size_ = kHttpBodyReadSize;
  TStream* send_stream_ = nullptr;
  int status_code_ = 0;
  int tunnel_status_code_ = 0;
  std::string reason_phrase_;
  int64_t content_length_ = -1;
  std::string content_type_;
  int64_t rcvd_count_ = 0;
  int64_t sent_count_ = 0;
  std::vector<std::string> rcvd_header_;
  std::string doc_name_, location_;
  Word request_done_error_ = 0;
  bool connected_ = false;

  // Private state.
  std::string host_name_, port_, target_host_, path_;
  std::string proxy_connect_port_;  // the proxy's port of this request
  std::string target_scheme_ = "http", target_port_ = "80";  // with target_host_: the answering server
  bool tls_ = false;                // the answering server is reached over TLS
  std::string credentials_origin_;  // OriginKey of the server the credentials belong to
  TStep step_ = TStep::kIdle;  // see TStep
  std::vector<char> rcv_buf_;
  int rcv_cnt_ = 0;
  std::string last_line_;
  std::string last_line_end_;  // "\r\n" or "\n": how the current line ended
  int header_line_count_ = 0;
  int64_t header_bytes_ = 0;
  int body_piece_count_ = 0;
  bool chunked_ = false;     // the response's body is chunked
  TChunkedBody chunked_body_;
  int interim_answers_ = 0;  // 1xx answers skipped before this response
  // Persistent connections. The request's KeepAlive; the final answer's
  // version (10, 11; 0 before its status line) and "connection" tokens; a
  // byte of the body past its length.
  bool keep_request_ = false;
  int response_version_ = 0;
  bool connection_close_ = false, connection_keep_alive_ = false;
  bool body_surplus_ = false;
  // CtrlSocket is open with no request on it, kept for the next request to
  // kept_key_ (a ConnectionKey). Besides step_, the only state a close or
  // data event reads: a kept connection's events belong to no request.
  bool kept_ = false;
  std::string kept_key_;
  // The running request was sent on a kept connection and may be sent once
  // more on a new one if that closes before answering.
  bool reused_ = false;
  bool allowed_to_send_ = false;
  int redirection_count_ = 0;
  std::string range_begin_, range_end_;  // the range the running request asks for
  uint32_t request_id_ = 0;     // tells posted messages of an old request apart
  std::vector<char> send_buf_;
  std::string request_buffer_;
  std::vector<std::string> authenticate_challenges_;
  TTransferWatchdog watchdog_;
  int total_timeout_ = 0;
  platform::OneShotTimer deadline_;  // runs while a request with a TotalTimeout does
  TLifetime lifetime_;  // last: its tokens expire first
};

}  // namespace quillon
