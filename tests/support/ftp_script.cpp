#include "tests/support/ftp_script.h"

#include <cstdio>

namespace quillon::testing {

int PortFromCommand(const std::string& line) {
  int a, b, c, d, p1, p2;
  if (std::sscanf(line.c_str(), "PORT %d,%d,%d,%d,%d,%d", &a, &b, &c, &d, &p1, &p2) != 6) return -1;
  return p1 * 256 + p2;
}

bool ScriptedFtpData::Answer(ScriptedConnection& c, const std::string& command_line, const std::string& pasv_suffix) {
  if (command_line.rfind("PASV", 0) == 0) {
    listener_ = std::make_unique<LoopbackListener>();
    int port = listener_->port();
    return c.Send("227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                  std::to_string(port % 256) + ")" + pasv_suffix + "\r\n");
  }
  active_port_ = PortFromCommand(command_line);
  if (active_port_ < 0) return false;
  return c.Send("200 PORT command successful\r\n");
}

int ScriptedFtpData::Open(int timeout_ms) {
  if (listener_) return listener_->Accept(timeout_ms);
  if (active_port_ < 0) return -1;
  return ConnectLoopback(static_cast<uint16_t>(active_port_));
}

}  // namespace quillon::testing
