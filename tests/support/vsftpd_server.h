// A vsftpd instance for FTP tests, started as a child process on a free port
// of 127.0.0.1 with a configuration written into a temporary folder and
// stopped (the folder removed) when the object goes.
//
// Login: user "anonymous" with the password VsftpdServer::kPassword; any
// other password is refused with 530, so wrong-password cases need no system
// account. Root() is the server's "/" (not writable, as the server demands);
// Root()/pub is writable: uploads, MKD, RMD, DELE, RNFR/RNTO work there.
// Active (PORT) and passive (PASV) data connections are allowed.
//
//   VsftpdServer ftp;
//   ASSERT_TRUE(ftp.Start()) << ftp.Failure();
//   WriteFile(ftp.File("pub/a.bin"), data);
//   client.SetHostName("127.0.0.1"); client.SetPort(ftp.PortText());
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/local_server.h"

namespace quillon::testing {

class VsftpdServer : public LocalServer {
 public:
  static constexpr const char* kUser = "anonymous";
  static constexpr const char* kPassword = "s3cret";

  VsftpdServer() = default;
  // Writes the configuration, starts the server and waits for its port.
  // False, with Failure() saying why, when vsftpd is missing or fails.
  bool Start();
  // Listens on ::1 only instead of 127.0.0.1. Call before Start.
  void ListenOnIPv6() { ipv6_ = true; }

  // The folder served as "/", and a path below it.
  std::string Root() const { return dir_.File("root"); }
  std::string File(const std::string& relative) const { return Root() + "/" + relative; }
  // What the server answers to MDTM for a file below Root(): its
  // modification time in UTC, YYYYMMDDHHMMSS ("" when there is no file).
  std::string Mdtm(const std::string& relative) const;

 private:
  bool ipv6_ = false;
};

}  // namespace quillon::testing
