#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace quillon::testing {

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sin;
}

bool WaitFor(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int rc;
  do rc = ::poll(&p, 1, timeout_ms);
  while (rc < 0 && errno == EINTR);
  return rc > 0;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

LoopbackListener::LoopbackListener(bool ipv6) : ReservedPort(ipv6) { ::listen(fd_, 256); }

int LoopbackListener::Accept(int timeout_ms) {
  if (!WaitFor(fd_, POLLIN, timeout_ms)) return -1;
  return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

ReservedPort::ReservedPort(bool ipv6) {
  fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage ss{};
  socklen_t len;
  if (ipv6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_addr = in6addr_loopback;
    len = sizeof *sin6;
  } else {
    *reinterpret_cast<sockaddr_in*>(&ss) = Loopback(0);
    len = sizeof(sockaddr_in);
  }
  ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len);
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

ReservedPort::~ReservedPort() { CloseFd(fd_); }

uint16_t ClosedPort() {
  static const ReservedPort held;
  return held.port();
}

int ConnectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin = Loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadN(int fd, size_t n, int timeout_ms) {
  std::string out;
  int64_t end = NowMs() + timeout_ms;
  char buf[65536];
  while (out.size() < n) {
    int64_t left = end - NowMs();
    if (left <= 0 || !WaitFor(fd, POLLIN, static_cast<int>(left))) break;
    ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

std::string ReadToEnd(int fd, int timeout_ms) { return ReadN(fd, SIZE_MAX, timeout_ms); }

void CloseFd(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace quillon::testing
