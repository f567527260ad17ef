// Helpers for scripted FTP servers (ScriptedServer scripts): the server side
// of a data connection, opened in the way the client asked for.
//
//   ScriptedServer server([](ScriptedConnection& c) {
//     c.Send("220 ready\r\n");
//     ScriptedFtpData data;
//     data.Answer(c, c.ReadUntil("\r\n"));     // PORT ... or PASV
//     c.ReadUntil("\r\n");                     // RETR name
//     int fd = data.Open();
//     c.Send("150 here it comes\r\n");
//     WriteAll(fd, "content"); CloseFd(fd);
//     c.Send("226 done\r\n");
//   });
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/scripted_server.h"

namespace quillon::testing {

class ScriptedFtpData {
 public:
  // extended: EPSV and EPRT are answered as PASV and PORT are (229, 200);
  // otherwise they are refused with "500" as an older server does, and the
  // client's next command line is answered instead.
  explicit ScriptedFtpData(bool extended = false) : extended_(extended) {}
  // Answers the client's "PORT h1,h2,h3,h4,p1,p2" with "200 PORT ok" (the
  // port is remembered) or its "PASV" with a 227 reply naming a listener on
  // 127.0.0.1 (pasv_suffix follows the closing parenthesis). False for any
  // other command line.
  bool Answer(ScriptedConnection& c, const std::string& command_line, const std::string& pasv_suffix = "");
  // Connects to the remembered port (active) or accepts on the listener
  // (passive); -1 on failure.
  int Open(int timeout_ms = 10000);
  bool passive() const { return listener_ != nullptr; }
  // The port the client listens on (active mode).
  int active_port() const { return active_port_; }

 private:
  bool extended_;
  std::unique_ptr<LoopbackListener> listener_;
  int active_port_ = -1;
};

// The PORT numbers of a "PORT a,b,c,d,p1,p2" line as p1 * 256 + p2, or the
// port of an "EPRT |f|address|port|" line; -1 when the line is neither.
int PortFromCommand(const std::string& line);

// How ServeFtpFile serves one file, and the ways it can misbehave.
struct FtpFileScript {
  std::string content{};                // the file
  std::string size_reply{};             // "" : "213 <content size>"
  std::string user_reply = "331 Password required";
  std::string retr_reply = "150 Opening BINARY mode data connection";  // not 1xx: refused so
  size_t send_limit = std::string::npos;  // bytes sent at most (a short transfer)
  bool reply_226_first = false;         // 226 before the data
  bool close_after_226 = false;         // with reply_226_first: control closed at once
  bool greet = true;                    // false: accepts, never says anything
  bool stall = false;                   // the data connection opens and stays silent
  std::string mdtm_reply{};             // "" : MDTM is unknown (502)
  std::string rest_reply{};             // "" : "350 Restarting"
  std::string final_reply = "226 Transfer complete";  // after the data
  // Non-empty: after the data the data connection stays open until the
  // client closes it, and this is the reply (a client that cuts the transfer
  // at a piece's end).
  std::string cut_reply{};
  bool reset_data = false;              // the data connection is reset, not closed
  bool refuse_active = false;           // EPRT and PORT answered "550 Permission denied."
  bool refuse_passive = false;          // EPSV and PASV answered "550 Permission denied."
  bool closed_passive_port = false;     // PASV answered with a port nobody listens on
};

// The server side of one download session: greeting, USER (PASS unless
// USER was answered 230), CWD, TYPE, SIZE, MDTM, PORT or PASV, REST, RETR,
// QUIT. EPSV and EPRT are unknown (502) unless refused.
// Returns the client's command lines (without CR LF). Unknown commands get
// "502".
std::vector<std::string> ServeFtpFile(ScriptedConnection& c, const FtpFileScript& script);

}  // namespace quillon::testing
