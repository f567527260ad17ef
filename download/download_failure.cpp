#include "download/download_failure.h"

#include <cerrno>
#include <cstring>

#include "net/http/http_cli.h"
#include "net/socket/host_name.h"
#include "net/socket/socks_wsocket.h"
#include "net/socket/ssl_wsocket.h"
#include "net/socket/transfer_watchdog.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {

// A failure of the connection itself, or of the SOCKS proxy on the way.
TFailureKind ConnectionFailureKind(uint16_t error) {
  if (error == kSocksAuthenticationFailed) return TFailureKind::kAuthentication;
  return TFailureKind::kNetwork;
}

}  // namespace

TFailureKind HttpFailureKind(uint16_t error, int status_code) {
  switch (error) {
    case 0: break;
    case httperrAborted:
    case platform::WSAEINVAL:  // a URL or setting the client cannot use
      return TFailureKind::kGeneric;
    case kSslVerifyError: return TFailureKind::kTls;
    case httperrTooLong:
    case httperrBadUrl:
    case kHttpTooManyRedirects:
    case kHttpDowngradeRefused:
    case platform::WSAECONNABORTED:  // the client gave up on a broken response
      return TFailureKind::kProtocol;
    // A proxy that wants credentials for its tunnel (407) is an
    // authentication failure, as a 407 of a proxy without a tunnel is.
    case kHttpTunnelRefused:
      return status_code == 407 ? TFailureKind::kAuthentication : TFailureKind::kServerError;
    default: return ConnectionFailureKind(error);
  }
  if (status_code == 401 || status_code == 407) return TFailureKind::kAuthentication;
  if (status_code == 0) return TFailureKind::kProtocol;
  // A success that ended early: the body was shorter than its length.
  if (status_code >= 200 && status_code <= 299) return TFailureKind::kNetwork;
  return TFailureKind::kServerError;
}

TFailureKind FtpFailureKind(TFtpRequest request, uint16_t error, int status_code, const std::string& last_response,
                            bool connected) {
  if (error == kConnectTimeoutError || error == kIdleTimeoutError) return TFailureKind::kNetwork;
  if (error >= 10000 && error <= 11999) return ConnectionFailureKind(error);
  if (error >= kSocksLogicError && error <= kSocksTargetUnresolved) return ConnectionFailureKind(error);
  if (status_code == 530) return TFailureKind::kAuthentication;
  // The client reports a connection that failed or closed as a 500 of its own.
  if (request == ftpRqConnect || !connected) return status_code == 421 ? TFailureKind::kServerError
                                                                        : TFailureKind::kNetwork;
  // A reply the client could not read gets a status code of the client's own.
  if (!last_response.starts_with(std::to_string(status_code))) return TFailureKind::kProtocol;
  if (status_code >= 400 && status_code <= 599) return TFailureKind::kServerError;
  return TFailureKind::kProtocol;
}

std::string SystemReason() { return std::strerror(errno != 0 ? errno : EIO); }

std::string SocketFailure(int error, const std::string& host, const TWSocket* socket, const std::string& socks_server,
                          const std::string& socks_port) {
  using namespace platform;
  if (IsLookupError(error))
    return "can't resolve host name " + DisplayHostName(socks_server.empty() ? host : socks_server) +
           (socks_server.empty() ? "" : " (SOCKS proxy)");
  if (const std::string refusal = SocksErrorText(error); !refusal.empty())
    return "the SOCKS proxy reports: " + refusal;
  std::string text = SystemErrorText(error);
  switch (error) {
    case WSAECONNREFUSED:
    case WSAETIMEDOUT:
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
    case WSAEADDRNOTAVAIL:
      if (!socks_server.empty())
        text += " (SOCKS proxy " + socks_server + " port " + socks_port + ")";
      else if (socket && !socket->Addr().empty())
        text += " (" + socket->Addr() + " port " + socket->Port() + ")";
      break;
    default: break;
  }
  return text;
}

}  // namespace quillon
