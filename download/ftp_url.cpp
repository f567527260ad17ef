#include "download/ftp_url.h"

#include "base/strings.h"
#include "net/socket/host_name.h"

namespace quillon {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string PercentDecode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    int hi = -1, lo = -1;
    if (s[i] == '%' && i + 2 < s.size()) {
      hi = HexValue(s[i + 1]);
      lo = HexValue(s[i + 2]);
    }
    if (hi >= 0 && lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

TFtpUrlParts SplitFtpUrl(const std::string& url) {
  TFtpUrlParts parts;
  std::string rest = url;
  size_t scheme = LowerCase(url).find("://");
  if (scheme != std::string::npos) rest = url.substr(scheme + 3);
  size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  // user[:password]@ ends at the last "@", so a password may hold one.
  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string login = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = login.find(':');
    parts.user = PercentDecode(login.substr(0, colon));
    if (colon != std::string::npos) parts.password = PercentDecode(login.substr(colon + 1));
  }
  size_t colon = authority.rfind(':');
  if (authority.starts_with("[") && colon < authority.rfind(']')) colon = std::string::npos;  // [IPv6]
  if (colon != std::string::npos) {
    std::string port = authority.substr(colon + 1);
    authority = authority.substr(0, colon);
    if (!port.empty()) parts.port = port;
  }
  parts.host = UrlHostName(authority);
  size_t last = path.find_last_of("/\\:");
  if (last == std::string::npos) {
    parts.file = path;
  } else {
    parts.file = path.substr(last + 1);
    parts.dir = path.substr(0, last + 1);
    for (char& c : parts.dir)
      if (c == '\\') c = '/';
  }
  // The server is asked for the names themselves ("my%20file" is "my file"),
  // split first so that an encoded "/" stays within its name.
  parts.dir = PercentDecode(parts.dir);
  parts.file = PercentDecode(parts.file);
  return parts;
}

}  // namespace quillon
