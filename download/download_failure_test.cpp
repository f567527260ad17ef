#include "download/download_failure.h"

#include <gtest/gtest.h>

#include "net/http/http_cli.h"
#include "net/socket/socks_wsocket.h"
#include "net/socket/ssl_wsocket.h"
#include "net/socket/transfer_watchdog.h"
#include "platform/winsock_errors.h"

namespace quillon {
namespace {

using K = TFailureKind;

// The classes that the tests against peers do not reach.
TEST(FailureKind, HttpAndFtpClassification) {
  struct HttpCase {
    uint16_t error;
    int code;
    K kind;
  } http[] = {
      {kSslVerifyError, 404, K::kTls},
      {kSslHandshakeError, 404, K::kNetwork},
      {kSslTruncatedError, 200, K::kNetwork},
      {kSocksAuthenticationFailed, 404, K::kAuthentication},
      {kSocksConnectionRefused, 404, K::kNetwork},
      {kHttpTunnelRefused, 404, K::kServerError},
      {kHttpTunnelRefused, 407, K::kAuthentication},
      {kHttpDowngradeRefused, 302, K::kProtocol},
      {platform::WSAEINVAL, 404, K::kGeneric},
      {kIdleTimeoutError, 200, K::kNetwork},
      {httperrAborted, 200, K::kGeneric},
      {0, 302, K::kServerError},
  };
  for (const HttpCase& c : http) {
    SCOPED_TRACE(std::to_string(c.error) + " " + std::to_string(c.code));
    EXPECT_EQ(HttpFailureKind(c.error, c.code), c.kind);
  }
  struct FtpCase {
    TFtpRequest request;
    uint16_t error;
    int code;
    const char* response;
    bool connected;
    K kind;
  } ftp[] = {
      {ftpRqConnect, 500, 500, "500 Connection refused (Error #10061)", false, K::kNetwork},
      {ftpRqConnect, 421, 421, "421 Too many users", false, K::kServerError},
      {ftpRqPass, 530, 530, "530 Login incorrect.", true, K::kAuthentication},
      {ftpRqGet, 500, 500, "500 Control connection closed.", false, K::kNetwork},
      {ftpRqGet, 500, 500, "500 Unknown command.", true, K::kServerError},
      {ftpRqGet, 500, 500, "999 What?", true, K::kProtocol},
      {ftpRqGet, platform::WSAECONNRESET, 426, "426 Aborted", true, K::kNetwork},
      {ftpRqGet, kSocksAuthenticationFailed, 500, "500 socks", false, K::kAuthentication},
      {ftpRqSize, kConnectTimeoutError, 500, "500 timed out", false, K::kNetwork},
  };
  for (const FtpCase& c : ftp) {
    SCOPED_TRACE(c.response);
    EXPECT_EQ(FtpFailureKind(c.request, c.error, c.code, c.response, c.connected), c.kind);
  }
}

}  // namespace
}  // namespace quillon
