// Plain blocking loopback sockets for tests: a listener on a free port of
// 127.0.0.1, connecting and accepting, and reads and writes with a bound in
// time. Test peers use them to play the other side of a connection.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::testing {

// A TCP port of 127.0.0.1 (::1 with ipv6) held, while the object lives, by a
// socket that is bound but does not listen. The system gives the port to no
// one else, so a test never races another program for it: a connection to it
// is refused (a port on which nothing listens), and a server started on it
// can still take it, since servers bind with SO_REUSEADDR, which the holder
// allows as long as it does not listen itself.
class ReservedPort {
 public:
  explicit ReservedPort(bool ipv6 = false);
  ~ReservedPort();
  ReservedPort(const ReservedPort&) = delete;
  ReservedPort& operator=(const ReservedPort&) = delete;

  uint16_t port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }

 protected:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A TCP listener on 127.0.0.1 (::1 with ipv6) on a port chosen by the system:
// a reserved port that listens.
class LoopbackListener : public ReservedPort {
 public:
  explicit LoopbackListener(bool ipv6 = false);

  int fd() const { return fd_; }
  // Accepts one connection, waiting at most timeout_ms; -1 on time-out.
  int Accept(int timeout_ms = 10000);
};

// A port of 127.0.0.1 on which nothing listens, for refused connections: one
// ReservedPort held until the test program ends.
uint16_t ClosedPort();

// Blocking connect to 127.0.0.1:port; -1 on failure.
int ConnectLoopback(uint16_t port);

// Writes all of data; false on failure.
bool WriteAll(int fd, const std::string& data);
// Reads until n bytes arrived, the peer closed or timeout_ms passed.
std::string ReadN(int fd, size_t n, int timeout_ms = 10000);
// Reads until the peer closes or timeout_ms passed.
std::string ReadToEnd(int fd, int timeout_ms = 10000);

void CloseFd(int fd);

}  // namespace quillon::testing
