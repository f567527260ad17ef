// TFailureKind: what class of failure ended a download, for a caller that
// acts on it (quillon-get's exit status) rather than on the status text. The
// job notes the kind where it decides the failure; the functions below
// classify what the HTTP and FTP clients report.
#pragma once

#include <cstdint>
#include <string>

#include "net/ftp/ftp_client.h"

namespace quillon {

enum class TFailureKind {
  kNone,            // no failure (yet)
  kGeneric,         // anything else: a cancel, a setting that cannot be used
  kFileIo,          // the file or its part cannot be made or written
  kNetwork,         // name lookup, connect, reset, timeout, a short body
  kTls,             // the server's certificate failed verification
  kAuthentication,  // HTTP 401 or 407, FTP 530, a SOCKS login refused
  kProtocol,        // an answer that cannot be read, too many redirects
  kServerError,     // the server answered with an error (other 4xx, 5xx)
  kNotExpected,     // not the file expected: its size or SHA-256
};

// A GET that did not complete, from its OnRequestDone Error and the status
// code of the response (0: none read; for kHttpTunnelRefused the proxy's
// answer to CONNECT, THttpCli::TunnelStatusCode).
TFailureKind HttpFailureKind(uint16_t error, int status_code);

// A failed FTP request, from its OnRequestDone Error, the client's status
// code and last response, and whether the control connection still stands.
TFailureKind FtpFailureKind(TFtpRequest request, uint16_t error, int status_code, const std::string& last_response,
                            bool connected);

// Status texts that the job and its transfers share.
inline constexpr const char* kCannotWrite = "Download failed: cannot write the file: ";
inline constexpr const char* kIncomplete = "Download incomplete.";

// The system's words for errno (for EIO when errno is 0).
std::string SystemReason();

// A socket that failed, in the system's words and without its error number:
// "can't resolve host name HOST" for a failed lookup; the error's text, with
// the address and port it was about for a connection that could not be
// made ("connection refused (127.0.0.1 port 8081)"); a SOCKS proxy's refusal
// in its words ("the SOCKS proxy reports: host unreachable"). Through a
// SOCKS proxy (`socks_server` set) a connection or lookup that failed was
// the proxy's, and the text names it: "connection refused (SOCKS proxy
// 127.0.0.1 port 1080)". Empty when `error` is no socket error.
std::string SocketFailure(int error, const std::string& host, const TWSocket* socket,
                          const std::string& socks_server = "", const std::string& socks_port = "");

}  // namespace quillon
