// Real servers for tests: nginx (http, https), tinyproxy (an HTTP proxy) and
// dante (SOCKS). Each starts on a free port of 127.0.0.1 with its
// configuration in a temporary folder (so that it needs no privileges and
// leaves nothing behind) and stops when the helper goes:
//
//   NginxServer nginx;
//   WriteFile(nginx.Root() + "/a.bin", bytes);
//   nginx.AddUser("ann", "secret");                  // for /private/
//   nginx.AddLocations("location = /r1 { return 302 /r2; }");
//   ASSERT_TRUE(nginx.Start()) << nginx.Failure();
//   std::string url = nginx.Url("/a.bin");
//
// EnableTls makes the server speak https only, with a certificate from
// TestPki (tests/support/test_pki.h).
//
// TinyproxyServer is an HTTP proxy for 127.0.0.1; DanteServer a SOCKS server
// (levels 4 and 5, no authentication); MicrosocksServer a SOCKS 5 server,
// with a user name and password when given. Log() is what the proxy wrote
// so far: tinyproxy a line per request ("CONNECT host:port", "GET
// http://..."), microsocks a line per connection it made.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/local_server.h"

namespace quillon::testing {

class NginxServer : public LocalServer {
 public:
  NginxServer();
  // The document root: files written here are served from "/".
  std::string Root() const { return dir_.File("www"); }
  // Adds a user of the Basic-authenticated location /private/ (served from
  // Root() + "/private"). Call before Start.
  void AddUser(const std::string& name, const std::string& password);
  // Adds configuration text inside the server block. Call before Start.
  void AddLocations(const std::string& text) { locations_ += text + "\n"; }
  // Serves https with this certificate and key; protocols and further
  // directives as nginx writes them ("TLSv1.2", "ssl_ciphers ...;"). Call
  // before Start.
  void EnableTls(const std::string& cert, const std::string& key, const std::string& protocols = "TLSv1.2 TLSv1.3",
                 const std::string& directives = "");
  // Listens on [::1] only instead of 127.0.0.1. Call before Start.
  void ListenOnIPv6() { host_ = "[::1]"; }
  bool Start();
  // "http://127.0.0.1:<port>" + path ("https://" with TLS; "[::1]" after
  // ListenOnIPv6); UrlFor names another host for the same server.
  std::string Url(const std::string& path) const { return UrlFor(host_, path); }
  std::string UrlFor(const std::string& host, const std::string& path) const;

 private:
  std::string host_ = "127.0.0.1";
  std::string htpasswd_;
  std::string locations_;
  std::string tls_;  // the TLS directives; empty for plain http
};

// What the proxies share: the log they write.
class ProxyServer : public LocalServer {
 public:
  std::string Log() const { return ReadFile(dir_.File("proxy.log")); }
};

class TinyproxyServer : public ProxyServer {
 public:
  bool Start();
};

class DanteServer : public ProxyServer {
 public:
  bool Start();
};

class MicrosocksServer : public ProxyServer {
 public:
  bool Start(const std::string& user = "", const std::string& password = "");
};

}  // namespace quillon::testing
