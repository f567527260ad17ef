#include "tests/support/ftp_script.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

namespace quillon::testing {

int PortFromCommand(const std::string& line) {
  int a, b, c, d, p1, p2;
  if (std::sscanf(line.c_str(), "PORT %d,%d,%d,%d,%d,%d", &a, &b, &c, &d, &p1, &p2) == 6) return p1 * 256 + p2;
  if (line.rfind("EPRT ", 0) != 0 || line.size() < 7 || line.back() != line[5]) return -1;
  size_t end = line.size() - 1, start = line.rfind(line[5], end - 1);
  return start == std::string::npos || start + 1 >= end ? -1 : std::atoi(line.c_str() + start + 1);
}

bool ScriptedFtpData::Answer(ScriptedConnection& c, const std::string& command_line, const std::string& pasv_suffix) {
  const bool extended = command_line.rfind("EPSV", 0) == 0 || command_line.rfind("EPRT", 0) == 0;
  if (extended && !extended_) {
    if (!c.Send("500 '" + command_line.substr(0, 4) + "': command not understood.\r\n")) return false;
    std::string next = c.ReadUntil("\r\n");
    if (next.size() >= 2) next.resize(next.size() - 2);
    return Answer(c, next, pasv_suffix);
  }
  if (command_line.rfind("EPSV", 0) == 0) {
    listener_ = std::make_unique<LoopbackListener>();
    return c.Send("229 Entering Extended Passive Mode (|||" + std::to_string(listener_->port()) + "|)\r\n");
  }
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

std::vector<std::string> ServeFtpFile(ScriptedConnection& c, const FtpFileScript& script) {
  std::vector<std::string> commands;
  if (!script.greet) {
    c.ReadToEnd();
    return commands;
  }
  c.Send("220 Scripted FTP server ready\r\n");
  ScriptedFtpData data;
  size_t offset = 0;
  while (true) {
    std::string line = c.ReadUntil("\r\n");
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) return commands;  // the client went
    line.resize(line.size() - 2);
    commands.push_back(line);
    std::string verb = line.substr(0, line.find(' '));
    std::string reply = "502 Command not implemented";
    if (verb == "USER") {
      reply = script.user_reply;
    } else if (verb == "PASS") {
      reply = "230 Login successful";
    } else if (verb == "CWD") {
      reply = "250 Directory changed";
    } else if (verb == "TYPE") {
      reply = "200 Type set";
    } else if (verb == "SIZE") {
      reply = script.size_reply.empty() ? "213 " + std::to_string(script.content.size()) : script.size_reply;
    } else if (verb == "MDTM" && !script.mdtm_reply.empty()) {
      reply = script.mdtm_reply;
    } else if ((script.refuse_active && (verb == "PORT" || verb == "EPRT")) ||
               (script.refuse_passive && (verb == "PASV" || verb == "EPSV"))) {
      reply = "550 Permission denied.";
    } else if (verb == "PASV" && script.closed_passive_port) {
      const uint16_t port = ClosedPort();
      reply = "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) + ")";
    } else if (verb == "PORT" || verb == "PASV") {
      data.Answer(c, line);
      continue;
    } else if (verb == "REST" && !script.rest_reply.empty()) {
      reply = script.rest_reply;
    } else if (verb == "REST") {
      offset = std::strtoull(line.c_str() + 5, nullptr, 10);
      reply = "350 Restarting";
    } else if (verb == "RETR") {
      if (script.retr_reply.empty() || script.retr_reply[0] != '1') {
        c.Send(script.retr_reply + "\r\n");
        continue;
      }
      int fd = data.Open();
      c.Send(script.retr_reply + "\r\n");
      if (script.stall) {
        c.ReadToEnd();  // until the client gives up
        CloseFd(fd);
        return commands;
      }
      if (script.reply_226_first) c.Send(script.final_reply + "\r\n");
      if (script.close_after_226) c.Close();
      std::string rest = offset < script.content.size() ? script.content.substr(offset) : "";
      WriteAll(fd, rest.substr(0, script.send_limit));
      if (!script.cut_reply.empty()) {
        ReadN(fd, 1);  // until the client closes
        CloseFd(fd);
        c.Send(script.cut_reply + "\r\n");
        offset = 0;
        continue;
      }
      if (script.reset_data) {
        linger abortive{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
      }
      CloseFd(fd);
      if (script.close_after_226) return commands;
      if (!script.reply_226_first) c.Send(script.final_reply + "\r\n");
      offset = 0;
      continue;
    } else if (verb == "QUIT") {
      c.Send("221 Goodbye\r\n");
      return commands;
    }
    c.Send(reply + "\r\n");
  }
}

}  // namespace quillon::testing
