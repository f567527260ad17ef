// quillon-get [OPTIONS] URL FILE: fetches an http://, https:// or ftp:// URL into FILE
// with the same download job that a row of the program's download list runs,
// and prints the row's status texts as they change (progress at most once a
// second), the last one being the outcome.
//
//   --proxy HOST[:PORT]      through an HTTP proxy (https: a CONNECT tunnel)
//   --cacert FILE            trust the CAs of this PEM file for https, besides
//                            the system's (default: $QUILLON_CA_FILE)
//   --socks HOST:PORT        through a SOCKS server
//   --socks-level 4|4A|5     SOCKS level (5 by default)
//   --user NAME --password WORD   Basic credentials for the server; for FTP
//                            the login (else the URL's, else anonymous);
//                            --user without --password is refused
//   --passive                FTP data connections in passive mode
//   --resume / --no-resume   the answer when FILE.part, a partial file left
//                            by an earlier start, can be continued (continue
//                            it, or fetch the file whole); without either the
//                            file is fetched whole
//   --timeout SECONDS        give up after this long without any data
//                            (60 by default; 0: never)
//   --sha256 HEX             the file's SHA-256 (64 hexadecimal digits): FILE
//                            is made only when the bytes match, as the window
//                            does for a link of a signed catalogue
//   --size N                 the file's length in bytes: a server announcing
//                            another length fails before the first byte
//
// The download goes into FILE.part and becomes FILE only when complete.
// Exit status 0 only when the download completed (for HTTP: no error, a
// status from 200 to 299 and every byte of a known length; for FTP: as many
// bytes as the SIZE answer); 1 otherwise, with the last status text on
// standard error.
#include <QCoreApplication>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "base/exceptions.h"
#include "base/sha256_hasher.h"
#include "base/strings.h"
#include "download/download_job.h"

namespace {

using namespace quillon;

struct Options {
  std::string proxy;
  std::string ca_file;
  std::string socks_host, socks_port, socks_level;
  std::string user, password;
  bool passive = false;
  bool resume = false;
  int timeout = kDefaultIdleTimeout;
  TExpectedFile expected;
};

void Usage() {
  std::fprintf(stderr,
               "usage: quillon-get [--proxy HOST[:PORT]] [--cacert FILE] [--socks HOST:PORT] [--socks-level 4|4A|5]\n"
               "                   [--user NAME --password WORD] [--passive] [--resume|--no-resume]\n"
               "                   [--timeout SECONDS] [--sha256 HEX] [--size N] URL FILE\n");
}

// The resume question, answered from the command line.
class CommandLineAnswer : public TResumeQuestion {
 public:
  explicit CommandLineAnswer(bool resume) : resume_(resume) {}
  bool AskResume(const std::string&) override {
    std::printf("%s\n", resume_ ? "Continuing the shorter local file." : "Fetching the whole file.");
    return resume_;
  }

 private:
  bool resume_;
};

int Fetch(const std::string& url, const std::string& file_name, const Options& options) {
  CommandLineAnswer answer(options.resume);
  TDownloadJob job(&answer);
  job.SetURL(url);
  job.SetLocalFilename(file_name);
  job.SetCancelCaption("Cancel");
  job.SetIdleTimeout(options.timeout);
  job.SetExpectedFile(options.expected);
  std::string shown;
  job.OnChange = [&](TDownloadJob* sender) {
    if (sender->Status() != shown) {
      shown = sender->Status();
      std::printf("%s\n", shown.c_str());
      std::fflush(stdout);
    }
    if (!sender->DownloadInProgress() && !sender->HttpClient() && !sender->FtpClient())
      QCoreApplication::quit();
  };
  job.OnHttpClientCreated = [&](TDownloadJob*, THttpCli* http) {
    if (!options.proxy.empty()) http->SetProxy(options.proxy);
    if (!options.ca_file.empty()) http->SetSslCAFile(options.ca_file);
    if (!options.user.empty()) http->SetUsername(options.user);
    if (!options.password.empty()) http->SetPassword(options.password);
    if (!options.socks_host.empty()) {
      http->SetSocksServer(options.socks_host);
      http->SetSocksPort(options.socks_port);
      http->SetSocksLevel(options.socks_level.empty() ? "5" : options.socks_level);
    }
  };
  job.OnFtpClientCreated = [&](TDownloadJob*, TFtpClient* ftp) {
    ftp->SetPassive(options.passive);
    if (!options.user.empty()) {
      ftp->SetUserName(options.user);
      ftp->SetPassWord(options.password);
    }
  };
  try {
    job.StartDownload();
  } catch (const Exception& e) {
    std::fprintf(stderr, "quillon-get: %s\n", e.what());
    return 1;
  }
  if (job.DownloadInProgress()) QCoreApplication::exec();
  if (job.ActionMode() == amOpen) return 0;
  std::fprintf(stderr, "quillon-get: %s\n", job.Status().c_str());
  return 1;
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
    } else if (arg == "--cacert") {
      ok = value(options.ca_file);
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
    } else if (arg == "--passive") {
      options.passive = true;
    } else if (arg == "--resume") {
      options.resume = true;
    } else if (arg == "--no-resume") {
      options.resume = false;
    } else if (arg == "--timeout") {
      std::string seconds;
      ok = value(seconds) && !seconds.empty() && seconds.size() <= 6 &&
           seconds.find_first_not_of("0123456789") == std::string::npos;
      if (ok) options.timeout = std::stoi(seconds);
    } else if (arg == "--sha256") {
      ok = value(options.expected.sha256) && IsSha256Hex(options.expected.sha256);
      options.expected.sha256 = LowerCase(options.expected.sha256);
    } else if (arg == "--size") {
      std::string bytes;
      std::optional<int64_t> size;
      ok = value(bytes) && (size = ParseDecimalDigits(bytes)).has_value();
      if (ok) options.expected.size = *size;
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
  if (url.empty() || file.empty() || (!options.user.empty() && options.password.empty())) {
    Usage();
    return 1;
  }
  // A file-size limit makes writing fail with a reason instead of ending the
  // process.
  std::signal(SIGXFSZ, SIG_IGN);

  return Fetch(url, file, options);
}
