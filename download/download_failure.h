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

}  // namespace quillon
