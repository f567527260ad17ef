// TCustomSslWSocket: TLS in the socket chain, between the SOCKS layer and line
// mode. OpenSSL reads ciphertext from the socket itself when it needs some
// (never waiting: an empty socket means "later") and writes into a memory
// buffer whose ciphertext is queued on the socket like any data. So the
// handshake and every read and write are driven by the socket's own readiness
// events, and nothing blocks. Receive decrypts straight into the caller's
// buffer.
//
// With SslEnable set before Connect, the handshake starts as soon as the
// connection (through the SOCKS server, when one is set) is open. The owner
// sees:
//   OnSessionConnected(0)    only after the handshake completed, or
//   OnSessionConnected(Code) and OnSessionClosed(Code) when it failed (Code
//                            is the socket error when the connection ended
//                            with one, a reset for instance);
//   OnDataAvailable          only for decrypted bytes (Receive, RcvdCount and
//                            line mode work on them);
//   OnSessionClosed(0)       after the peer's close-notify, at once, even when
//                            the peer keeps the TCP connection open;
//   OnSessionClosed(20103)   when the peer ended the TCP connection without a
//                            TLS close-notify (the data may be truncated);
//   OnDataSent               not while the handshake runs.
// Send encrypts (bytes sent during the handshake wait for its end); Close sends
// a close-notify first (once: a close that starts while it goes out, because
// its send failed or a handler closed, only closes). StartSslHandshake begins TLS on a connection that is
// already open (after an HTTP proxy answered CONNECT); OnSessionConnected then
// fires a second time, when that handshake ends.
//
// Verification is a browser's: the system's trust store plus SslCAFile when
// set; the certificate must name SslServerName (a host name, also sent as SNI,
// or an IP address; Addr when empty) in its subject alternative names (the
// common name is never read; a wildcard stands for a whole left-most label);
// one trailing dot of the name is dropped for the check and the SNI; TLS 1.2
// at least, whatever the system's OpenSSL configuration allows; no
// compression, no renegotiation.
//
// TLS error numbers (socket error numbers of their own, beside the SOCKS
// layer's 20001-20017); SslErrorText holds the full text, OpenSSL's reason and
// the server name, e.g. "certificate verify failed: certificate has expired
// (example.test)":
//   20101 "TLS handshake failed: <reason> (<host>)", or "TLS error: <reason>
//         (<host>)" for a failure after it
//   20102 "certificate verify failed: <reason> (<host>)"
//   20103 "connection closed without TLS close-notify (<host>)"
//   20104 "TLS setup failed: <reason>" (the CA file cannot be read, ...)
//
// Every close clears SslEnable and SslServerName (assign them again before
// each Connect, as for SOCKS); SslCAFile stays.
#pragma once

#include <memory>
#include <string>

#include "net/socket/socks_wsocket.h"

namespace quillon {

inline constexpr Word kSslHandshakeError = 20101;
inline constexpr Word kSslVerifyError = 20102;
inline constexpr Word kSslTruncatedError = 20103;
inline constexpr Word kSslSetupError = 20104;

// True for the TLS error numbers above.
inline bool IsSslError(int Error) { return Error >= kSslHandshakeError && Error <= kSslSetupError; }

class TCustomSslWSocket : public TCustomSocksWSocket {
 public:
  TCustomSslWSocket();
  ~TCustomSslWSocket() override;

  // Only while wsClosed ("Can't change SslEnable if not closed").
  bool SslEnable() const { return ssl_enable_; }
  void SetSslEnable(bool Value);
  const std::string& SslServerName() const { return ssl_server_name_; }
  void SetSslServerName(const std::string& Value) { ssl_server_name_ = Value; }
  // A PEM file of extra trusted CAs; empty: the system's store alone.
  const std::string& SslCAFile() const { return ssl_ca_file_; }
  void SetSslCAFile(const std::string& Value) { ssl_ca_file_ = Value; }

  // Begins the TLS handshake on the open connection (wsConnected, no TLS yet).
  void StartSslHandshake();

  // True while a handshake runs; true once it completed, until the close.
  bool SslNegotiating() const { return tls_state_ == TlsState::Handshake; }
  bool SslEstablished() const { return tls_state_ == TlsState::Data; }
  // The protocol ("TLSv1.3") and cipher of the established session; "" else.
  std::string SslVersion() const;
  std::string SslCipher() const;
  // The text of the last TLS failure (see above); "" when none.
  const std::string& SslErrorText() const { return ssl_error_text_; }

  int RcvdCount() override;
  int Send(const void* Data, int Len) override;
  void Resume() override;

 protected:
  void WndProc(uint32_t Msg, uintptr_t WParam, intptr_t LParam) override;
  void ResetFields() override;
  void InternalClose(bool Shut, Word Error) override;
  void FireSessionConnected(Word Error) override;
  void FireSessionClosed(Word Error) override;
  bool FireDataAvailable(Word Error) override;
  void FireDataSent(Word Error) override;
  int RawReceive(void* Buffer, int BufferSize) override;

 private:
  enum class TlsState { Off, Waiting, Handshake, Data, Failed };
  struct Session;
  struct NetworkBio;

  // The layer's one state: every change goes through here.
  void SetTlsState(TlsState Next);
  bool TlsActive() const { return tls_state_ == TlsState::Handshake || tls_state_ == TlsState::Data; }
  void BeginHandshake();
  // Runs the handshake on what the network has; true once it completed. A
  // failure is recorded in pending_failure_; the caller reports it.
  bool ContinueHandshake();
  // Decrypts what the network has into Buffer, up to Size bytes; returns the
  // count (0 when nothing came). The peer's close-notify sets
  // close_notify_received_; a failure is recorded in pending_failure_.
  int ReadRecords(char* Buffer, size_t Size);
  // Decrypts into the plaintext buffer until it holds Limit bytes or the
  // network has no more.
  void Decrypt(size_t Limit);
  // Decrypts what the network has when nothing decrypted is waiting: line
  // mode and RcvdCount read without this layer's data event. A failure is
  // reported from the event loop.
  void ReadAhead();
  // True while decrypted bytes, or bytes OpenSSL read and has not decrypted,
  // wait in this layer.
  bool Buffered() const;
  // Queues OpenSSL's output on the socket; false when the socket is gone or
  // a failed send closed the connection.
  bool FlushOut();
  // The peer's close-notify ends the connection as the end of the TCP
  // connection does, even when the peer keeps it open: the end is reported
  // from the event loop, after the decrypted bytes.
  void PostPeerEnd();
  // Reports a recorded failure: OnSessionConnected(code) during a handshake,
  // then the close with the code.
  void ReportFailure();
  void RecordFailure(Word Code, const std::string& Text);
  std::string FailureReason();
  // The server's name (or address) as failure texts name it: in its own
  // script.
  std::string HostText() const;
  size_t PlainCount() const { return plain_end_ - plain_begin_; }

  bool ssl_enable_ = false;
  std::string ssl_server_name_, ssl_ca_file_, ssl_error_text_;
  TlsState tls_state_ = TlsState::Off;
  std::unique_ptr<Session> session_;
  bool close_notify_received_ = false;
  // The error a read of OpenSSL's met (a reset): the connection's end.
  Word network_error_ = 0;
  bool end_posted_ = false;
  // Set while Close sends the close-notify.
  bool closing_ = false;
  Word pending_failure_ = 0;
  std::string pending_failure_text_;
  // Bytes the owner sent while the handshake ran.
  std::string early_out_;
  // Plaintext bytes the owner has read, counted to see whether it still reads.
  uint64_t delivered_ = 0;
  // Decrypted ahead and not yet read: plain_[plain_begin_, plain_end_).
  std::unique_ptr<char[]> plain_;
  size_t plain_capacity_ = 0, plain_begin_ = 0, plain_end_ = 0;
  std::unique_ptr<char[]> io_buf_;
};

}  // namespace quillon
