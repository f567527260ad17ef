#include "net/socket/ssl_wsocket.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

#include "net/socket/host_name.h"
#include "platform/socket_notifier.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {

// Posted to itself when a read found a TLS failure: the failure is reported
// from the event loop, not from inside the caller's Receive.
constexpr uint32_t WM_SSL_FAILURE = 1045;

// OpenSSL's output moves through a buffer of this size.
constexpr size_t kIoBufferSize = 64 * 1024;
// Plaintext is decrypted in steps of at most this size.
constexpr size_t kDecryptStep = 64 * 1024;
// What is decrypted ahead of the owner's reads (line mode, RcvdCount) at most:
// a fast sender cannot make the layer buffer without delivering.
constexpr size_t kReadAheadLimit = 1024 * 1024;
// OpenSSL reads the network ahead in pieces of up to this size: a few
// records a read, not two reads (header, body) a record.
constexpr size_t kNetworkReadSize = 64 * 1024 + 512;

std::string OpenSslReason(unsigned long e) {
  if (e == 0) return "unknown error";
  // A failed system call (a CA file that cannot be opened) carries errno.
  if (ERR_SYSTEM_ERROR(e)) return std::strerror(ERR_GET_REASON(e));
  const char* reason = ERR_reason_error_string(e);
  if (reason != nullptr) return reason;
  char text[256];
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// The reason of OpenSSL's queue, which is emptied: a failed system call when
// there is one (it says most), else the last error.
std::string TakeOpenSslReason() {
  unsigned long last = 0, system = 0;
  while (unsigned long e = ERR_get_error()) {
    last = e;
    if (ERR_SYSTEM_ERROR(e) && system == 0) system = e;
  }
  return OpenSslReason(system != 0 ? system : last);
}

}  // namespace

// OpenSSL reads the network through this BIO: straight from the socket into
// its record buffer, when it needs bytes, and "retry" when the socket has none
// (the readiness events bring it back). An ended connection reads as "retry"
// too: the end is the socket's close event, which checks for the close-notify.
// A failed read (a reset) is kept for that event: the read took the error
// from the socket, so the close event itself no longer sees it.
struct TCustomSslWSocket::NetworkBio {
  static int Read(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    auto* socket = static_cast<TCustomSslWSocket*>(BIO_get_data(bio));
    int n = socket == nullptr ? -1 : socket->TCustomSocksWSocket::RawReceive(buffer, size);
    if (n > 0) return n;
    if (n < 0 && socket != nullptr && socket->LastError() != 0 &&
        socket->LastError() != platform::WSAEWOULDBLOCK && socket->network_error_ == 0)
      socket->network_error_ = static_cast<Word>(socket->LastError());
    BIO_set_retry_read(bio);
    return -1;
  }
  static long Ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }
  static int Create(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
  }
  static const BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket reader");
      if (m != nullptr) {
        BIO_meth_set_read(m, &Read);
        BIO_meth_set_ctrl(m, &Ctrl);
        BIO_meth_set_create(m, &Create);
      }
      return m;
    }();
    return method;
  }
};

struct TCustomSslWSocket::Session {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // network -> OpenSSL, reads the socket (owned by ssl)
  BIO* out = nullptr;  // OpenSSL -> network (owned by ssl)
  ~Session() {
    if (ssl != nullptr) SSL_free(ssl);
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }
};

TCustomSslWSocket::TCustomSslWSocket() = default;

TCustomSslWSocket::~TCustomSslWSocket() = default;

// ---- Properties ----------------------------------------------------------------

void TCustomSslWSocket::SetSslEnable(bool Value) {
  if (State() != wsClosed) {
    if (Value != ssl_enable_) RaiseSocketError("Can't change SslEnable if not closed");
    return;
  }
  ssl_enable_ = Value;
  SetTlsState(Value ? TlsState::Waiting : TlsState::Off);
}

std::string TCustomSslWSocket::SslVersion() const {
  if (tls_state_ != TlsState::Data || !session_) return "";
  return SSL_get_version(session_->ssl);
}

std::string TCustomSslWSocket::SslCipher() const {
  if (tls_state_ != TlsState::Data || !session_) return "";
  const SSL_CIPHER* c = SSL_get_current_cipher(session_->ssl);
  return c != nullptr ? SSL_CIPHER_get_name(c) : "";
}

std::string TCustomSslWSocket::HostText() const {
  return DisplayHostName(ssl_server_name_.empty() ? Addr() : ssl_server_name_);
}

void TCustomSslWSocket::ResetFields() {
  TCustomSocksWSocket::ResetFields();
  session_.reset();
  ssl_enable_ = false;
  ssl_server_name_.clear();
  SetTlsState(TlsState::Off);
  close_notify_received_ = false;
  end_posted_ = false;
  network_error_ = 0;
  pending_failure_ = 0;
  pending_failure_text_.clear();
  early_out_.clear();
  plain_begin_ = plain_end_ = 0;
}

void TCustomSslWSocket::SetTlsState(TlsState Next) {
  tls_state_ = Next;
  // After a failure nothing more goes out: bytes held for the handshake's end
  // are dropped.
  if (Next == TlsState::Failed) early_out_.clear();
}

// ---- Handshake -----------------------------------------------------------------

void TCustomSslWSocket::StartSslHandshake() {
  if (State() != wsConnected || TlsActive() || SocksNegotiating()) {
    RaiseSocketError("StartSslHandshake: the connection is not open or already secured");
    return;
  }
  ssl_enable_ = true;
  auto alive = Lifetime().Token();
  BeginHandshake();
  if (pending_failure_ == 0 && !FlushOut()) return;
  if (!alive) return;
  if (pending_failure_ != 0) ReportFailure();
}

void TCustomSslWSocket::BeginHandshake() {
  SetTlsState(TlsState::Handshake);
  ssl_error_text_.clear();
  close_notify_received_ = false;
  end_posted_ = false;
  if (!io_buf_) io_buf_ = std::make_unique<char[]>(kIoBufferSize);
  ERR_clear_error();
  auto s = std::make_unique<Session>();
  s->ctx = SSL_CTX_new(TLS_client_method());
  if (s->ctx == nullptr) {
    RecordFailure(kSslSetupError, "TLS setup failed: " + TakeOpenSslReason());
    return;
  }
  SSL_CTX_set_min_proto_version(s->ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(s->ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_read_ahead(s->ctx, 1);
  SSL_CTX_set_default_read_buffer_len(s->ctx, kNetworkReadSize);
  SSL_CTX_set_verify(s->ctx, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_set_default_verify_paths(s->ctx) != 1) ERR_clear_error();  // no system store: the CA file alone
  if (!ssl_ca_file_.empty() && SSL_CTX_load_verify_locations(s->ctx, ssl_ca_file_.c_str(), nullptr) != 1) {
    RecordFailure(kSslSetupError, "TLS setup failed: cannot read the CA file " + ssl_ca_file_ + ": " +
                                      TakeOpenSslReason());
    return;
  }
  s->ssl = SSL_new(s->ctx);
  const BIO_METHOD* network = NetworkBio::Method();
  s->in = network != nullptr ? BIO_new(network) : nullptr;
  if (s->in != nullptr) BIO_set_data(s->in, this);
  s->out = BIO_new(BIO_s_mem());
  if (s->ssl == nullptr || s->in == nullptr || s->out == nullptr) {
    if (s->in != nullptr) BIO_free(s->in);
    if (s->out != nullptr) BIO_free(s->out);
    RecordFailure(kSslSetupError, "TLS setup failed: " + TakeOpenSslReason());
    return;
  }
  // An empty output buffer means "nothing to send", not the end.
  BIO_set_mem_eof_return(s->out, -1);
  SSL_set_bio(s->ssl, s->in, s->out);
  SSL_set_connect_state(s->ssl);

  // A name written with a trailing dot is the same name: it is checked, and
  // sent as SNI, without the dot.
  std::string host = ssl_server_name_.empty() ? Addr() : ssl_server_name_;
  if (host.size() > 1 && host.back() == '.') host.pop_back();
  X509_VERIFY_PARAM* param = SSL_get0_param(s->ssl);
  // As browsers do: the subject alternative names alone name the server (a
  // common name is never read), and a wildcard is a whole label.
  X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  bool ok;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']' && IsIPv6Literal(host))
    host = host.substr(1, host.size() - 2);
  if (IsDottedIP(host) || IsIPv6Literal(host)) {
    // An address is checked against the certificate's IP entries; it is never
    // sent as SNI.
    ok = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
  } else {
    ok = !host.empty() && SSL_set1_host(s->ssl, host.c_str()) == 1 &&
         SSL_set_tlsext_host_name(s->ssl, host.c_str()) == 1;
  }
  if (!ok) {
    RecordFailure(kSslSetupError, "TLS setup failed: invalid server name \"" + host + "\"");
    return;
  }
  session_ = std::move(s);
  ContinueHandshake();
}

// Returns true when the handshake completed.
bool TCustomSslWSocket::ContinueHandshake() {
  ERR_clear_error();
  int rc = SSL_do_handshake(session_->ssl);
  if (rc == 1) {
    SetTlsState(TlsState::Data);
    return true;
  }
  int err = SSL_get_error(session_->ssl, rc);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return false;
  long verify = SSL_get_verify_result(session_->ssl);
  if (verify != X509_V_OK) {
    ERR_clear_error();
    RecordFailure(kSslVerifyError, std::string("certificate verify failed: ") +
                                       X509_verify_cert_error_string(verify) + " (" + HostText() + ")");
  } else {
    RecordFailure(kSslHandshakeError, "TLS handshake failed: " + FailureReason() + " (" + HostText() + ")");
  }
  return false;
}

std::string TCustomSslWSocket::FailureReason() {
  if (ERR_peek_last_error() == 0) return "protocol error";
  return TakeOpenSslReason();
}

void TCustomSslWSocket::RecordFailure(Word Code, const std::string& Text) {
  if (pending_failure_ != 0) return;
  pending_failure_ = Code;
  pending_failure_text_ = Text;
}

void TCustomSslWSocket::ReportFailure() {
  if (pending_failure_ == 0 || tls_state_ == TlsState::Failed) return;
  const Word code = pending_failure_;
  ssl_error_text_ = pending_failure_text_;
  const bool handshaking = tls_state_ == TlsState::Handshake;
  auto alive = Lifetime().Token();
  // An alert OpenSSL produced for the failure goes out before the close.
  if (session_ && !FlushOut()) return;
  SetTlsState(TlsState::Failed);
  if (handshaking) {
    TCustomSocksWSocket::FireSessionConnected(code);
    if (!alive) return;
  }
  if (State() != wsClosed) InternalClose(true, code);
}

// ---- Moving bytes --------------------------------------------------------------

void TCustomSslWSocket::Decrypt(size_t Limit) {
  while (PlainCount() < Limit) {
    if (plain_begin_ == plain_end_) plain_begin_ = plain_end_ = 0;
    if (plain_capacity_ - plain_end_ < kDecryptStep) {
      // Move what is unread to the front, or grow.
      size_t unread = PlainCount();
      if (plain_begin_ > 0 && plain_capacity_ - unread >= kDecryptStep) {
        std::memmove(plain_.get(), plain_.get() + plain_begin_, unread);
      } else {
        size_t capacity = std::max(plain_capacity_ * 2, unread + kDecryptStep);
        auto grown = std::make_unique<char[]>(capacity);
        if (unread > 0) std::memcpy(grown.get(), plain_.get() + plain_begin_, unread);
        plain_ = std::move(grown);
        plain_capacity_ = capacity;
      }
      plain_begin_ = 0;
      plain_end_ = unread;
    }
    ERR_clear_error();
    int n = ReadRecords(plain_.get() + plain_end_, kDecryptStep);
    if (n <= 0) return;
    plain_end_ += static_cast<size_t>(n);
  }
}

int TCustomSslWSocket::ReadRecords(char* Buffer, size_t Size) {
  if (!session_ || pending_failure_ != 0 || close_notify_received_) return 0;
  size_t got = 0;
  ERR_clear_error();
  while (got < Size) {
    int n = SSL_read(session_->ssl, Buffer + got, static_cast<int>(std::min<size_t>(Size - got, INT32_MAX)));
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    int err = SSL_get_error(session_->ssl, n);
    if (err == SSL_ERROR_ZERO_RETURN) {
      close_notify_received_ = true;
      PostPeerEnd();
    } else if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
      RecordFailure(kSslHandshakeError, "TLS error: " + FailureReason() + " (" + HostText() + ")");
    }
    break;
  }
  return static_cast<int>(got);
}

bool TCustomSslWSocket::Buffered() const {
  return PlainCount() > 0 || (session_ && tls_state_ == TlsState::Data && SSL_has_pending(session_->ssl) == 1);
}

bool TCustomSslWSocket::FlushOut() {
  auto alive = Lifetime().Token();
  const bool was_open = State() == wsConnected;
  // A send that fails closes the connection (and clears the session): the
  // loop ends there.
  while (session_ && BIO_ctrl_pending(session_->out) > 0) {
    int n = BIO_read(session_->out, io_buf_.get(), static_cast<int>(kIoBufferSize));
    if (n <= 0) break;
    if (State() != wsConnected) continue;  // nowhere to send: dropped
    TCustomSocksWSocket::Send(io_buf_.get(), n);
    if (!alive) return false;
  }
  return !was_open || State() == wsConnected;
}

void TCustomSslWSocket::PostPeerEnd() {
  if (end_posted_ || HSocket() == INVALID_SOCKET) return;
  end_posted_ = true;
  NotifyWindow().Post(WM_ASYNCSELECT, static_cast<uintptr_t>(HSocket()), platform::FD_CLOSE);
}

void TCustomSslWSocket::Resume() {
  TCustomSocksWSocket::Resume();
  if (State() != wsConnected || HSocket() == INVALID_SOCKET) return;
  // Bytes OpenSSL read before the pause wait in this layer, where the
  // socket's readiness does not see them.
  if (Buffered())
    NotifyWindow().Post(WM_ASYNCSELECT, static_cast<uintptr_t>(HSocket()), platform::FD_READ);
  // The end found while paused was dropped by the paused socket: once more.
  if (end_posted_)
    NotifyWindow().Post(WM_ASYNCSELECT, static_cast<uintptr_t>(HSocket()), platform::FD_CLOSE);
}

// ---- Events --------------------------------------------------------------------

void TCustomSslWSocket::FireSessionConnected(Word Error) {
  // The SOCKS layer reports its own progress through here first; TLS starts
  // once the connection to the destination is open.
  if (SocksNegotiating() || tls_state_ != TlsState::Waiting || Error != 0) {
    TCustomSocksWSocket::FireSessionConnected(Error);
    return;
  }
  auto alive = Lifetime().Token();
  BeginHandshake();
  if (pending_failure_ == 0 && !FlushOut()) return;
  if (!alive) return;
  if (pending_failure_ != 0) ReportFailure();
}

bool TCustomSslWSocket::FireDataAvailable(Word Error) {
  if (!TlsActive() || Error != 0) {
    if (tls_state_ == TlsState::Failed) return true;  // nothing more is read after a failure
    return TCustomSocksWSocket::FireDataAvailable(Error);
  }
  auto alive = Lifetime().Token();
  if (tls_state_ == TlsState::Handshake) {
    if (session_ && pending_failure_ == 0 && ContinueHandshake()) {
      if (!FlushOut()) return true;
      TCustomSocksWSocket::FireSessionConnected(0);
      if (!alive || tls_state_ != TlsState::Data) return true;
      if (!early_out_.empty()) {
        std::string early = std::move(early_out_);
        early_out_.clear();
        Send(early.data(), static_cast<int>(early.size()));
        if (!alive || tls_state_ != TlsState::Data) return true;
      }
      // Application data may have come with the end of the handshake: the
      // owner reads it below.
    } else {
      if (FlushOut() && pending_failure_ != 0) ReportFailure();
      return true;
    }
  }
  // The owner decrypts as it reads (RawReceive); it is asked again while
  // bytes wait in this layer, which the socket's readiness does not see, and
  // it takes them. A pause leaves them for Resume.
  for (;;) {
    const uint64_t before = delivered_;
    if (!TCustomSocksWSocket::FireDataAvailable(0)) {
      // Nobody reads: decrypted and dropped, as the core drops unread data.
      if (!alive) return true;
      Decrypt(kReadAheadLimit);
      plain_begin_ = plain_end_ = 0;
    }
    if (!alive || tls_state_ != TlsState::Data) return true;
    if (!FlushOut()) return true;  // a key update's answer
    if (pending_failure_ != 0) {
      ReportFailure();
      return true;
    }
    if (delivered_ == before || Paused() || !Buffered()) return true;
  }
}

void TCustomSslWSocket::FireDataSent(Word Error) {
  if (tls_state_ == TlsState::Handshake || tls_state_ == TlsState::Failed) return;
  TCustomSocksWSocket::FireDataSent(Error);
}

void TCustomSslWSocket::FireSessionClosed(Word Error) {
  auto alive = Lifetime().Token();
  if (Error == 0) Error = network_error_;
  // A connection that ended with an error (a reset) during the handshake: the
  // handshake failed with that error.
  if (State() == wsConnected && Error != 0 && tls_state_ == TlsState::Handshake) {
    SetTlsState(TlsState::Failed);
    TCustomSocksWSocket::FireSessionConnected(Error);
    if (!alive) return;
  }
  // The peer ended the connection (State is still wsConnected): a secured
  // connection must have been ended with a close-notify first.
  if (State() == wsConnected && Error == 0 && TlsActive()) {
    // What the network still has: the last records and the close-notify.
    if (session_ && pending_failure_ == 0) {
      if (tls_state_ == TlsState::Handshake)
        ContinueHandshake();
      else
        Decrypt(SIZE_MAX);
    }
    if (tls_state_ == TlsState::Handshake && pending_failure_ == 0)
      RecordFailure(kSslHandshakeError,
                    "TLS handshake failed: connection closed by the server (" + HostText() + ")");
    if (pending_failure_ != 0) {
      ssl_error_text_ = pending_failure_text_;
      Error = pending_failure_;
      if (tls_state_ == TlsState::Handshake) {
        SetTlsState(TlsState::Failed);
        TCustomSocksWSocket::FireSessionConnected(Error);
        if (!alive) return;
      }
      SetTlsState(TlsState::Failed);
    } else if (!close_notify_received_) {
      ssl_error_text_ = "connection closed without TLS close-notify (" + HostText() + ")";
      Error = kSslTruncatedError;
    }
  }
  TCustomSocksWSocket::FireSessionClosed(Error);
}

void TCustomSslWSocket::InternalClose(bool Shut, Word Error) {
  // A close that starts while the close-notify goes out (its send failed, or
  // a handler of the send closed) only closes.
  if (Shut && !closing_ && tls_state_ == TlsState::Data && session_ && State() == wsConnected &&
      HSocket() != INVALID_SOCKET) {
    // A clean close tells the peer that nothing was cut off.
    ERR_clear_error();
    SSL_shutdown(session_->ssl);
    ERR_clear_error();
    auto alive = Lifetime().Token();
    closing_ = true;
    bool open = false;
    try {
      open = FlushOut();
      if (alive && open) TryToSend();
    } catch (...) {
      if (alive) closing_ = false;
      throw;
    }
    if (!alive) return;
    closing_ = false;
    if (!open) return;  // closed meanwhile
  }
  TCustomSocksWSocket::InternalClose(Shut, Error);
}

void TCustomSslWSocket::WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  if (Msg == WM_SSL_FAILURE) {
    ReportFailure();
    return;
  }
  TCustomSocksWSocket::WndProc(Msg, WParam, LParam);
}

// ---- Reading and writing -----------------------------------------------------

void TCustomSslWSocket::ReadAhead() {
  if (PlainCount() > 0 || tls_state_ != TlsState::Data || pending_failure_ != 0) return;
  Decrypt(kReadAheadLimit);
  if (pending_failure_ != 0) NotifyWindow().Post(WM_SSL_FAILURE, 0, 0);
}

int TCustomSslWSocket::RawReceive(void* Buffer, int BufferSize) {
  if (!TlsActive()) {
    if (tls_state_ == TlsState::Failed) {
      SetLastError(platform::WSAECONNABORTED);
      return -1;
    }
    return TCustomSocksWSocket::RawReceive(Buffer, BufferSize);
  }
  const size_t size = static_cast<size_t>(BufferSize < 0 ? 0 : BufferSize);
  size_t n = 0;
  if (PlainCount() > 0) {
    // What line mode or RcvdCount decrypted ahead comes first.
    n = std::min(PlainCount(), size);
    std::memcpy(Buffer, plain_.get() + plain_begin_, n);
    plain_begin_ += n;
  } else if (tls_state_ == TlsState::Data && pending_failure_ == 0) {
    // Decrypted straight into the caller's buffer: no copy in between.
    n = static_cast<size_t>(ReadRecords(static_cast<char*>(Buffer), size));
    if (pending_failure_ != 0) NotifyWindow().Post(WM_SSL_FAILURE, 0, 0);
  }
  if (n == 0 && size > 0) {
    if (close_notify_received_) return 0;
    SetLastError(platform::WSAEWOULDBLOCK);
    return -1;
  }
  delivered_ += n;
  return static_cast<int>(n);
}

int TCustomSslWSocket::RcvdCount() {
  if (!TlsActive()) return TCustomSocksWSocket::RcvdCount();
  ReadAhead();
  return static_cast<int>(std::min(PlainCount(), static_cast<size_t>(INT32_MAX)));
}

int TCustomSslWSocket::Send(const void* Data, int Len) {
  if (tls_state_ == TlsState::Off || tls_state_ == TlsState::Waiting || State() != wsConnected)
    return TCustomSocksWSocket::Send(Data, Len);
  if (Len <= 0) return 0;
  if (tls_state_ == TlsState::Handshake) {
    early_out_.append(static_cast<const char*>(Data), static_cast<size_t>(Len));
    return Len;
  }
  if (tls_state_ != TlsState::Data) {
    platform::SetLastSocketError(platform::WSAENOTCONN);
    SocketError("Send");
    return -1;
  }
  ERR_clear_error();
  const char* p = static_cast<const char*>(Data);
  int left = Len;
  while (left > 0) {
    // Memory buffers take everything: a write never waits.
    int n = SSL_write(session_->ssl, p, left);
    if (n <= 0) {
      RecordFailure(kSslHandshakeError, "TLS error: " + FailureReason() + " (" + HostText() + ")");
      NotifyWindow().Post(WM_SSL_FAILURE, 0, 0);
      return -1;
    }
    p += n;
    left -= n;
  }
  FlushOut();
  return Len;
}

}  // namespace quillon
