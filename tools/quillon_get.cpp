// quillon-get [OPTIONS] URL [FILE]: fetches an http://, https:// or ftp:// URL
// into FILE with the same download job that a row of the program's download
// list runs. Without FILE (and -o) the current folder receives the file
// under the URL's file name; a file of that name there is never replaced:
// it is kept and the download saved as the window's "Keep both" does, under
// the first free "NAME (1).ext", "NAME (2).ext", ..., and the name used is
// printed (also when NAME or that name appears during the download).
//
//   -o FILE                  the file to write, instead of the FILE argument;
//                            a FILE that is a folder receives the file under
//                            the name the window proposes for the URL (the
//                            last segment of its path, percent-decoded, see
//                            download/file_name_rule.h); a FILE ending in
//                            "/" must be an existing folder (exit 3 before
//                            fetching otherwise); an existing FILE is
//                            replaced once the download is complete
//   --no-clobber             never replace FILE: refuse, before fetching,
//                            when it exists; when it is made during the
//                            download, fail (exit 3) and keep the downloaded
//                            file as FILE.part
//   -q, --quiet              print nothing but errors
//   --proxy [SCHEME://][USER:PASSWORD@]HOST[:PORT]
//                            http and https through this proxy (an HTTP
//                            proxy, port 80 when none is written, https in a
//                            CONNECT tunnel; or socks4://, socks4a://,
//                            socks5://, socks5h://) instead of the
//                            environment's; an IPv6 HOST in brackets
//   --cacert FILE            trust the CAs of this PEM file for https, besides
//                            the system's (default: $QUILLON_CA_FILE)
//   --socks HOST:PORT        through a SOCKS server (ftp too) instead of the
//                            environment's proxies ([IPv6]:PORT)
//   --socks-level 4|4A|5     SOCKS level (5 by default)
//   --noproxy LIST           more hosts for no_proxy (same form)
// Each hop of a download (the URL, each redirection) takes its own proxy by
// its scheme and host, as download/proxy_settings.h says.
//   --user NAME --password WORD   Basic credentials for the server; for FTP
//                            the login (else the URL's, else anonymous);
//                            sent only to the URL's own host and port, never
//                            to a --mirror's or a redirection's;
//                            --user without --password is refused
//   --passive / --active     FTP data connections in passive mode only / in
//                            active mode only; without either passive first,
//                            and active once when passive finds no data
//                            connection (download/download_job.h)
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
//   --retries N              tries after a transient failure (5 by default;
//                            0: none), each continuing the part
//   --retry-wait SECONDS     the wait before the first retry (1 by default),
//                            doubled for each later one
//   --mirror URL             another URL of the same file, tried when the
//                            URL fails for good (repeatable, in order); with
//                            --sha256 the part carries over to it; an https
//                            URL goes on with a plain http or ftp mirror
//                            only with --sha256
//   -h, --help               print this usage to standard output
//   --version                print "quillon-get VERSION"
//
// URLs are read as curl reads them: a "#" ends the host part and the
// fragment is never sent; spaces and other bytes RFC 3986 does not allow in
// a path are sent percent-encoded; a relative redirection is resolved as
// RFC 3986 says. An FTP URL's folder and file name are percent-decoded before
// they are sent ("my%20file" asks for "my file"). The URL or a --mirror URL
// holding a control byte (raw, or CR, LF or NUL percent-encoded) or naming
// no host ("http://") is a command line that cannot be used: exit 2.
//
// Output: on a terminal one line rewritten in place with the row's status
// texts, its progress as "NN% received of total (rate) remaining" (the
// percentage when the total is known), and the last status on its own line.
// Not on a terminal: one line per status change ("Initiating download..."
// once, without the dots of the answer's header lines), progress at most
// once a second. In both, before "Trying mirror K of M: URL" a line says why
// the source before it was left ("Giving up on URL: <reason>"), and a
// complete download's last line says where the file went ("Download
// Complete. Saved to FILE"). URLs are printed without their passwords
// ("user:***@"). Numbers take the separators of the user's locale
// (LC_NUMERIC); the texts stay as the download row writes them.
//
// The download goes into FILE.part (mode 0600, the user's own: see
// download/partial_file.h) and becomes FILE only when complete, with the
// mode any new file gets (0666 less the umask). A FILE that is another
// running download's FILE.part is refused before fetching.
// Exit status: 0 when the download completed (for HTTP: no error, a status
// from 200 to 299 and every byte of a known length; for FTP: as many bytes as
// the SIZE answer); 2 for a command line that cannot be used (or a proxy
// variable that cannot be read), with the reason and the usage on standard
// error; a failed download prints its last status text on standard error
// and exits with the class of its failure: 3 the file cannot be made or
// written (also when --no-clobber found FILE existing, before fetching or
// at the end; a FILE folder that does not exist; FILE.part or FILE held by
// another download, or replaced by another program during the download), 4
// network (name lookup, connect, reset, timeout, a short body, an FTP data
// connection that cannot be made), 5 TLS verification, 6 authentication
// (HTTP 401/407, a 407 to CONNECT, FTP 530), 7 protocol (an answer that
// cannot be read, a broken chunked body, too many redirects), 8 the server
// answered with an error (other 4xx/5xx), 9 not the file expected (size or SHA-256),
// 1 anything else.
#include <langinfo.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/code_page.h"
#include "base/exceptions.h"
#include "base/sha256_hasher.h"
#include "base/strings.h"
#include "base/version.h"
#include "download/download_job.h"
#include "download/proxy_settings.h"
#include "download/download_texts.h"
#include "download/file_name_rule.h"
#include "net/http/url.h"

namespace {

using namespace quillon;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitExists = 3;

// The exit status of a download that failed, by the class of its failure.
int ExitStatus(TFailureKind kind) {
  switch (kind) {
    case TFailureKind::kFileIo: return 3;
    case TFailureKind::kNetwork: return 4;
    case TFailureKind::kTls: return 5;
    case TFailureKind::kAuthentication: return 6;
    case TFailureKind::kProtocol: return 7;
    case TFailureKind::kServerError: return 8;
    case TFailureKind::kNotExpected: return 9;
    case TFailureKind::kNone:
    case TFailureKind::kGeneric: break;
  }
  return kExitFailed;
}

struct Options {
  std::string url, file;
  bool quiet = false;
  TProxyUrl proxy;  // --proxy; kind kNone when not given
  std::string ca_file;
  std::string socks_host, socks_port, socks_level;
  std::string no_proxy;
  std::string user, password;
  TFtpDataMode ftp_data_mode = TFtpDataMode::kPassiveFirst;
  bool resume = false;
  bool no_clobber = false;
  bool named = true;  // FILE or -o was given
  int timeout = kDefaultIdleTimeout;
  TExpectedFile expected;
  int retries = kDefaultRetries;
  int retry_wait = 1;
  std::vector<std::string> mirrors;
};

constexpr const char* kUsage =
    "usage: quillon-get [-q] [--proxy URL] [--noproxy LIST] [--socks HOST:PORT] [--socks-level 4|4A|5]\n"
    "                   [--cacert FILE] [--user NAME --password WORD] [--passive|--active] [--resume|--no-resume]\n"
    "                   [--timeout SECONDS] [--sha256 HEX] [--size N] [--no-clobber]\n"
    "                   [--retries N] [--retry-wait SECONDS] [--mirror URL]... URL [FILE|FOLDER]\n"
    "       quillon-get [OPTIONS] -o FILE|FOLDER URL\n"
    "       quillon-get --help | --version\n"
    "proxies: http_proxy, https_proxy, all_proxy, no_proxy (also HTTPS_PROXY, ALL_PROXY, NO_PROXY)\n"
    "exit status: 0 downloaded, 1 failed (other), 2 unusable command line, 3 file not written (or exists: --no-clobber),\n"
    "             4 network (lookup, connect, reset, timeout), 5 TLS verification, 6 authentication,\n"
    "             7 protocol (unreadable answer, too many redirects), 8 the server answered with an error,\n"
    "             9 not the file expected (size or SHA-256)\n";

// What the command line asks for.
struct CommandLine {
  enum Action { kFetch, kHelp, kVersion, kUsageError } action = kFetch;
  std::string error;  // kUsageError: the reason, empty when the usage says it
  Options options;
};

// Recognises the arguments; every option is recognised here and nowhere else.
CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  Options& options = line.options;
  std::string output;
  bool positional_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    bool ok = true;
    if (positional_only || arg == "-" || !arg.starts_with("-")) {
      if (options.url.empty())
        options.url = arg;
      else if (options.file.empty())
        options.file = arg;
      else
        ok = false;
    } else if (arg == "--") {
      positional_only = true;
    } else if (arg == "-h" || arg == "--help") {
      line.action = CommandLine::kHelp;
      return line;
    } else if (arg == "--version") {
      line.action = CommandLine::kVersion;
      return line;
    } else if (arg == "-o") {
      ok = output.empty() && value(output) && !output.empty();
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--proxy") {
      std::string url;
      ok = value(url);
      options.proxy = ParseProxyUrl(url, "80");
      if (ok && options.proxy.kind == TProxyUrl::kNone) {
        line.error = "--proxy " + RedactedUrl(url) + ": not a proxy URL";
        ok = false;
      }
    } else if (arg == "--noproxy") {
      ok = value(options.no_proxy);
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
    } else if (arg == "--passive" || arg == "--active") {
      options.ftp_data_mode = arg == "--passive" ? TFtpDataMode::kPassive : TFtpDataMode::kActive;
    } else if (arg == "--resume") {
      options.resume = true;
    } else if (arg == "--no-resume") {
      options.resume = false;
    } else if (arg == "--no-clobber") {
      options.no_clobber = true;
    } else if (arg == "--timeout") {
      std::string seconds;
      ok = value(seconds) && !seconds.empty() && seconds.size() <= 6 &&
           seconds.find_first_not_of("0123456789") == std::string::npos;
      if (ok) options.timeout = std::stoi(seconds);
    } else if (arg == "--retries" || arg == "--retry-wait") {
      std::string number;
      ok = value(number) && !number.empty() && number.size() <= 4 &&
           number.find_first_not_of("0123456789") == std::string::npos;
      if (ok) (arg == "--retries" ? options.retries : options.retry_wait) = std::stoi(number);
    } else if (arg == "--mirror") {
      ok = value(options.mirrors.emplace_back()) && !options.mirrors.back().empty();
    } else if (arg == "--sha256") {
      ok = value(options.expected.sha256) && IsSha256Hex(options.expected.sha256);
      options.expected.sha256 = LowerCase(options.expected.sha256);
    } else if (arg == "--size") {
      std::string bytes;
      std::optional<int64_t> size;
      ok = value(bytes) && (size = ParseDecimalDigits(bytes)).has_value();
      if (ok) options.expected.size = *size;
    } else {
      line.error = "unknown option " + arg;
      ok = false;
    }
    if (!ok) {
      line.action = CommandLine::kUsageError;
      return line;
    }
  }
  // -o and a FILE argument: two files for one download.
  if (!output.empty() && !options.file.empty()) line.action = CommandLine::kUsageError;
  if (!output.empty()) options.file = output;
  // Without FILE: the current folder, which receives the URL's file name.
  if (options.file.empty()) {
    options.file = ".";
    options.named = false;
  }
  if (options.url.empty() || (!options.user.empty() && options.password.empty()))
    line.action = CommandLine::kUsageError;
  // A URL with a line break, or without a host, is refused before anything
  // is sent; the URL itself is not printed, as it may hold a password.
  if (line.action == CommandLine::kFetch) {
    std::string refusal = UrlRefusal(options.url);
    if (!refusal.empty()) line.error = "URL refused: " + refusal;
    for (size_t m = 0; m < options.mirrors.size() && refusal.empty(); ++m) {
      refusal = UrlRefusal(options.mirrors[m]);
      if (!refusal.empty()) line.error = "--mirror " + std::to_string(m + 1) + " refused: " + refusal;
    }
    if (!refusal.empty()) line.action = CommandLine::kUsageError;
  }
  return line;
}

// The text after the last "/".
std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A text of the program (windows-1252, with bytes a server sent; UTF-8 when
// it is well-formed UTF-8, as a host or file name in any script makes it) as
// the terminal's character set shows it: converted to UTF-8 when the
// locale's character set is UTF-8, and with control characters as "?" so
// that a server's text cannot move the cursor or send the terminal commands.
// On another terminal a UTF-8 text's characters beyond ASCII become "?".
std::string PrintableText(const std::string& text) {
  static const bool utf8 = std::string(nl_langinfo(CODESET)) == "UTF-8";
  const bool from_utf8 = IsUtf8(text);
  std::string out;
  out.reserve(text.size());
  for (size_t pos = 0; pos < text.size();) {
    const char c = text[pos];
    const uint32_t code_point = from_utf8 ? static_cast<uint32_t>(NextUtf8CodePoint(text, &pos))
                                          : Cp1252ToUnicode(static_cast<uint8_t>(text[pos++]));
    if (code_point < 0x20 || (code_point >= 0x7F && code_point < 0xA0) || (from_utf8 && !utf8 && code_point >= 0x80))
      out += '?';
    else if (utf8)
      AppendUtf8(out, code_point);
    else
      out += c;
  }
  return out;
}

void PrintError(const std::string& text) {
  std::fprintf(stderr, "quillon-get: %s\n", PrintableText(text).c_str());
}

// Shows a download's texts. On a terminal one line is rewritten in place and
// ended when something else must be printed; otherwise every status change is
// a line of its own, except the "." that each header line of an answer adds
// to "Initiating download...". Why a source was left for a mirror is a line
// of its own in both. The outcome is one line, naming the file's path when
// the download completed. Quiet: nothing.
class TStatusPrinter {
 public:
  enum Mode { kTerminal, kLines, kQuiet };
  explicit TStatusPrinter(Mode mode) : mode_(mode) {}

  // After every change of the job.
  void Show(const TDownloadJob& job) {
    // The outcome is Finish's line.
    if (job.Outcome() != TJobOutcome::kNone) return;
    const int percent = job.ShowsProgress() ? job.Progress().position : -1;
    if (job.Status() == shown_ && percent == shown_percent_) return;
    const bool new_status = job.Status() != shown_;
    const bool more_dots = new_status && !shown_.empty() && job.Status().starts_with(shown_) &&
                           job.Status().find_first_not_of('.', shown_.size()) == std::string::npos;
    shown_ = job.Status();
    shown_percent_ = percent;
    if (mode_ == kLines && new_status && !more_dots) Line(shown_);
    if (mode_ != kTerminal) return;
    if (job.ShowsAbandonedSource()) return Line(shown_);
    std::string text(TrimRightWS(shown_));
    if (percent >= 0) text = Format("%3d%% ", percent) + text;
    Rewrite(text);
  }

  // A line of its own, between the status lines.
  void Line(const std::string& text) {
    if (mode_ == kQuiet) return;
    EndLine();
    std::printf("%s\n", PrintableText(text).c_str());
    std::fflush(stdout);
  }

  // The outcome: the last status on its own line, and where a complete
  // file went ("Download Complete. Saved to <path>").
  void Finish(const TDownloadJob& job) {
    std::string text = job.Status();
    if (job.ActionMode() == amOpen) text += " Saved to " + job.LocalFilename();
    if (mode_ == kTerminal) {
      Rewrite(text, false);
      EndLine();
    } else if (mode_ == kLines && text != shown_) {
      Line(text);
    }
  }

 private:
  // `fit`: cut to the terminal's width, for a line that is rewritten later.
  void Rewrite(std::string text, bool fit = true) {
    // A line wider than the terminal would wrap, and "\r" would then go back
    // to its last row only.
    winsize size {};
    if (fit && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && text.size() >= size.ws_col)
      text.resize(size.ws_col - 1);
    if (line_open_ && text == open_text_) return;
    // Spaces wipe the rest of a longer line; the cursor goes back to the end
    // of the text.
    const std::string shown = PrintableText(text);
    if (text.size() < open_text_.size())
      std::printf("\r%s%s\r%s", shown.c_str(), std::string(open_text_.size() - text.size(), ' ').c_str(),
                  shown.c_str());
    else
      std::printf("\r%s", shown.c_str());
    std::fflush(stdout);
    open_text_ = text;
    line_open_ = true;
  }
  void EndLine() {
    if (!line_open_) return;
    std::printf("\n");
    std::fflush(stdout);
    line_open_ = false;
    open_text_.clear();
  }

  Mode mode_;
  std::string shown_;
  int shown_percent_ = -1;
  bool line_open_ = false;
  std::string open_text_;  // the text of the open line, before conversion
};

// The resume question, answered from the command line.
class CommandLineAnswer : public TResumeQuestion {
 public:
  CommandLineAnswer(bool resume, TStatusPrinter& printer) : resume_(resume), printer_(printer) {}
  bool AskResume(const std::string&) override {
    printer_.Line(resume_ ? "Continuing the shorter local file." : "Fetching the whole file.");
    return resume_;
  }

 private:
  bool resume_;
  TStatusPrinter& printer_;
};

int Fetch(const Options& options, const TProxySettings& proxies) {
  TStatusPrinter printer(options.quiet                ? TStatusPrinter::kQuiet
                         : ::isatty(STDOUT_FILENO) != 0 ? TStatusPrinter::kTerminal
                                                        : TStatusPrinter::kLines);
  CommandLineAnswer answer(options.resume, printer);
  TDownloadJob job(&answer);
  job.SetURL(options.url);
  job.SetLocalFilename(options.file);
  job.SetExistingFile(options.no_clobber ? TExistingFile::kKeep
                      : options.named    ? TExistingFile::kReplace
                                         : TExistingFile::kKeepBoth);
  job.SetCancelCaption("Cancel");
  job.SetIdleTimeout(options.timeout);
  job.SetExpectedFile(options.expected);
  job.SetRetries(options.retries);
  job.SetRetryWait(options.retry_wait);
  job.SetMirrors(options.mirrors);
  job.SetFtpDataMode(options.ftp_data_mode);
  job.OnChange = [&](TDownloadJob* sender) {
    printer.Show(*sender);
    if (!sender->DownloadInProgress() && !sender->HttpClient() && !sender->FtpClient())
      QCoreApplication::quit();
  };
  // The credentials go to the URL's own server only, never to a mirror's
  // (and the HTTP client keeps them from a redirection's).
  const std::string credentials_server = UrlServer(options.url);
  job.OnHttpClientCreated = [&](TDownloadJob* sender, THttpCli* http) {
    proxies.ApplyTo(*http);
    if (!options.ca_file.empty()) http->SetSslCAFile(options.ca_file);
    const bool own_server = UrlServer(sender->URL()) == credentials_server;
    if (own_server && !options.user.empty()) http->SetUsername(options.user);
    if (own_server && !options.password.empty()) http->SetPassword(options.password);
  };
  job.OnFtpClientCreated = [&](TDownloadJob* sender, TFtpClient* ftp) {
    proxies.ApplyTo(*ftp);  // a SOCKS proxy makes the data connections passive
    if (!options.user.empty() && UrlServer(sender->URL()) == credentials_server) {
      ftp->SetUserName(options.user);
      ftp->SetPassWord(options.password);
    }
  };
  try {
    job.StartDownload();
  } catch (const Exception& e) {
    PrintError(e.what());
    return kExitFailed;
  }
  if (job.DownloadInProgress()) QCoreApplication::exec();
  // "Keep both" found the name taken, at the start or at the end.
  if (job.ActionMode() == amOpen && job.LocalFilename() != options.file)
    printer.Line(FileNameOf(options.file) + " exists; saved as " + FileNameOf(job.LocalFilename()) + ".");
  printer.Finish(job);
  if (job.ActionMode() == amOpen) return 0;
  PrintError(job.Status());
  return ExitStatus(job.FailureKind());
}

int UsageError(const std::string& reason) {
  if (!reason.empty()) PrintError(reason);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // Numbers follow the user's locale. Messages stay those of the download
  // row, system error texts included, so that every text is in the one 8-bit
  // character set the row uses.
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_MESSAGES, "C");

  CommandLine line = ParseCommandLine(argc, argv);
  switch (line.action) {
    case CommandLine::kHelp: std::fputs(kUsage, stdout); return 0;
    case CommandLine::kVersion: std::printf("quillon-get %s\n", kQuillonVersion); return 0;
    case CommandLine::kUsageError: return UsageError(line.error);
    case CommandLine::kFetch: break;
  }
  Options& options = line.options;
  if (IsFolder(options.file)) {
    options.file += (options.file.ends_with('/') ? "" : "/") + SaveFileNameFromUrl(options.url);
  } else if (options.file.ends_with('/')) {
    // Found out before anything is fetched, not at the rename.
    PrintError(options.file + ": no such folder.");
    return kExitExists;
  }
  // Any entry counts, a dangling symbolic link too: the download would replace it.
  struct stat st {};
  if (options.no_clobber && ::lstat(options.file.c_str(), &st) == 0) {
    PrintError(options.file + " already exists; not replaced (--no-clobber).");
    return kExitExists;
  }
  // A file-size limit makes writing fail with a reason instead of ending the
  // process.
  std::signal(SIGXFSZ, SIG_IGN);

  TProxySettings proxies = TProxySettings::FromEnvironment();
  TProxyUrl socks;
  if (!options.socks_host.empty()) {
    const std::string level = options.socks_level.empty() ? "5" : options.socks_level;
    socks = ParseProxyUrl((level == "4" ? "socks4://" : level == "4A" ? "socks4a://" : "socks5://") +
                          options.socks_host + ":" + options.socks_port);
    if (socks.kind == TProxyUrl::kNone) return UsageError("--socks " + options.socks_host + ":" + options.socks_port + ": not a SOCKS server");
  }
  if (options.proxy.kind != TProxyUrl::kNone || socks.kind != TProxyUrl::kNone) {
    proxies.Override(options.proxy, socks);
  } else if (!proxies.Problems().empty()) {
    // Going direct instead would bypass the proxy the user set.
    for (const std::string& problem : proxies.Problems()) PrintError(problem);
    return kExitUsage;
  }
  proxies.AddNoProxy(options.no_proxy);
  return Fetch(options, proxies);
}
