#include "tests/support/real_servers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tests/support/loopback.h"

namespace quillon::testing {

namespace {

// The output of a shell command ("" when it fails).
std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  if (::pclose(pipe) != 0) return "";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace

NginxServer::NginxServer() {
  std::filesystem::create_directories(Root() + "/private");
  std::filesystem::create_directories(dir_.File("nginx-tmp"));
}

void NginxServer::AddUser(const std::string& name, const std::string& password) {
  // An apr1 hash when openssl is there, else nginx's plain-text form.
  std::string hash;
  if (!FindProgram("openssl").empty())
    hash = CommandOutput("openssl passwd -apr1 '" + password + "' 2>/dev/null");
  if (hash.empty()) hash = "{PLAIN}" + password;
  htpasswd_ += name + ":" + hash + "\n";
}

bool NginxServer::Start() {
  const std::string nginx = FindProgram("nginx");
  if (nginx.empty()) {
    failure_ = "nginx is not installed (scripts/setup installs it)";
    return false;
  }
  ReservePort(host_ == "[::1]");
  WriteFile(dir_.File("htpasswd"), htpasswd_);
  const std::string d = dir_.path();
  std::string conf = ServerConfig(
      "nginx.conf", {{"DIR", d},
                     {"LISTEN", PortText() + (tls_.empty() ? "" : " ssl")},
                     {"ROOT", Root()},
                     {"SERVER", tls_ +
                                    "    location /private/ {\n"
                                    "      auth_basic \"Quillon tests\";\n"
                                    "      auth_basic_user_file " + d + "/htpasswd;\n"
                                    "    }\n" +
                                    locations_}});
  if (host_ != "127.0.0.1") {
    const size_t at = conf.find("listen 127.0.0.1:");
    if (at != std::string::npos) conf.replace(at + 7, 9, host_);
  }
  WriteFile(dir_.File("nginx.conf"), conf);
  // Workers of a server started as root would run as another user that may
  // not enter the temporary folder.
  ::chmod(d.c_str(), 0755);
  return process_.Start({nginx, "-p", d, "-c", dir_.File("nginx.conf"), "-e", dir_.File("nginx-error.log")},
                        dir_.File("nginx.log")) &&
         process_.WaitForPort(port(), 10000, host_ == "[::1]");
}

void NginxServer::EnableTls(const std::string& cert, const std::string& key, const std::string& protocols,
                            const std::string& directives) {
  tls_ = "    ssl_certificate " + cert + ";\n    ssl_certificate_key " + key + ";\n    ssl_protocols " + protocols +
         ";\n    " + directives + "\n";
}

std::string NginxServer::UrlFor(const std::string& host, const std::string& path) const {
  return std::string(tls_.empty() ? "http" : "https") + "://" + host + ":" + PortText() + path;
}

bool TinyproxyServer::Start() {
  ReservePort();
  std::string conf = "Port " + PortText() + "\n"
                     "Listen 127.0.0.1\n"
                     "Timeout 30\n"
                     "MaxClients 16\n"
                     "Allow 127.0.0.1\n"
                     "DisableViaHeader Yes\n";
  if (::geteuid() == 0) conf += "User nobody\nGroup nogroup\n";
  WriteFile(dir_.File("tinyproxy.conf"), conf);
  ::chmod(dir_.path().c_str(), 0755);
  return process_.Start({FindProgram("tinyproxy"), "-d", "-c", dir_.File("tinyproxy.conf")},
                        dir_.File("proxy.log")) &&
         process_.WaitForPort(port());
}

bool DanteServer::Start() {
  ReservePort();
  std::string conf = "logoutput: stderr\n"
                     "internal: 127.0.0.1 port = " + PortText() + "\n"
                     "external: 127.0.0.1\n"
                     "clientmethod: none\n"
                     "socksmethod: none\n";
  // As root, dante must be told which users to switch to.
  if (::geteuid() == 0) conf += "user.privileged: root\nuser.unprivileged: nobody\n";
  conf += "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
          "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 protocol: tcp }\n";
  WriteFile(dir_.File("danted.conf"), conf);
  ::chmod(dir_.path().c_str(), 0755);
  return process_.Start({FindProgram("danted"), "-f", dir_.File("danted.conf"), "-p", dir_.File("danted.pid"),
                         "-N", "1"},
                        dir_.File("proxy.log")) &&
         process_.WaitForPort(port());
}

bool MicrosocksServer::Start(const std::string& user, const std::string& password) {
  ReservePort();
  std::vector<std::string> argv{FindProgram("microsocks"), "-i", "127.0.0.1", "-p", PortText()};
  if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
  return process_.Start(argv, dir_.File("proxy.log")) && process_.WaitForPort(port());
}

}  // namespace quillon::testing
