// libFuzzer entry point for the parsers of URLs and host names: ParseURL (a
// URL, a redirection's location), SplitFtpUrl, ParseProxyUrl and the proxy
// settings read from the environment, no_proxy matching, and the conversion
// of host names to and from their ASCII form; and a Retry-After value, which
// the download reads from a response's header.
//
// Input: up to five lines: a URL, the base path a relative URL is read
// against, a proxy URL, a no_proxy list, a Retry-After value.
//
// Checked: the parts of a URL come from its text (a host, when it has no
// ASCII form, as written); a plain host reads back as itself; an FTP URL's
// folder ends with a separator and its file name holds none; a usable proxy
// has a host and a port within 1-65535; an ASCII form is ASCII and is its own
// ASCII form; a Retry-After wait is within its limit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "download/ftp_url.h"
#include "download/retry_after.h"
#include "download/proxy_settings.h"
#include "net/http/url.h"
#include "net/socket/host_name.h"
#include "fuzz_check.h"

namespace {

using namespace quillon;

using fuzz::Check;

bool Within(const std::string& part, const std::string& text) { return text.find(part) != std::string::npos; }

bool PlainHost(const std::string& host) {
  if (host.empty()) return false;
  for (char c : host)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
      return false;
  return true;
}

void CheckUrl(const std::string& url, const std::string& base) {
  std::string proto, user, pass, host, port, path = base;
  ParseURL(url, proto, user, pass, host, port, path);
  Check(proto == "http" || Within(proto, url), "a scheme not in the URL");
  Check(Within(user, url) && Within(pass, url) && Within(port, url), "a part not in the URL");
  Check(IsAsciiHostName(host) || Within(host, url), "a host without an ASCII form changed");
  Check(path.size() <= url.size() + base.size() + 1, "a path longer than URL and base");
  if (PlainHost(host)) {
    std::string p2, u2, w2, h2, o2, path2;
    ParseURL("http://" + UrlHost(host) + "/x", p2, u2, w2, h2, o2, path2);
    Check(h2 == host && o2.empty() && path2 == "/x", "a plain host does not read back as itself");
  }
  const std::string base_url = BaseUrl(url);
  Check(url.starts_with(base_url), "BaseUrl is no prefix of the URL");
  const std::string ext = ExtractFileExt(path);
  Check(path.ends_with(ext) && (ext.empty() || ext[0] == '.'), "an extension not at the end of the name");

  const TFtpUrlParts ftp = SplitFtpUrl(url);
  // The file name starts after the last "/", "\" or ":", so a folder ends in "/" or ":".
  Check(ftp.dir.empty() || ftp.dir.back() == '/' || ftp.dir.back() == ':', "an FTP folder not ending in a separator");
  // Decoded, an encoded "/" stays within the name it was written in.
  if (url.find('%') == std::string::npos)
    Check(ftp.file.find_first_of("/\\:") == std::string::npos, "an FTP file name holding a separator");
  Check(!ftp.port.empty(), "an FTP URL without a port");
}

void CheckHostName(std::string_view name) {
  const auto ascii = AsciiHostName(name);
  DisplayHostName(name);
  if (!ascii) return;
  Check(IsAsciiHostName(*ascii), "an ASCII form that is not ASCII");
  const auto again = AsciiHostName(*ascii);
  Check(again && *again == *ascii, "an ASCII form that is not its own");
  DisplayHostName(*ascii);
}

void CheckProxy(const std::string& text, const std::string& no_proxy, const std::string& url) {
  const TProxyUrl proxy = ParseProxyUrl(text);
  if (proxy.kind != TProxyUrl::kNone) {
    Check(!proxy.host.empty(), "a usable proxy without a host");
    Check(!proxy.port.empty() && proxy.port.size() <= 5 &&
              proxy.port.find_first_not_of("0123456789") == std::string::npos,
          "a usable proxy with a bad port");
    const int port = std::stoi(proxy.port);
    Check(port >= 1 && port <= 65535, "a proxy port out of range");
  }
  NoProxyMatches(no_proxy, url);
  const TProxySettings settings = TProxySettings::FromEnvironment([&](const char* name) -> const char* {
    const std::string_view n(name);
    if (n == "no_proxy") return no_proxy.c_str();
    if (n == "http_proxy" || n == "https_proxy" || n == "all_proxy") return text.c_str();
    return nullptr;
  });
  settings.For(url);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string lines[5];
  size_t start = 0;
  for (int i = 0; i < 5 && start <= input.size(); ++i) {
    const size_t end = i == 4 ? input.size() : std::min(input.find('\n', start), input.size());
    lines[i] = std::string(input.substr(start, end - start));
    start = end + 1;
  }
  CheckUrl(lines[0], lines[1]);
  CheckHostName(lines[0]);
  CheckProxy(lines[2], lines[3], lines[0]);
  constexpr int64_t kLimitMs = 300 * 1000;
  const int64_t wait = RetryAfterMs(lines[4], kLimitMs, std::time(nullptr));
  Check(wait >= -1 && wait <= kLimitMs, "a Retry-After wait out of its bounds");
  return 0;
}
