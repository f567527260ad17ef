// A listener that never answers a new call: bound to address:port with a
// backlog of one call that is already taken, so the system drops every further
// connection request and a connect to it neither succeeds nor fails for a long
// while. It plays a host whose address does not answer. Linux only.
#pragma once

#include <cstdint>
#include <string>

namespace quillon::testing {

class SilentListener {
 public:
  // address is an IPv4 or IPv6 text ("127.0.0.2", "::1"); port 0 picks one.
  SilentListener(const std::string& address, uint16_t port);
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;

  bool ok() const { return filler_ >= 0; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  int filler_ = -1;  // the call that fills the backlog
  uint16_t port_ = 0;
};

}  // namespace quillon::testing
