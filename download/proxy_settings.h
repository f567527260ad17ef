// TProxySettings: which proxy a download goes through, read from the
// environment the way the common command-line downloaders read it, and given
// to the HTTP or FTP client of the download.
//
//   http://   http_proxy (lower case only: a CGI program gets HTTP_PROXY from
//             a request header), else all_proxy / ALL_PROXY
//   https://  https_proxy / HTTPS_PROXY, else all_proxy / ALL_PROXY; through
//             an HTTP proxy the client tunnels with CONNECT
//   ftp://    ftp_proxy / FTP_PROXY, else all_proxy / ALL_PROXY, when it is
//             a SOCKS proxy; an HTTP all_proxy does not carry ftp (direct),
//             an HTTP ftp_proxy is refused (Refusal)
// The lower-case name wins over the upper-case one; an empty value counts as
// unset. A host that no_proxy / NO_PROXY (or AddNoProxy) names goes direct.
// The choice is made for each hop of an HTTP download, the first request and
// each redirection, by that hop's scheme and host: a redirection from a
// no_proxy host to another goes through the proxy, one from http to https
// takes https_proxy, one to a no_proxy host goes direct.
//
// Proxy URLs: [http://][user:password@]host[:port], socks4://, socks4a://,
// socks5://, socks5h:// (the same forms; user and password percent-encoded;
// port 1080 when none is written; an IPv6 address in brackets). At
// socks4a://, socks5:// and socks5h:// alike the proxy resolves the name of
// every hop: it is never looked up here. A proxy's credentials go to the
// proxy only (Proxy-Authorization, the SOCKS user name and password), never
// to the origin server.
//
// no_proxy: entries separated by commas (blanks around them ignored); "*"
// alone matches every host; a name matches itself and every name that ends
// with "." + it (a leading "." is ignored), without regard to case or to a
// trailing "." on either side ("example.com." is "example.com"); an IPv4 or
// IPv6 address matches that address, and ADDRESS/BITS a range. Names in any
// script match in their ASCII (IDNA) form, as the proxy URL's host is used.
//
// A value that cannot be read (an unknown scheme, a bad port) is not used:
// Problems() says which, and such a download goes direct.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillon {

class THttpCli;
class TFtpClient;

struct TProxyUrl {
  enum TKind { kNone, kHttp, kSocks4, kSocks4A, kSocks5 };
  TKind kind = kNone;
  std::string host, port, user, password;
  bool IsSocks() const { return kind == kSocks4 || kind == kSocks4A || kind == kSocks5; }
};

// The proxy a URL names; kind kNone when the text is not a usable proxy URL.
// `default_port` when the text names no port.
TProxyUrl ParseProxyUrl(const std::string& text, const std::string& default_port = "1080");

// Whether a no_proxy list names `host` (a name, or an address with or
// without brackets).
bool NoProxyMatches(const std::string& list, const std::string& host);

class TProxySettings {
 public:
  using TGetEnv = std::function<const char*(const char* name)>;

  // Read from the variables through `getenv` (the process's by default).
  static TProxySettings FromEnvironment(const TGetEnv& getenv = nullptr);

  // Replaces every proxy the environment named: `http` (an HTTP or SOCKS
  // proxy, or kNone) for http and https, `socks` (kNone or a SOCKS proxy) for
  // what `http` leaves, ftp included.
  void Override(const TProxyUrl& http, const TProxyUrl& socks);
  // More entries for no_proxy.
  void AddNoProxy(const std::string& list);

  // The proxy for this URL; kind kNone: direct.
  TProxyUrl For(const std::string& url) const;
  // Sets the client's proxy for its URL and makes each later hop (a
  // redirection) choose its own (OnChooseProxy, with a copy of these
  // settings).
  void ApplyTo(THttpCli& client) const;
  // Sets or clears the client's HTTP proxy and SOCKS settings for one hop
  // to `url`.
  void Choose(THttpCli& client, const std::string& url) const;
  // Sets the FTP client's SOCKS proxy for its host (FTP has one hop).
  void ApplyTo(TFtpClient& client) const;

  // Why `url` cannot go the way the variables say, "" when it can: an
  // ftp:// URL whose ftp_proxy is an HTTP proxy, which the FTP client cannot
  // go through (going direct would bypass the proxy the user set).
  std::string Refusal(const std::string& url) const;

  // "<variable>: cannot be read as a proxy URL" for each unusable value.
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  TProxyUrl http_, https_, ftp_, all_;
  std::string ftp_name_;  // the variable ftp_ came from
  std::string no_proxy_;
  std::vector<std::string> problems_;
};

}  // namespace quillon
