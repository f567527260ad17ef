#include "download/proxy_settings.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/strings.h"
#include "download/ftp_url.h"
#include "net/ftp/ftp_client.h"
#include "net/http/http_cli.h"
#include "net/http/url.h"
#include "net/socket/host_name.h"

namespace quillon {

namespace {

// An address in network order with its length in bytes (4 or 16).
struct TAddress {
  unsigned char bytes[16] = {};
  int length = 0;
};

std::optional<TAddress> ParseAddress(std::string text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  TAddress a;
  if (::inet_pton(AF_INET, text.c_str(), a.bytes) == 1) {
    a.length = 4;
    return a;
  }
  if (::inet_pton(AF_INET6, text.c_str(), a.bytes) == 1) {
    a.length = 16;
    return a;
  }
  return std::nullopt;
}

// Whether the first `bits` bits of two addresses of one family agree.
bool SamePrefix(const TAddress& a, const TAddress& b, int bits) {
  if (a.length != b.length || bits < 0 || bits > a.length * 8) return false;
  const int whole = bits / 8;
  if (std::memcmp(a.bytes, b.bytes, whole) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (a.bytes[whole] & mask) == (b.bytes[whole] & mask);
}

bool EntryMatches(std::string entry, const std::string& host) {
  if (entry == "*") return true;
  const size_t slash = entry.find('/');
  if (slash != std::string::npos) {
    const auto address = ParseAddress(host);
    const auto range = ParseAddress(entry.substr(0, slash));
    const auto bits = ParseDecimalDigits(entry.substr(slash + 1));
    return address && range && bits && *bits <= 128 && SamePrefix(*address, *range, static_cast<int>(*bits));
  }
  const auto address = ParseAddress(host);
  if (const auto named = ParseAddress(entry)) return address && SamePrefix(*address, *named, named->length * 8);
  if (address) return false;
  if (entry.starts_with('.')) entry.erase(0, 1);
  // "example.com." is the same name as "example.com", in the list and in a URL.
  if (entry.ends_with('.')) entry.pop_back();
  if (entry.empty()) return false;
  // Names in any script compare in their ASCII form.
  std::string name = LowerCase(UrlHostName(host));
  if (name.ends_with('.')) name.pop_back();
  entry = LowerCase(UrlHostName(entry));
  return name == entry || (name.size() > entry.size() && name.ends_with(entry) &&
                           name[name.size() - entry.size() - 1] == '.');
}

std::string HostOf(const std::string& url) {
  std::string proto, user, pass, host, port, path;
  ParseURL(url, proto, user, pass, host, port, path);
  return host;
}

}  // namespace

TProxyUrl ParseProxyUrl(const std::string& text, const std::string& default_port) {
  TProxyUrl proxy;
  std::string rest(TrimWS(text));
  TProxyUrl::TKind kind = TProxyUrl::kHttp;
  const size_t scheme_end = rest.find("://");
  if (scheme_end != std::string::npos) {
    const std::string scheme = LowerCase(rest.substr(0, scheme_end));
    if (scheme == "http")
      kind = TProxyUrl::kHttp;
    else if (scheme == "socks4")
      kind = TProxyUrl::kSocks4;
    else if (scheme == "socks4a")
      kind = TProxyUrl::kSocks4A;
    else if (scheme == "socks5" || scheme == "socks5h")
      kind = TProxyUrl::kSocks5;
    else
      return proxy;
    rest.erase(0, scheme_end + 3);
  }
  // Nothing of a path counts: "http://proxy:3128/" names the proxy.
  rest = rest.substr(0, rest.find('/'));
  const size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string login = rest.substr(0, at);
    const size_t colon = login.find(':');
    proxy.user = PercentDecode(login.substr(0, colon));
    if (colon != std::string::npos) proxy.password = PercentDecode(login.substr(colon + 1));
    rest.erase(0, at + 1);
  }
  std::string host = rest, port;
  if (rest.starts_with('[')) {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return proxy;
    host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') return proxy;
      port = rest.substr(close + 2);
    }
  } else if (const size_t colon = rest.find(':'); colon != std::string::npos) {
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (port.empty()) port = default_port;
  const auto number = ParseDecimalDigits(port);
  if (host.empty() || !number || *number < 1 || *number > 65535) return proxy;
  // The proxy's name in any script is looked up (or sent) in its ASCII form.
  const auto ascii = AsciiHostName(host);
  if (!ascii) return proxy;
  proxy.kind = kind;
  proxy.host = *ascii;
  proxy.port = std::to_string(*number);
  return proxy;
}

bool NoProxyMatches(const std::string& list, const std::string& host) {
  if (host.empty()) return false;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string entry(TrimWS(std::string_view(list).substr(start, comma - start)));
    if (!entry.empty() && EntryMatches(entry, host)) return true;
    start = comma + 1;
  }
  return false;
}

TProxySettings TProxySettings::FromEnvironment(const TGetEnv& getenv) {
  TProxySettings settings;
  auto value = [&](const char* name) -> std::string {
    const char* v = getenv ? getenv(name) : std::getenv(name);
    return v ? std::string(TrimWS(v)) : std::string();
  };
  // The first of the names that has a value.
  auto read = [&](std::initializer_list<const char*> names, TProxyUrl& out) -> std::string {
    for (const char* name : names) {
      const std::string text = value(name);
      if (text.empty()) continue;
      out = ParseProxyUrl(text);
      if (out.kind == TProxyUrl::kNone) settings.problems_.push_back(std::string(name) + ": cannot be read as a proxy URL");
      return name;
    }
    return {};
  };
  read({"http_proxy"}, settings.http_);
  read({"https_proxy", "HTTPS_PROXY"}, settings.https_);
  settings.ftp_name_ = read({"ftp_proxy", "FTP_PROXY"}, settings.ftp_);
  read({"all_proxy", "ALL_PROXY"}, settings.all_);
  settings.no_proxy_ = value("no_proxy");
  if (settings.no_proxy_.empty()) settings.no_proxy_ = value("NO_PROXY");
  return settings;
}

void TProxySettings::Override(const TProxyUrl& http, const TProxyUrl& socks) {
  http_ = https_ = http;
  ftp_ = {};
  all_ = socks;
}

void TProxySettings::AddNoProxy(const std::string& list) {
  if (list.empty()) return;
  no_proxy_ += no_proxy_.empty() ? list : "," + list;
}

TProxyUrl TProxySettings::For(const std::string& url) const {
  const std::string lower = LowerCase(url);
  TProxyUrl proxy;
  if (lower.starts_with("http://"))
    proxy = http_.kind != TProxyUrl::kNone ? http_ : all_;
  else if (lower.starts_with("https://"))
    proxy = https_.kind != TProxyUrl::kNone ? https_ : all_;
  else if (lower.starts_with("ftp://") && ftp_.kind != TProxyUrl::kNone)
    proxy = ftp_.IsSocks() ? ftp_ : TProxyUrl{};
  else if (lower.starts_with("ftp://") && all_.IsSocks())
    proxy = all_;
  if (proxy.kind != TProxyUrl::kNone && NoProxyMatches(no_proxy_, HostOf(url))) return {};
  return proxy;
}

std::string TProxySettings::Refusal(const std::string& url) const {
  if (!LowerCase(url).starts_with("ftp://") || ftp_.kind != TProxyUrl::kHttp || NoProxyMatches(no_proxy_, HostOf(url)))
    return {};
  return ftp_name_ + ": an HTTP proxy cannot carry ftp:// downloads; name a SOCKS proxy (socks5h://HOST:PORT)";
}

void TProxySettings::ApplyTo(THttpCli& client) const {
  Choose(client, client.URL());
  client.OnChooseProxy = [settings = *this](THttpCli* sender, const std::string& url) { settings.Choose(*sender, url); };
}

void TProxySettings::Choose(THttpCli& client, const std::string& url) const {
  const TProxyUrl proxy = For(url);
  // Every setting of another hop's proxy goes: its credentials included.
  const bool http = proxy.kind == TProxyUrl::kHttp;
  client.SetProxy(http ? UrlHost(proxy.host) : std::string());
  client.SetProxyPort(http ? proxy.port : "80");
  client.SetProxyUsername(http ? proxy.user : std::string());
  client.SetProxyPassword(http ? proxy.password : std::string());
  const bool socks = proxy.IsSocks();
  client.SetSocksServer(socks ? proxy.host : std::string());
  client.SetSocksPort(socks ? proxy.port : std::string());
  client.SetSocksLevel(proxy.kind == TProxyUrl::kSocks4 ? "4" : proxy.kind == TProxyUrl::kSocks4A ? "4A" : "5");
  client.SetSocksUsercode(socks ? proxy.user : std::string());
  client.SetSocksPassword(socks ? proxy.password : std::string());
  // A SOCKS 5 server that asks for nothing refuses a client that offers
  // only user-name authentication: offer it only with a user name.
  client.SetSocksAuthentication(socks && !proxy.user.empty() ? socksAuthenticateUsercode : socksNoAuthentication);
}

void TProxySettings::ApplyTo(TFtpClient& client) const {
  const std::string url = "ftp://" + (client.HostName().find(':') != std::string::npos && !client.HostName().starts_with('[')
                                          ? "[" + client.HostName() + "]"
                                          : client.HostName()) + "/";
  const TProxyUrl proxy = For(url);
  if (!proxy.IsSocks()) return;
  client.SetConnectionType(proxy.kind == TProxyUrl::kSocks4 ? ftpSocks4 : proxy.kind == TProxyUrl::kSocks4A ? ftpSocks4A : ftpSocks5);
  client.SetSocksServer(proxy.host);
  client.SetSocksPort(proxy.port);
  client.SetSocksUserCode(proxy.user);
  client.SetSocksPassword(proxy.password);
}

}  // namespace quillon
