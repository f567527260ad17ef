#include "net/http/url.h"

#include <cctype>
#include <cmath>
#include <string_view>

#include "base/base64.h"
#include "base/strings.h"
#include "net/socket/host_name.h"

namespace quillon {

namespace {

// The base up to and including its last "/", or "/" when it has none.
std::string Directory(const std::string& base) {
  size_t slash = base.rfind('/');
  return slash == std::string::npos ? std::string("/") : base.substr(0, slash + 1);
}

// "./x" and "../x" against the base path; false for any other URL.
bool ParseRelative(const std::string& URL, const std::string& base, std::string& Path) {
  if (URL.starts_with("./")) {
    Path = Directory(base) + URL.substr(2);
    return true;
  }
  if (!URL.starts_with("../")) return false;
  std::string dir = Directory(base);
  std::string rest = URL;
  while (rest.starts_with("../")) {
    rest.erase(0, 3);
    // Drop the last segment of the directory ("/a/b/" becomes "/a/").
    if (dir.size() > 1) {
      size_t prev = dir.rfind('/', dir.size() - 2);
      dir = prev == std::string::npos ? std::string("/") : dir.substr(0, prev + 1);
    }
  }
  Path = dir + rest;
  return true;
}

// Sets the scheme and returns where the authority starts, or npos for a URL
// that is a path alone (Path is then set).
size_t AuthorityStart(const std::string& URL, std::string& Proto, std::string& Path) {
  size_t sep = URL.find("://");
  if (sep != std::string::npos) {
    bool has_scheme = sep > 0;
    for (size_t i = 0; i < sep && has_scheme; ++i) has_scheme = IsSchemeChar(URL[i]);
    if (has_scheme) {
      Proto = URL.substr(0, sep);
      return sep + 3;
    }
    Proto = "http";
  }
  if (URL[0] == '/') {
    Proto = "http";
    if (URL.size() >= 2 && URL[1] == '/') return 2;
    Path = URL;
    return std::string::npos;
  }
  if (StartsText("http:", URL)) {
    Proto = "http";
    if (URL.size() > 6 && URL[5] == '/' && URL[6] == '/') return 7;
    Path = URL.substr(5);
    return std::string::npos;
  }
  if (StartsText("mailto:", URL)) {
    Proto = "mailto";
    return 7;
  }
  return 0;
}

// Splits "user:password@host:port" at its last ":" and last "@". An IPv6
// address in brackets ("[::1]:8081") is the host without its brackets.
void SplitAuthority(const std::string& authority, std::string& User, std::string& Pass, std::string& Host,
                    std::string& Port) {
  size_t at = authority.rfind('@');
  const size_t host_start = at == std::string::npos ? 0 : at + 1;
  if (host_start < authority.size() && authority[host_start] == '[') {
    size_t close = authority.find(']', host_start);
    if (close != std::string::npos && (close + 1 == authority.size() || authority[close + 1] == ':')) {
      Host = authority.substr(host_start + 1, close - host_start - 1);
      if (close + 1 < authority.size()) Port = authority.substr(close + 2);
      if (at == std::string::npos) return;
      const std::string user_part = authority.substr(0, at);
      size_t user_colon = user_part.find(':');
      User = user_part.substr(0, user_colon);
      if (user_colon != std::string::npos) Pass = user_part.substr(user_colon + 1);
      return;
    }
  }
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos && (at == std::string::npos || colon > at)) {
    Port = authority.substr(colon + 1);
    size_t host_start = at == std::string::npos ? 0 : at + 1;
    Host = authority.substr(host_start, colon - host_start);
    if (at == std::string::npos) return;
  } else if (at != std::string::npos) {
    Host = authority.substr(at + 1);
  } else {
    Host = authority;
    return;
  }
  const std::string user_part = authority.substr(0, at);
  size_t user_colon = user_part.find(':');
  User = user_part.substr(0, user_colon);
  if (user_colon != std::string::npos) Pass = user_part.substr(user_colon + 1);
}

}  // namespace

bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

void ParseURL(const std::string& URL, std::string& Proto, std::string& User, std::string& Pass,
              std::string& Host, std::string& Port, std::string& Path) {
  const std::string base = Path;
  Proto.clear();
  User.clear();
  Pass.clear();
  Host.clear();
  Port.clear();
  Path.clear();
  if (URL.empty() || ParseRelative(URL, base, Path)) return;
  const size_t authority_start = AuthorityStart(URL, Proto, Path);
  if (authority_start == std::string::npos) return;
  // The fragment is the reader's: it ends the authority as it ends the path,
  // and goes nowhere.
  std::string authority = URL.substr(authority_start, URL.find('#', authority_start) - authority_start);
  size_t path_start = authority.find_first_of("/?");
  if (path_start != std::string::npos) {
    Path = authority.substr(path_start);
    authority.resize(path_start);
  }
  SplitAuthority(authority, User, Pass, Host, Port);
  // A name in any script goes on in its ASCII form (see host_name.h).
  Host = UrlHostName(Host);
}

std::string UrlHost(const std::string& Host) {
  return Host.find(':') != std::string::npos && !Host.starts_with("[") ? "[" + Host + "]" : Host;
}

std::string UrlServer(const std::string& URL) {
  std::string proto, user, pass, host, port, path;
  ParseURL(URL, proto, user, pass, host, port, path);
  proto = LowerCase(proto);
  if (port.empty() || port == proto) port = proto == "https" ? "443" : proto == "ftp" ? "21" : "80";
  return LowerCase(host) + ":" + port;
}

std::string BaseUrl(const std::string& U) {
  size_t end = U.find('?');
  std::string_view head(U.data(), end == std::string::npos ? U.size() : end);
  size_t last = head.find_last_of("/:");
  return last == std::string_view::npos ? std::string() : U.substr(0, last + 1);
}

std::string ReplaceExt(const std::string& Name, const std::string& Ext) {
  size_t dot = Name.rfind('.');
  if (dot == std::string::npos) return Name + "." + Ext;
  return Name.substr(0, dot + 1) + Ext;
}

std::string ExtractFileExt(const std::string& Name) {
  size_t dot = Name.find_last_of("./\\:");
  if (dot == std::string::npos || Name[dot] != '.') return "";
  return Name.substr(dot);
}

std::string RFC1123Date(TDateTime D) {
  static const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int year, month, day, hour, minute, second, msec;
  DecodeDate(D, year, month, day);
  DecodeTime(D, hour, minute, second, msec);
  // Day 0 (30 December 1899) was a Saturday.
  int64_t whole_days = static_cast<int64_t>(std::floor(D));
  int day_of_week = static_cast<int>(((whole_days - 2) % 7 + 7) % 7);
  if (month < 1 || month > 12) month = 1;
  return std::string(kDays[day_of_week]) + ", " +
         Format("%2.2d %s %4.4d %2.2d:%2.2d:%2.2d", day, kMonths[month - 1], year, hour, minute, second);
}

std::string EncodeBase64(const std::string& Value) { return Base64Encode(Value); }

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A byte RFC 3986 allows as it stands in a path or query: unreserved,
// sub-delims, ":", "@", "/" and "?".
bool IsTargetChar(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("-._~!$&'()*+,;=:@/?").find(static_cast<char>(c)) != std::string_view::npos;
}

// The parts of an absolute URL or a reference (RFC 3986 section 5.2.2's
// R.scheme, R.authority, R.path, R.query); the fragment is dropped.
struct TReference {
  std::string scheme, authority, path, query;
  bool has_scheme = false, has_authority = false, has_query = false;
};

TReference SplitReference(const std::string& text) {
  TReference r;
  std::string rest = text.substr(0, text.find('#'));
  const size_t colon = rest.find(':');
  if (colon != std::string::npos && colon > 0 && colon < rest.find_first_of("/?") &&
      std::isalpha(static_cast<unsigned char>(rest[0]))) {
    bool scheme = true;
    for (size_t i = 0; i < colon && scheme; ++i) scheme = IsSchemeChar(LowerChar(rest[i]));
    if (scheme) {
      r.has_scheme = true;
      r.scheme = LowerCase(rest.substr(0, colon));
      rest.erase(0, colon + 1);
    }
  }
  if (rest.starts_with("//")) {
    const size_t end = rest.find_first_of("/?", 2);
    r.has_authority = true;
    r.authority = rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
    rest.erase(0, end == std::string::npos ? rest.size() : end);
  }
  const size_t q = rest.find('?');
  if (q != std::string::npos) {
    r.has_query = true;
    r.query = rest.substr(q + 1);
    rest.resize(q);
  }
  r.path = rest;
  return r;
}

// Where the request target of Path begins: at 0, or after the scheme and
// authority of an absolute URL.
size_t TargetStart(const std::string& Path) {
  if (Path.starts_with("/")) return 0;
  const size_t sep = Path.find("://");
  if (sep == std::string::npos) return 0;
  const size_t from = Path.find_first_of("/?", sep + 3);
  return from == std::string::npos ? Path.size() : from;
}

// Whether target[i] goes on the request line as it stands.
bool KeptInTarget(std::string_view target, size_t i) {
  const unsigned char c = static_cast<unsigned char>(target[i]);
  return IsTargetChar(c) || (c == '%' && i + 2 < target.size() && IsHexDigit(target[i + 1]) && IsHexDigit(target[i + 2]));
}

// The path and query of Path, without the fragment.
std::string_view TargetOf(const std::string& Path, size_t from) {
  const size_t hash = Path.find('#', from);
  return std::string_view(Path.data() + from, (hash == std::string::npos ? Path.size() : hash) - from);
}

}  // namespace

bool HasUnencodedTarget(const std::string& URL) {
  const std::string_view target = TargetOf(URL, TargetStart(URL));
  for (size_t i = 0; i < target.size(); ++i)
    if (!KeptInTarget(target, i)) return true;
  return false;
}

std::string RequestTarget(const std::string& Path) {
  // An absolute URL, as a plain proxy is asked: its scheme and authority
  // stay as they are.
  const size_t from = TargetStart(Path);
  std::string out = Path.substr(0, from);
  out.reserve(Path.size());
  const std::string_view target = TargetOf(Path, from);
  if (!target.starts_with("/")) out += '/';
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < target.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(target[i]);
    if (KeptInTarget(target, i)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string RemoveDotSegments(const std::string& Path) {
  std::string input = Path;
  std::string output;
  auto drop_last_segment = [&output] {
    const size_t slash = output.rfind('/');
    output.resize(slash == std::string::npos ? 0 : slash);
  };
  while (!input.empty()) {
    if (input.starts_with("../")) {
      input.erase(0, 3);
    } else if (input.starts_with("./")) {
      input.erase(0, 2);
    } else if (input.starts_with("/./")) {
      input.erase(0, 2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.starts_with("/../")) {
      input.erase(0, 3);
      drop_last_segment();
    } else if (input == "/..") {
      input = "/";
      drop_last_segment();
    } else if (input == "." || input == "..") {
      input.clear();
    } else {
      const size_t end = input.find('/', 1);
      output += input.substr(0, end);
      input.erase(0, end == std::string::npos ? input.size() : end);
    }
  }
  return output;
}

std::string ResolveReference(const std::string& Base, const std::string& Reference) {
  const TReference b = SplitReference(Base);
  const TReference r = SplitReference(Reference);
  TReference t;
  if (r.has_scheme) {
    t = r;
    t.path = RemoveDotSegments(r.path);
  } else {
    t.scheme = b.scheme;
    t.has_scheme = b.has_scheme;
    if (r.has_authority) {
      t.has_authority = true;
      t.authority = r.authority;
      t.path = RemoveDotSegments(r.path);
      t.has_query = r.has_query;
      t.query = r.query;
    } else {
      t.has_authority = b.has_authority;
      t.authority = b.authority;
      if (r.path.empty()) {
        t.path = b.path;
        t.has_query = r.has_query || b.has_query;
        t.query = r.has_query ? r.query : b.query;
      } else {
        if (r.path.starts_with("/")) {
          t.path = RemoveDotSegments(r.path);
        } else {
          // Merge (section 5.2.3): the base's path up to its last "/".
          const size_t slash = b.path.rfind('/');
          const std::string merged = b.has_authority && b.path.empty() ? "/" + r.path
                                     : slash == std::string::npos     ? r.path
                                                                      : b.path.substr(0, slash + 1) + r.path;
          t.path = RemoveDotSegments(merged);
        }
        t.has_query = r.has_query;
        t.query = r.query;
      }
    }
  }
  std::string out;
  if (t.has_scheme) out += t.scheme + ":";
  if (t.has_authority) out += "//" + t.authority;
  out += t.path;
  if (t.has_query) out += "?" + t.query;
  return out;
}

std::string UrlRefusal(const std::string& URL) {
  for (size_t i = 0; i < URL.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(URL[i]);
    bool control = c < 0x20 || c == 0x7F;
    if (c == '%' && i + 2 < URL.size() && URL[i + 1] == '0') {
      const char low = LowerChar(URL[i + 2]);
      control = low == '0' || low == 'a' || low == 'd';
    }
    if (control) return "the URL holds a control character (a line break, NUL or another).";
  }
  const std::string lower = LowerCase(URL);
  if (lower.starts_with("http://") || lower.starts_with("https://") || lower.starts_with("ftp://")) {
    std::string proto, user, pass, host, port, path;
    ParseURL(URL, proto, user, pass, host, port, path);
    if (host.empty()) return "the URL names no host.";
  }
  return "";
}

}  // namespace quillon
