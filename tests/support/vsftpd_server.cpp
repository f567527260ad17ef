#include "tests/support/vsftpd_server.h"

#include <sys/stat.h>

#include "tests/support/loopback.h"

namespace quillon::testing {

bool VsftpdServer::Start() {
  failure_.clear();
  std::string program = FindProgram("vsftpd");
  if (program.empty()) {
    failure_ = "cannot start the FTP server: vsftpd is not installed (run scripts/setup)";
    return false;
  }
  ::mkdir(dir_.File("empty").c_str(), 0755);
  ::mkdir(Root().c_str(), 0755);
  ::mkdir(File("pub").c_str(), 0777);
  ::chmod(File("pub").c_str(), 0777);
  // The server refuses a writable root for anonymous logins.
  ::chmod(Root().c_str(), 0555);
  WriteFile(dir_.File("passwords"), std::string(kPassword) + "\n");
  port_ = FreePort();
  std::string config =
      "listen=YES\n"
      "listen_ipv6=NO\n"
      "listen_address=127.0.0.1\n"
      "listen_port=" + std::to_string(port_) + "\n"
      "background=NO\n"
      "run_as_launching_user=YES\n"
      "seccomp_sandbox=NO\n"
      "secure_chroot_dir=" + dir_.File("empty") + "\n"
      "anonymous_enable=YES\n"
      "local_enable=NO\n"
      "anon_root=" + Root() + "\n"
      "no_anon_password=NO\n"
      "secure_email_list_enable=YES\n"
      "email_password_file=" + dir_.File("passwords") + "\n"
      "write_enable=YES\n"
      "anon_upload_enable=YES\n"
      "anon_mkdir_write_enable=YES\n"
      "anon_other_write_enable=YES\n"
      "anon_umask=022\n"
      "anon_world_readable_only=NO\n"
      "pasv_enable=YES\n"
      "port_enable=YES\n"
      "connect_from_port_20=NO\n"
      "delay_failed_login=0\n"
      "delay_successful_login=0\n"
      "xferlog_enable=NO\n"
      "dirmessage_enable=NO\n";
  WriteFile(dir_.File("vsftpd.conf"), config);
  if (!process_.Start({program, dir_.File("vsftpd.conf")}, dir_.File("vsftpd.log"))) return false;
  return process_.WaitForPort(port_);
}

}  // namespace quillon::testing
