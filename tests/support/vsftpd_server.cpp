#include "tests/support/vsftpd_server.h"

#include <sys/stat.h>

#include <ctime>

#include "tests/support/loopback.h"

namespace quillon::testing {

std::string VsftpdServer::Mdtm(const std::string& relative) const {
  struct stat st;
  if (::stat(File(relative).c_str(), &st) != 0) return "";
  std::tm utc{};
  ::gmtime_r(&st.st_mtime, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &utc);
  return text;
}

bool VsftpdServer::Start() {
  failure_.clear();
  std::string program = FindProgram("vsftpd");
  if (program.empty()) {
    failure_ = "cannot start the FTP server: vsftpd is not installed (run scripts/setup)";
    return false;
  }
  ::mkdir(dir_.File("vsftpd-empty").c_str(), 0755);
  ::mkdir(Root().c_str(), 0755);
  ::mkdir(File("pub").c_str(), 0777);
  ::chmod(File("pub").c_str(), 0777);
  // The server refuses a writable root for anonymous logins.
  ::chmod(Root().c_str(), 0555);
  WriteFile(dir_.File("passwords"), std::string(kPassword) + "\n");
  ReservePort(ipv6_);
  // Anonymous logins with a password, and a writable pub/.
  std::string config = ServerConfig(
      "vsftpd.conf", {{"DIR", dir_.path()},
                      {"PORT", PortText()},
                      {"ROOT", Root()},
                      {"EXTRA",
                       "secure_email_list_enable=YES\n"
                       "email_password_file=" + dir_.File("passwords") + "\n"
                       "write_enable=YES\n"
                       "anon_upload_enable=YES\n"
                       "anon_mkdir_write_enable=YES\n"
                       "anon_other_write_enable=YES\n"
                       "anon_umask=022\n"
                       "anon_world_readable_only=NO\n"}});
  if (ipv6_) {
    const std::string v4 = "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n";
    const size_t at = config.find(v4);
    if (at != std::string::npos) config.replace(at, v4.size(), "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n");
  }
  WriteFile(dir_.File("vsftpd.conf"), config);
  if (!process_.Start({program, dir_.File("vsftpd.conf")}, dir_.File("vsftpd.log"))) return false;
  return process_.WaitForPort(port(), 10000, ipv6_);
}

}  // namespace quillon::testing
