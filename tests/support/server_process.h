// Real servers for interoperability tests: start a server program as a child
// process (in its own process group, output to a log file), wait until its
// port on 127.0.0.1 accepts connections, and stop it (the whole group) when
// the test ends. Every wait is bounded.
//
//   ServerProcess proxy;
//   ReservedPort port;                 // tests/support/loopback.h
//   ASSERT_TRUE(proxy.Start({FindProgram("microsocks"), "-i", "127.0.0.1",
//                            "-p", port.PortText()}, dir.File("log")) &&
//               proxy.WaitForPort(port.port()))
//       << proxy.Failure();
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillon::testing {

// The full path of a program found in PATH, /usr/sbin or /sbin; "" if none.
std::string FindProgram(const std::string& name);

// The configuration template scripts/NAME.in, which the shell scripts that
// start the same servers (scripts/servers.sh) fill in too, with each @KEY@
// replaced by its value.
std::string ServerConfig(const std::string& name, const std::vector<std::pair<std::string, std::string>>& values);

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts argv[0] (a path) with the other arguments; stdout and stderr go
  // to log_path (or are dropped when it is empty). False, with Failure()
  // saying why, when the program is missing or cannot be started.
  bool Start(const std::vector<std::string>& argv, const std::string& log_path = "");
  // Waits until 127.0.0.1:port accepts a connection. False, with Failure()
  // saying why, when the process ended or time ran out.
  // ipv6: the port of ::1 rather than 127.0.0.1.
  bool WaitForPort(uint16_t port, int timeout_ms = 10000, bool ipv6 = false);
  // Ends the process group: SIGTERM, then SIGKILL if it does not go.
  void Stop();
  bool Running();

  pid_t pid() const { return pid_; }
  // What went wrong, with the server's log, for a test failure message.
  std::string Failure() const;

 private:
  pid_t pid_ = -1;
  std::string name_;
  std::string log_path_;
  std::string failure_;
};

}  // namespace quillon::testing
