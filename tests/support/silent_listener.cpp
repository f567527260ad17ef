#include "tests/support/silent_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillon::testing {

namespace {

bool MakeAddress(const std::string& text, uint16_t port, sockaddr_storage& out, socklen_t& len) {
  out = sockaddr_storage{};
  auto& v4 = reinterpret_cast<sockaddr_in&>(out);
  auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
  if (::inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    len = sizeof v4;
    return true;
  }
  if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    len = sizeof v6;
    return true;
  }
  return false;
}

}  // namespace

SilentListener::SilentListener(const std::string& address, uint16_t port) {
  sockaddr_storage sa;
  socklen_t len = 0;
  if (!MakeAddress(address, port, sa, len)) return;
  fd_ = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // A backlog of 0 holds one call; once it is taken, requests are dropped.
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(fd_, 0) != 0) return;
  len = sizeof sa;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(sa).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(sa).sin_port);
  int filler = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(filler, reinterpret_cast<sockaddr*>(&sa), len) == 0)
    filler_ = filler;
  else
    ::close(filler);
}

SilentListener::~SilentListener() {
  if (filler_ >= 0) ::close(filler_);
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace quillon::testing
