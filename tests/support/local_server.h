// What the real servers that tests start have in common: a temporary folder
// for the configuration and the logs, a port of 127.0.0.1 (or ::1) held for
// the server while the helper lives, and the server's process, stopped when
// the helper goes. The helpers (real_servers.h, vsftpd_server.h) derive from
// it and add their Start.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tests/support/loopback.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace quillon::testing {

class LocalServer {
 public:
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  uint16_t port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  void Stop() { process_.Stop(); }
  // Why Start failed, with the server's log.
  std::string Failure() const { return failure_.empty() ? process_.Failure() : failure_; }

 protected:
  LocalServer() = default;
  ~LocalServer() = default;
  // Takes a new port for the server to be configured with; returns it.
  uint16_t ReservePort(bool ipv6 = false) { return port_ = reserved_.emplace(ipv6).port(); }

  TempDir dir_;
  ServerProcess process_;
  std::string failure_;  // set when Start fails before the process runs

 private:
  std::optional<ReservedPort> reserved_;
  uint16_t port_ = 0;
};

}  // namespace quillon::testing
