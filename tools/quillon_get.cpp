// quillon-get [OPTIONS] URL FILE: fetches URL into FILE on the event loop and
// reports progress at most once a second, then a final line.
//
//   --proxy HOST[:PORT]      through an HTTP proxy
//   --socks HOST:PORT        through a SOCKS server
//   --socks-level 4|4A|5     SOCKS level (5 by default)
//   --user NAME --password WORD   Basic credentials for the server
//
// Exit status 0 only when the transfer ended without error, with a status
// from 200 to 299 and, when the server gave a content-length, all of its
// bytes; 1 otherwise, with the reason on standard error.
#include <QCoreApplication>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/strings.h"
#include "net/http/http_cli.h"
#include "platform/event_loop.h"

namespace {

using namespace quillon;

struct Options {
  std::string proxy;
  std::string socks_host, socks_port, socks_level;
  std::string user, password;
};

void Usage() {
  std::fprintf(stderr,
               "usage: quillon-get [--proxy HOST[:PORT]] [--socks HOST:PORT] [--socks-level 4|4A|5]\n"
               "                   [--user NAME --password WORD] URL FILE\n");
}

std::string Rate(int64_t bytes, uint32_t ms) {
  double kib = static_cast<double>(bytes) / 1024.0;
  double seconds = ms / 1000.0;
  return Format("%.0f KiB/s", seconds > 0 ? kib / seconds : kib);
}

// One HTTP transfer with THttpCli; the exit status of the program.
int FetchHttp(const std::string& url, const std::string& file_name, const Options& options) {
  std::unique_ptr<TFileStream> file;
  try {
    file = std::make_unique<TFileStream>(file_name, fmCreate);
  } catch (const Exception& e) {
    std::fprintf(stderr, "quillon-get: %s\n", e.what());
    return 1;
  }

  THttpCli http;
  http.SetURL(url);
  http.SetRcvdStream(file.get());
  if (!options.proxy.empty()) http.SetProxy(options.proxy);
  if (!options.user.empty()) http.SetUsername(options.user);
  if (!options.password.empty()) http.SetPassword(options.password);
  if (!options.socks_host.empty()) {
    http.SetSocksServer(options.socks_host);
    http.SetSocksPort(options.socks_port);
    http.SetSocksLevel(options.socks_level.empty() ? "5" : options.socks_level);
  }

  const uint32_t start = platform::GetTickCount();
  uint32_t last_report = start;
  bool done = false;
  http.OnDocData = [&](THttpCli* sender, const void*, int) {
    uint32_t now = platform::GetTickCount();
    if (now - last_report < 1000) return;
    last_report = now;
    int64_t total = sender->ContentLength();
    if (total >= 0)
      std::printf("%lld of %lld bytes, %s\n", static_cast<long long>(sender->RcvdCount()),
                  static_cast<long long>(total), Rate(sender->RcvdCount(), now - start).c_str());
    else
      std::printf("%lld bytes, %s\n", static_cast<long long>(sender->RcvdCount()),
                  Rate(sender->RcvdCount(), now - start).c_str());
    std::fflush(stdout);
  };
  http.OnRequestDone = [&](THttpCli*, THttpRequest, Word) {
    done = true;
    QCoreApplication::quit();
  };
  try {
    http.GetAsync();
  } catch (const Exception& e) {
    std::fprintf(stderr, "quillon-get: %s\n", e.what());
    return 1;
  }
  if (!done) QCoreApplication::exec();
  file.reset();

  const uint32_t elapsed = platform::GetTickCount() - start;
  const int64_t received = http.RcvdCount();
  std::printf("%d %s: %lld bytes in %.1f s, %s\n", http.StatusCode(), http.ReasonPhrase().c_str(),
              static_cast<long long>(received), elapsed / 1000.0, Rate(received, elapsed).c_str());
  std::fflush(stdout);

  if (http.RequestDoneError() != 0) {
    std::fprintf(stderr, "quillon-get: error %d: %s\n", http.RequestDoneError(), http.ReasonPhrase().c_str());
    return 1;
  }
  if (http.StatusCode() < 200 || http.StatusCode() > 299) {
    std::fprintf(stderr, "quillon-get: %d %s\n", http.StatusCode(), http.ReasonPhrase().c_str());
    return 1;
  }
  if (http.ContentLength() >= 0 && received != http.ContentLength()) {
    std::fprintf(stderr, "quillon-get: incomplete: %lld of %lld bytes\n", static_cast<long long>(received),
                 static_cast<long long>(http.ContentLength()));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options options;
  std::string url, file;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    bool ok = true;
    if (arg == "--proxy") {
      ok = value(options.proxy);
    } else if (arg == "--socks") {
      std::string hostport;
      ok = value(hostport);
      size_t colon = hostport.rfind(':');
      if (ok && colon != std::string::npos && colon > 0 && colon + 1 < hostport.size()) {
        options.socks_host = hostport.substr(0, colon);
        options.socks_port = hostport.substr(colon + 1);
      } else {
        ok = false;
      }
    } else if (arg == "--socks-level") {
      ok = value(options.socks_level);
      ok = ok && (options.socks_level == "4" || SameText(options.socks_level, "4A") || options.socks_level == "5");
      if (SameText(options.socks_level, "4a")) options.socks_level = "4A";
    } else if (arg == "--user") {
      ok = value(options.user);
    } else if (arg == "--password") {
      ok = value(options.password);
    } else if (arg.starts_with("--")) {
      ok = false;
    } else if (url.empty()) {
      url = arg;
    } else if (file.empty()) {
      file = arg;
    } else {
      ok = false;
    }
    if (!ok) {
      Usage();
      return 1;
    }
  }
  if (url.empty() || file.empty()) {
    Usage();
    return 1;
  }

  // The scheme picks the protocol; a URL without one is taken as http.
  size_t sep = url.find("://");
  std::string scheme = sep == std::string::npos ? "http" : LowerCase(url.substr(0, sep));
  if (scheme == "http") return FetchHttp(url, file, options);
  std::fprintf(stderr, "quillon-get: the %s scheme is not supported\n", scheme.c_str());
  return 1;
}
