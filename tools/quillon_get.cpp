// quillon-get [OPTIONS] URL [FILE]: fetches an http://, https:// or ftp:// URL
// into FILE with the same download job that a row of the program's download
// list runs; a URL written without a scheme ("example.com/f.iso") is an
// http:// one. Without FILE (and -o) the current folder receives the file
// under the URL's file name; a file of that name there is never replaced:
// it is kept and the download saved as the window's "Keep both" does, under
// the first free "NAME (1).ext", "NAME (2).ext", ..., and the name used is
// printed (also when NAME or that name appears during the download).
//
// quillon-get [OPTIONS] URL URL... (and -i LIST): several URLs are fetched
// one after another (-j N: N at once, the others waiting in their order),
// each as if alone under the rules without FILE (or into the -o FOLDER, or
// to standard output with -o -, which takes one file after another: -j
// above 1 with it is a usage error). The first argument is
// always a URL and so is every later one that holds "://"; a second
// argument without "://" is the FILE of a single URL, and any other such
// argument, FILE with several URLs, or an -o that is neither "-" nor a
// folder is a usage error, as are --mirror, --sha256, --size and
// --piece-sha256 with several URLs (they describe one file).
//
// "-" as FILE, or -o -: the body goes to standard output as it arrives, and
// every message to standard error. The download runs into a private
// temporary folder ($TMPDIR, else /tmp) whose blocks are given back as the
// bytes go out and which is removed at the end (also on Ctrl+C); nothing is
// saved. Bytes already written cannot be taken back: a failure ends with its
// message and exit status after the bytes that arrived, and a retry that
// starts the file again goes on only when its first bytes are the same as
// those already written (else exit 9). With --sha256 nothing is written until
// the whole file has matched it (a mismatch: exit 9, no byte out).
//
//   -i LIST                  also fetch the URLs of the file LIST, after the
//                            arguments': one a line, blank lines and lines
//                            starting with "#" skipped; "-" reads standard
//                            input
//   -o FILE                  the file to write, instead of the FILE argument;
//                            a FILE that is a folder receives the file under
//                            the name the window proposes for the URL (the
//                            last segment of its path, percent-decoded, see
//                            download/file_name_rule.h); a FILE ending in
//                            "/" must be an existing folder (exit 3 before
//                            fetching otherwise); an existing FILE is
//                            replaced once the download is complete; "-":
//                            standard output (above)
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
//                            by an earlier start (a download cut short, a
//                            Ctrl+C), can be continued, its record naming
//                            this URL and the server's file as it is now:
//                            continue it (the default), or fetch the file
//                            whole
//   --timeout SECONDS        give up after this long without any data
//                            (60 by default; 0: never)
//   --sha256 HEX             the file's SHA-256 (64 hexadecimal digits): FILE
//                            is made only when the bytes match, as the window
//                            does for a link of a signed catalogue; else
//                            "Download failed: the file is not the one given
//                            on the command line (SHA-256 mismatch)."
//   --size N                 the file's length in bytes: a server announcing
//                            another length fails before the first byte
//   --piece-sha256 FILE      the SHA-256 of each piece of the file, read from
//                            FILE in the text form of download/piece_hashes.h
//                            (quillon-catalogue pieces writes it); a FILE
//                            that cannot be read, is larger than 64 MiB or
//                            does not hold that form, or hashes that do not
//                            fit --size, are a usage error naming FILE and
//                            why
//   --connections N          connections the download may open to one host
//                            at once (1 to 16; 1 by default)
//   -j N, --jobs N           downloads at once (1 to 16; 1 by default);
//                            the others wait in the order given
//   --limit-rate RATE        receive at most RATE bytes a second over all
//                            downloads together (K, M or G: KiB, MiB or GiB,
//                            a fraction allowed: 500K, 1.5M; 0: no limit),
//                            by holding the sockets' reads so that the
//                            senders slow down; each second after the first
//                            stays close to RATE
//   --retries N              tries after a transient failure (5 by default;
//                            0: none), each continuing the part
//   --retry-wait SECONDS     the wait before the first retry (1 by default),
//                            doubled for each later one
//   --mirror URL             another URL of the same file, tried when the
//                            URL fails for good (repeatable, in order); with
//                            --sha256 the part carries over to it; an https
//                            URL goes on with a plain http or ftp mirror
//                            only with --sha256
//   -h, --help               print the usage and what each option does to
//                            standard output
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
// once a second. A progress line ends with the limit in force and the
// downloads waiting (", limited to 2.0MB/sec., 3 queued"), and while several
// downloads run at once every line begins with its file's name
// ("alpha.iso: "); on a terminal they share the one line, which shows the
// one that changed last. In both, before "Trying mirror K of M: URL" a line says why
// the source before it was left ("Giving up on URL: <reason>"), and a
// complete download says where the file went: on a terminal its last line
// is "Download Complete. Saved to FILE", otherwise the status line is
// followed by "Saved FILE (N bytes)" (N without separators). While the body
// goes to standard output all of this goes to standard error, whose being a
// terminal decides the form. URLs are printed without their passwords
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
// variable that cannot be read, or an ftp:// URL whose ftp_proxy is an HTTP
// proxy, which cannot carry it), with the reason (and for a command line the
// usage) on standard error; a failed download prints its last status text on standard error
// and exits with the class of its failure: 3 the file cannot be made or
// written (also when --no-clobber found FILE existing, before fetching or
// at the end; a FILE folder that does not exist; FILE.part or FILE held by
// another download, or replaced by another program during the download;
// standard output that cannot be written, "Download failed: cannot write
// to standard output: Broken pipe"), 4
// network (name lookup, connect, reset, timeout, a short body, an FTP data
// connection that cannot be made), 5 TLS verification, 6 authentication
// (HTTP 401/407, a 407 to CONNECT, FTP 530), 7 protocol (an answer that
// cannot be read, a broken chunked body, too many redirects), 8 the server
// answered with an error (other 4xx/5xx), 9 not the file expected (size or SHA-256),
// 1 anything else. With several URLs the status is the gravest of theirs:
// any failure outweighs success, the lowest of 2 to 9 outweighs the others,
// and 1 only success.
#include <fcntl.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
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
#include "download/redacted_url.h"
#include "download/file_name_rule.h"
#include "download/partial_file.h"
#include "download/piece_hashes.h"
#include "download/rate_limiter.h"
#include "net/http/url.h"

namespace {

using namespace quillon;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitExists = 3;
// Downloads at once (-j).
constexpr int kMaxJobs = 16;

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
  std::vector<std::string> urls;  // the arguments' and then -i's, in order
  std::string file;               // FILE or -o ("-": standard output)
  bool quiet = false;
  TProxyUrl proxy;  // --proxy; kind kNone when not given
  std::string ca_file;
  std::string socks_host, socks_port, socks_level;
  std::string no_proxy;
  std::string user, password;
  TFtpDataMode ftp_data_mode = TFtpDataMode::kPassiveFirst;
  bool resume = true;
  bool no_clobber = false;
  bool named = true;  // FILE or -o was given
  int timeout = kDefaultIdleTimeout;
  TExpectedFile expected;
  int retries = kDefaultRetries;
  int retry_wait = 1;
  int connections = 1;  // per host
  int64_t limit_rate = 0;  // bytes a second over every download; 0: none
  int jobs = 1;            // downloads at once
  std::vector<std::string> mirrors;
};

constexpr const char* kUsage =
    "usage: quillon-get [OPTIONS] URL [FILE|FOLDER|-]\n"
    "       quillon-get [OPTIONS] [-j N] [-o FOLDER|-] [-i LIST] URL...\n"
    "       quillon-get --help | --version\n"
    "exit status: 0 downloaded, 1 failed (other), 2 unusable command line, 3 file not written (or exists: --no-clobber),\n"
    "             4 network (lookup, connect, reset, timeout), 5 TLS verification, 6 authentication,\n"
    "             7 protocol (unreadable answer, too many redirects), 8 the server answered with an error,\n"
    "             9 not the file expected (size or SHA-256); with several URLs the gravest (lowest of 2-9, else 1)\n";

// --help: the usage, then what each option does.
constexpr const char* kHelp =
    "Fetches http://, https:// and ftp:// URLs (http:// when none is written), one after another (or -j at once).\n"
    "Without FILE each file goes into the current folder under its URL's name, never replacing a file there\n"
    "(\"NAME (1).ext\" instead). FILE goes with one URL only; a FOLDER receives the files under their names.\n"
    "\n"
    "  -o FILE|FOLDER|-         where to save, instead of the FILE argument; with several URLs a folder or -\n"
    "  - (as FILE, or -o -)     write the body to standard output, messages to standard error; nothing is\n"
    "                           saved; bytes already written stay written when the download then fails\n"
    "  -i LIST                  also download the URLs of file LIST, one a line (blank lines and # comments\n"
    "                           skipped; - reads standard input)\n"
    "  --no-resume              fetch the whole file even when FILE.part, left by an earlier start, can be\n"
    "                           continued (it is continued by default when its record proves it the same file)\n"
    "  --resume                 continue such a FILE.part (the default)\n"
    "  --no-clobber             never replace an existing FILE (exit 3)\n"
    "  -q, --quiet              print nothing but errors\n"
    "  --timeout SECONDS        give up after this long without any data (60; 0: never)\n"
    "  --retries N              tries after a transient failure (5; 0: none), each continuing the part\n"
    "  --retry-wait SECONDS     wait before the first retry (1), doubled for each later one\n"
    "  --mirror URL             another URL of the same file, tried when URL fails for good (repeatable)\n"
    "  --sha256 HEX             the file's SHA-256: FILE is made only when the bytes match (to standard\n"
    "                           output: nothing is written before the whole file has matched)\n"
    "  --size N                 the file's length in bytes: another length fails\n"
    "  --piece-sha256 FILE      the SHA-256 of each piece, as quillon-catalogue pieces writes them\n"
    "  --connections N          connections to one host at once (1 to 16; 1)\n"
    "  -j N, --jobs N           downloads at once (1 to 16; 1), the others waiting in their order\n"
    "  --limit-rate RATE        receive at most RATE bytes a second over all downloads (500K, 2M; 0: none)\n"
    "  --user NAME --password WORD\n"
    "                           credentials for the URL's own server (HTTP Basic, or the FTP login)\n"
    "  --passive, --active      FTP data connections in that mode only (default: passive, and active\n"
    "                           once when passive finds no data connection)\n"
    "  --proxy URL              http and https through this proxy (http://, socks4://, socks4a://, socks5://,\n"
    "                           socks5h://) instead of the environment's\n"
    "  --socks HOST:PORT        every scheme through this SOCKS server instead of the environment's proxies\n"
    "  --socks-level 4|4A|5     its SOCKS level (5)\n"
    "  --noproxy LIST           more hosts that go direct, as in no_proxy\n"
    "  --cacert FILE            also trust the CAs of this PEM file for https (default: $QUILLON_CA_FILE)\n"
    "  -h, --help               print this help\n"
    "  --version                print the version\n"
    "\n"
    "Proxies from the environment: http_proxy, https_proxy, ftp_proxy (a SOCKS proxy), all_proxy, no_proxy\n"
    "(also HTTPS_PROXY, FTP_PROXY, ALL_PROXY, NO_PROXY). Not on a terminal, the last line of a saved file\n"
    "is \"Saved PATH (N bytes)\".\n";

// What the command line asks for.
struct CommandLine {
  enum Action { kFetch, kHelp, kVersion, kUsageError } action = kFetch;
  std::string error;  // kUsageError: the reason, empty when the usage says it
  Options options;
};

bool IsFolder(const std::string& path);

// A URL written without a scheme ("example.com/f.iso") is an http:// one.
std::string WithScheme(const std::string& url) {
  return url.find("://") == std::string::npos ? "http://" + url : url;
}

// Adds the URLs of an input list (one a line; blank lines and lines whose
// first non-blank is "#" skipped; "-": standard input); false with the
// reason when it cannot be read.
bool ReadUrlList(const std::string& path, std::vector<std::string>& urls, std::string& error) {
  FILE* in = path == "-" ? stdin : std::fopen(path.c_str(), "r");
  if (!in) {
    error = "-i " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  for (int c = 0; c != EOF;) {
    c = std::fgetc(in);
    if (c != '\n' && c != EOF) {
      line += static_cast<char>(c);
      continue;
    }
    const std::string url(TrimWS(line));
    line.clear();
    if (!url.empty() && !url.starts_with('#')) urls.push_back(url);
  }
  const bool failed = std::ferror(in) != 0;
  if (in != stdin) std::fclose(in);
  if (failed) error = "-i " + path + ": cannot be read";
  return !failed;
}

// The piece hashes of a --piece-sha256 file; false with the reason.
constexpr long kMaxPieceHashesFile = 64L << 20;
bool ReadPieceHashes(const std::string& path, TPieceHashes& hashes, std::string& error) {
  FILE* in = IsFolder(path) ? nullptr : std::fopen(path.c_str(), "rb");
  if (!in) {
    error = IsFolder(path) ? "a folder, not a file" : std::strerror(errno);
    return false;
  }
  // Read up to one byte past the limit, so that an endless FILE ends too.
  std::string text;
  char buffer[65536];
  size_t n = 0;
  while (static_cast<long>(text.size()) <= kMaxPieceHashesFile && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
    text.append(buffer, n);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) error = "cannot be read";
  else if (static_cast<long>(text.size()) > kMaxPieceHashesFile)
    error = "larger than 64 MiB, not a list of piece hashes";
  else if (ParsePieceHashes(text, hashes, error)) return true;
  return false;
}

// Recognises the arguments; every option is recognised here and nowhere else.
// Every refusal names its reason.
CommandLine ParseCommandLine(int argc, char** argv) {
  CommandLine line;
  Options& options = line.options;
  std::string output, input, piece_file;
  std::vector<std::string> positional;
  bool positional_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        line.error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    // The reason of a value that is not valid.
    auto invalid = [&](const std::string& text, const char* what) {
      if (line.error.empty()) line.error = arg + " " + text + ": " + what;
      return false;
    };
    bool ok = true;
    if (positional_only || arg == "-" || !arg.starts_with("-")) {
      positional.push_back(arg);
    } else if (arg == "--") {
      positional_only = true;
    } else if (arg == "-h" || arg == "--help") {
      line.action = CommandLine::kHelp;
      return line;
    } else if (arg == "--version") {
      line.action = CommandLine::kVersion;
      return line;
    } else if (arg == "-o") {
      if (!output.empty()) line.error = "-o given twice";
      ok = output.empty() && value(output) && (!output.empty() || invalid("\"\"", "not a file name"));
    } else if (arg == "-i") {
      if (!input.empty()) line.error = "-i given twice";
      ok = input.empty() && value(input) && (!input.empty() || invalid("\"\"", "not a file name"));
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
      } else if (ok) {
        ok = invalid(hostport, "not HOST:PORT");
      }
    } else if (arg == "--socks-level") {
      ok = value(options.socks_level);
      ok = ok && (options.socks_level == "4" || SameText(options.socks_level, "4A") || options.socks_level == "5" ||
                  invalid(options.socks_level, "not 4, 4A or 5"));
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
      ok = value(seconds) && ((!seconds.empty() && seconds.size() <= 6 &&
                               seconds.find_first_not_of("0123456789") == std::string::npos) ||
                              invalid(seconds, "not a number of seconds (0 to 999999)"));
      if (ok) options.timeout = std::stoi(seconds);
    } else if (arg == "--retries" || arg == "--retry-wait") {
      std::string number;
      ok = value(number) && ((!number.empty() && number.size() <= 4 &&
                              number.find_first_not_of("0123456789") == std::string::npos) ||
                             invalid(number, "not a number from 0 to 9999"));
      if (ok) (arg == "--retries" ? options.retries : options.retry_wait) = std::stoi(number);
    } else if (arg == "--connections") {
      std::string number;
      const int64_t n = value(number) ? ParseDecimalDigits(number).value_or(0) : -1;
      ok = n >= 0 &&
           ((n >= 1 && n <= TDownloadJob::kMaxConnectionsPerHost) || invalid(number, "not a number from 1 to 16"));
      if (ok) options.connections = static_cast<int>(n);
    } else if (arg == "--limit-rate") {
      std::string rate;
      ok = value(rate) && ((options.limit_rate = ParseRate(rate)) >= 0 ||
                           invalid(rate, "not a rate (bytes a second, or with K, M or G: 500K, 2M)"));
    } else if (arg == "-j" || arg == "--jobs") {
      std::string number;
      const int64_t n = value(number) ? ParseDecimalDigits(number).value_or(0) : -1;
      ok = n >= 0 && ((n >= 1 && n <= kMaxJobs) || invalid(number, "not a number from 1 to 16"));
      if (ok) options.jobs = static_cast<int>(n);
    } else if (arg == "--piece-sha256") {
      std::string why;
      ok = value(piece_file) &&
           (ReadPieceHashes(piece_file, options.expected.pieces, why) || invalid(piece_file, why.c_str()));
    } else if (arg == "--mirror") {
      ok = value(options.mirrors.emplace_back()) && (!options.mirrors.back().empty() || invalid("\"\"", "not a URL"));
      if (ok) options.mirrors.back() = WithScheme(options.mirrors.back());
    } else if (arg == "--sha256") {
      ok = value(options.expected.sha256) &&
           (IsSha256Hex(options.expected.sha256) || invalid(options.expected.sha256, "not 64 hexadecimal digits"));
      options.expected.sha256 = LowerCase(options.expected.sha256);
      options.expected.from_command_line = true;
    } else if (arg == "--size") {
      std::string bytes;
      std::optional<int64_t> size;
      ok = value(bytes) && ((size = ParseDecimalDigits(bytes)).has_value() || invalid(bytes, "not a number of bytes"));
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
  auto refuse = [&](const std::string& reason) {
    if (line.action != CommandLine::kUsageError) line.error = reason;
    line.action = CommandLine::kUsageError;
  };
  // The first argument is a URL, and so is every later one that names a
  // scheme; a second one without a scheme is the FILE of a single URL.
  for (size_t n = 0; n < positional.size(); ++n) {
    const std::string& arg = positional[n];
    if (n == 0 || arg.find("://") != std::string::npos)
      options.urls.push_back(WithScheme(arg));
    else if (n == 1 && positional.size() == 2 && input.empty())
      options.file = arg;
    else
      refuse(arg + ": not a URL (a FILE goes with one URL only; use -o FOLDER with several)");
  }
  if (!output.empty() && !options.file.empty()) refuse("-o " + output + " and FILE " + options.file + ": one file only");
  if (!output.empty()) options.file = output;
  if (!input.empty() && line.action == CommandLine::kFetch) {
    std::vector<std::string> listed;
    std::string error;
    if (!ReadUrlList(input, listed, error)) refuse(error);
    for (const std::string& url : listed) options.urls.push_back(WithScheme(url));
  }
  if (options.urls.empty()) refuse(input.empty() ? "no URL given" : "-i " + input + ": no URL in it");
  if (!options.user.empty() && options.password.empty()) refuse("--user needs --password");
  // One file's checks and sources do not fit several files.
  if (options.urls.size() > 1 && !options.mirrors.empty()) refuse("--mirror goes with one URL only");
  if (options.urls.size() > 1 && (options.expected.size >= 0 || !options.expected.sha256.empty()))
    refuse("--sha256 and --size go with one URL only");
  if (options.urls.size() > 1 && !options.expected.pieces.Empty()) refuse("--piece-sha256 goes with one URL only");
  if (!options.expected.pieces.Empty() && options.expected.size >= 0 &&
      !options.expected.pieces.Fits(options.expected.size))
    refuse("--piece-sha256 " + piece_file + ": " + PieceHashesSummary(options.expected.pieces) +
           (options.expected.pieces.sha256.size() == 1 ? " does" : " do") + " not fit --size " +
           std::to_string(options.expected.size));
  // Standard output takes one file after another.
  if (options.jobs > 1 && options.file == "-")
    refuse("-j " + std::to_string(options.jobs) + " and standard output: the files go out one after another");
  // Several files cannot all become one FILE; they go into a folder, or one
  // after another to standard output.
  if (options.urls.size() > 1 && !options.file.empty() && options.file != "-" && !options.file.ends_with('/') &&
      !IsFolder(options.file))
    refuse(options.file + ": not a folder, and several URLs cannot be saved as one file");
  // Without FILE: the current folder, which receives the URL's file name.
  if (options.file.empty()) {
    options.file = ".";
    options.named = false;
  }
  // A URL with a line break, or without a host, is refused before anything
  // is sent; the URL itself is not printed, as it may hold a password.
  if (line.action == CommandLine::kFetch) {
    std::string refusal;
    for (size_t u = 0; u < options.urls.size() && refusal.empty(); ++u) {
      refusal = UrlRefusal(options.urls[u]);
      if (!refusal.empty())
        line.error = (options.urls.size() > 1 ? "URL " + std::to_string(u + 1) + " refused: " : "URL refused: ") + refusal;
    }
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

// What the downloads of one run share: the limit over all of them, and how
// many wait for their turn.
struct TRunState {
  explicit TRunState(int64_t rate) : limiter(rate) {}
  TRateLimiter limiter;
  size_t queued = 0;
  QObject events;  // what the downloads post to each other
};

// Shows a download's texts. On a terminal one line is rewritten in place and
// ended when something else must be printed (the downloads running at once
// share it: it shows the one that changed last); otherwise every status change is
// a line of its own, except the "." that each header line of an answer adds
// to "Initiating download...". Why a source was left for a mirror is a line
// of its own in both. The outcome is one line, naming the file's path when
// the download completed. A progress line ends with the limit in force and
// the downloads still waiting ("..., limited to 2.0MB/sec., 3 queued").
// Every line begins with `prefix` (the file's name while several run at
// once). Quiet: nothing.
class TStatusPrinter {
 public:
  enum Mode { kTerminal, kLines, kQuiet };
  // `out`: standard output, or standard error while the body goes to
  // standard output.
  TStatusPrinter(Mode mode, FILE* out, const TRunState& run, std::string prefix = "")
      : mode_(mode), out_(out), run_(run), prefix_(std::move(prefix)) {}

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
    const std::string tail = job.ShowsProgress() ? RunText() : "";
    std::string text(TrimRightWS(shown_));
    if (!tail.empty()) text += ", " + tail;
    if (mode_ == kLines && new_status && !more_dots) Line(tail.empty() ? shown_ : text);
    if (mode_ != kTerminal) return;
    if (job.ShowsAbandonedSource()) return Line(shown_);
    if (percent >= 0) text = Format("%3d%% ", percent) + text;
    Rewrite(prefix_ + text);
  }

  // The limit in force and the downloads waiting, "" when neither.
  std::string RunText() const {
    std::string text = RateLimitText(run_.limiter.Rate());
    if (run_.queued > 0) text += (text.empty() ? "" : ", ") + std::to_string(run_.queued) + " queued";
    return text;
  }

  // A line of its own, between the status lines.
  void Line(const std::string& text) {
    if (mode_ == kQuiet) return;
    EndLine();
    std::fprintf(out_, "%s\n", PrintableText(prefix_ + text).c_str());
    std::fflush(out_);
  }

  // The outcome: the last status on its own line, and where a complete
  // file went: on a terminal "Download Complete. Saved to <path>", else a
  // line of its own for a script to read, "Saved <path> (<N> bytes)".
  // `saved`: false when the body went to standard output.
  void Finish(const TDownloadJob& job, bool saved) {
    std::string text = job.Status();
    const bool complete = job.ActionMode() == amOpen && saved;
    if (mode_ == kTerminal) {
      if (complete) text += " Saved to " + job.LocalFilename();
      Rewrite(prefix_ + text, false);
      EndLine();
    } else if (mode_ == kLines) {
      if (text != shown_) Line(text);
      struct stat st {};
      if (complete && ::stat(job.LocalFilename().c_str(), &st) == 0)
        Line("Saved " + job.LocalFilename() + " (" + std::to_string(st.st_size) + " bytes)");
    }
  }

 private:
  // `fit`: cut to the terminal's width, for a line that is rewritten later.
  void Rewrite(std::string text, bool fit = true) {
    // A line wider than the terminal would wrap, and "\r" would then go back
    // to its last row only.
    winsize size {};
    if (fit && ::ioctl(::fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && text.size() >= size.ws_col)
      text.resize(size.ws_col - 1);
    if (line_open_ && text == open_text_) return;
    // Spaces wipe the rest of a longer line; the cursor goes back to the end
    // of the text.
    const std::string shown = PrintableText(text);
    if (text.size() < open_text_.size())
      std::fprintf(out_, "\r%s%s\r%s", shown.c_str(), std::string(open_text_.size() - text.size(), ' ').c_str(),
                   shown.c_str());
    else
      std::fprintf(out_, "\r%s", shown.c_str());
    std::fflush(out_);
    open_text_ = text;
    line_open_ = true;
  }
  void EndLine() {
    if (!line_open_) return;
    std::fprintf(out_, "\n");
    std::fflush(out_);
    line_open_ = false;
    open_text_.clear();
  }

  Mode mode_;
  FILE* out_;
  const TRunState& run_;
  const std::string prefix_;
  std::string shown_;
  int shown_percent_ = -1;
  // The one line rewritten in place, whichever download wrote it.
  static inline bool line_open_ = false;
  static inline std::string open_text_;  // the text of the open line, before conversion
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

// ---- The body on standard output ---------------------------------------------

// A download to standard output runs as any other, into a private temporary
// folder ($TMPDIR, else /tmp) whose entries are removed at its end, and by
// Ctrl+C (SIGINT), SIGTERM and SIGHUP too: NAME, NAME.part, NAME.part.info
// and the folder, kept here as the signal handler can use them.
char g_temp_paths[4][PATH_MAX];

void RemoveTempPaths() {
  for (int i = 0; i < 3; ++i)
    if (g_temp_paths[i][0]) ::unlink(g_temp_paths[i]);
  if (g_temp_paths[3][0]) ::rmdir(g_temp_paths[3]);
}

extern "C" void RemoveTempPathsAndEnd(int signal) {
  RemoveTempPaths();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

class TTempDownload {
 public:
  // Makes the folder for a file named `name`; false with errno set.
  bool Make(const std::string& name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/quillon-get.XXXXXX";
    if (!::mkdtemp(folder.data())) return false;
    file_ = folder + "/" + name;
    const std::string paths[4] = {PartialFileName(file_), PartialFileName(file_) + ".info", file_, folder};
    for (int i = 0; i < 4; ++i) std::snprintf(g_temp_paths[i], PATH_MAX, "%s", paths[i].c_str());
    // A signal the process ignores (SIGINT in a shell's background job)
    // stays ignored.
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
      if (std::signal(signal, RemoveTempPathsAndEnd) == SIG_IGN) std::signal(signal, SIG_IGN);
    return true;
  }
  ~TTempDownload() {
    if (file_.empty()) return;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
      if (std::signal(signal, SIG_DFL) == SIG_IGN) std::signal(signal, SIG_IGN);
    RemoveTempPaths();
    for (auto& path : g_temp_paths) path[0] = 0;
  }
  const std::string& File() const { return file_; }

 private:
  std::string file_;
};

// Copies the bytes of a download to standard output while they reach its
// part, and the rest from the file once it is complete; the disk blocks of
// bytes copied are given back (a hole punched, where the file system can).
// A download that starts its part again (a server that does not continue
// it, another version of the file, a new part after a failure) cannot take
// back the bytes already out: its new bytes are copied only past them, and
// only when the ones before are the same (SHA-256 of both).
class TBodyCopier {
 public:
  TBodyCopier(std::string part, std::string file) : part_(std::move(part)), file_(std::move(file)) {}
  ~TBodyCopier() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Copies what is new; false, with Failure() and Kind() set, when standard
  // output cannot be written or a new start brought other bytes.
  bool Pump() {
    if (!failure_.empty()) return false;
    struct stat st {};
    std::string path = part_;
    if (::stat(path.c_str(), &st) != 0 && ::stat((path = file_).c_str(), &st) != 0) return true;  // none yet
    if (fd_ < 0 || st.st_dev != dev_ || st.st_ino != ino_) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd_ < 0) return true;
      dev_ = st.st_dev;
      ino_ = st.st_ino;
      StartedAgain();
    }
    if (::fstat(fd_, &st) != 0) return true;
    if (st.st_size < read_) StartedAgain();
    char buffer[65536];
    while (read_ < st.st_size) {
      size_t want = static_cast<size_t>(std::min<int64_t>(sizeof buffer, st.st_size - read_));
      if (checking_) want = static_cast<size_t>(std::min<int64_t>(want, sent_ - read_));
      const ssize_t n = ::pread(fd_, buffer, want, read_);
      if (n <= 0) break;
      sent_hash_.Update(buffer, static_cast<size_t>(n));
      read_ += n;
      if (checking_) {
        check_hash_.Update(buffer, static_cast<size_t>(n));
        if (read_ < sent_) continue;
        checking_ = false;
        if (check_hash_.Digest() != sent_digest_)
          return Fail("Download failed: the server sent the file again with other bytes; the " +
                          std::to_string(sent_) + " bytes already on standard output are of the earlier one.",
                      TFailureKind::kNotExpected);
        continue;
      }
      for (ssize_t done = 0; done < n;) {
        const ssize_t w = ::write(STDOUT_FILENO, buffer + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return Fail(std::string("Download failed: cannot write to standard output: ") + std::strerror(errno),
                                TFailureKind::kFileIo);
        done += w;
      }
      sent_ += n;
    }
    if (!checking_ && read_ > punched_) {
      ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, punched_, read_ - punched_);
      punched_ = read_;
    }
    return true;
  }
  const std::string& Failure() const { return failure_; }
  TFailureKind Kind() const { return kind_; }

 private:
  void StartedAgain() {
    read_ = punched_ = 0;
    if (sent_ == 0) return;
    if (!checking_) sent_digest_ = sent_hash_.Digest();
    checking_ = true;
    sent_hash_.Reset();
    check_hash_.Reset();
  }
  bool Fail(const std::string& failure, TFailureKind kind) {
    failure_ = failure;
    kind_ = kind;
    return false;
  }

  std::string part_, file_;
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  int64_t sent_ = 0;     // bytes on standard output
  int64_t read_ = 0;     // bytes of the file read
  int64_t punched_ = 0;  // bytes given back to the disk
  bool checking_ = false;  // reading a new start's bytes up to sent_
  std::string sent_digest_;
  TSha256Hasher sent_hash_, check_hash_;
  std::string failure_;
  TFailureKind kind_ = TFailureKind::kNone;
};

// One download of `url` as `options` say (into options.file, a file, a
// folder or "-" for standard output), among the others of its run.
class TFetch {
 public:
  // `ended` is called from the event loop once a download that Start left
  // running has ended (not from inside the job's events).
  TFetch(const std::string& url, const Options& options, const TProxySettings& proxies, TRunState& run,
         std::string prefix, std::function<void()> ended)
      : url_(url),
        options_(options),
        proxies_(proxies),
        run_(run),
        prefix_(std::move(prefix)),
        ended_(std::move(ended)),
        credentials_server_(UrlServer(url)) {}

  // Starts the download; its exit status when it ended at once (refused
  // before fetching, or ended inside the start), nothing while it runs.
  std::optional<int> Start() {
    to_stdout_ = options_.file == "-";
    file_ = options_.file;
    if (!to_stdout_ && IsFolder(file_)) {
      file_ += (file_.ends_with('/') ? "" : "/") + SaveFileNameFromUrl(url_);
    } else if (!to_stdout_ && file_.ends_with('/')) {
      // Found out before anything is fetched, not at the rename.
      PrintError(file_ + ": no such folder.");
      return kExitExists;
    }
    // Any entry counts, a dangling symbolic link too: the download would replace it.
    struct stat st {};
    if (!to_stdout_ && options_.no_clobber && ::lstat(file_.c_str(), &st) == 0) {
      PrintError(file_ + " already exists; not replaced (--no-clobber).");
      return kExitExists;
    }
    if (const std::string refusal = proxies_.Refusal(url_); !refusal.empty()) {
      PrintError(refusal);
      return kExitUsage;
    }
    FILE* const out = to_stdout_ ? stderr : stdout;
    printer_ = std::make_unique<TStatusPrinter>(options_.quiet                 ? TStatusPrinter::kQuiet
                                                : ::isatty(::fileno(out)) != 0 ? TStatusPrinter::kTerminal
                                                                               : TStatusPrinter::kLines,
                                                out, run_, prefix_);
    // With a SHA-256 nothing goes out before the whole file has matched it.
    hold_ = !options_.expected.sha256.empty();
    if (to_stdout_) {
      if (!temp_.Make(SaveFileNameFromUrl(url_))) {
        PrintError(std::string("Download failed: cannot make a temporary folder: ") + std::strerror(errno));
        return kExitExists;
      }
      file_ = temp_.File();
      copier_ = std::make_unique<TBodyCopier>(PartialFileName(file_), file_);
    }
    answer_ = std::make_unique<CommandLineAnswer>(options_.resume, *printer_);
    job_ = std::make_unique<TDownloadJob>(answer_.get());
    TDownloadJob& job = *job_;
    job.SetURL(url_);
    job.SetLocalFilename(file_);
    job.SetExistingFile(options_.no_clobber && !to_stdout_ ? TExistingFile::kKeep
                        : options_.named                   ? TExistingFile::kReplace
                                                           : TExistingFile::kKeepBoth);
    job.SetCancelCaption("Cancel");
    job.SetIdleTimeout(options_.timeout);
    job.SetExpectedFile(options_.expected);
    job.SetRetries(options_.retries);
    job.SetRetryWait(options_.retry_wait);
    job.SetMirrors(options_.mirrors);
    // Standard output takes the bytes in order as they come: pieces from
    // several connections are written out of order, so only a download held
    // for its SHA-256 (written out whole) uses more than one.
    job.SetConnectionsPerHost(to_stdout_ && !hold_ ? 1 : options_.connections);
    job.SetFtpDataMode(options_.ftp_data_mode);
    job.SetRateLimiter(&run_.limiter);
    // Standard output that cannot take the bytes ends the download (later,
    // not inside the job's own event; the timer's end drops a cancel still
    // pending, as the job is gone then).
    QObject::connect(&pump_timer_, &QTimer::timeout, [this] { Pump(); });
    if (copier_ && !hold_) pump_timer_.start(50);
    job.OnChange = [this](TDownloadJob* sender) {
      printer_->Show(*sender);
      Pump();
      if (!sender->DownloadInProgress() && !sender->HttpClient() && !sender->FtpClient() && !end_posted_) {
        end_posted_ = true;
        // From the run's object, not this download's: ended_ destroys it.
        QTimer::singleShot(0, &run_.events, [this, alive = std::weak_ptr<int>(alive_)] {
          if (!alive.lock() || !started_) return;
          const std::function<void()> ended = ended_;  // a copy outlives this download
          ended();
        });
      }
    };
    // The credentials go to the URL's own server only, never to a mirror's
    // (and the HTTP client keeps them from a redirection's).
    job.OnHttpClientCreated = [this](TDownloadJob*, THttpCli* http) {
      proxies_.ApplyTo(*http);
      if (!options_.ca_file.empty()) http->SetSslCAFile(options_.ca_file);
      // The client's own URL: in a download fed by several sources at once,
      // the job's URL is not the server of every client.
      const bool own_server = UrlServer(http->URL()) == credentials_server_;
      if (own_server && !options_.user.empty()) http->SetUsername(options_.user);
      if (own_server && !options_.password.empty()) http->SetPassword(options_.password);
    };
    job.OnFtpClientCreated = [this](TDownloadJob*, TFtpClient* ftp) {
      proxies_.ApplyTo(*ftp);  // a SOCKS proxy makes the data connections passive
      const std::string port = ftp->Port() == "ftp" ? "21" : ftp->Port();
      if (!options_.user.empty() && LowerCase(ftp->HostName()) + ":" + port == credentials_server_) {
        ftp->SetUserName(options_.user);
        ftp->SetPassWord(options_.password);
      }
    };
    try {
      job.StartDownload();
    } catch (const Exception& e) {
      PrintError(e.what());
      return kExitFailed;
    }
    if (!job.DownloadInProgress()) return Finish();
    started_ = true;
    return std::nullopt;
  }

  // Once the download has ended: its outcome printed, its exit status.
  int Finish() {
    TDownloadJob& job = *job_;
    pump_timer_.stop();
    const bool complete = job.ActionMode() == amOpen;
    if (copier_ && complete && !copier_->Pump()) {
      printer_->Finish(job, false);
      PrintError(copier_->Failure());
      return ExitStatus(copier_->Kind());
    }
    // "Keep both" found the name taken, at the start or at the end.
    if (complete && job.LocalFilename() != file_)
      printer_->Line(FileNameOf(file_) + " exists; saved as " + FileNameOf(job.LocalFilename()) + ".");
    printer_->Finish(job, !to_stdout_);
    if (complete) return 0;
    if (copier_ && !copier_->Failure().empty()) {
      PrintError(prefix_ + copier_->Failure());
      return ExitStatus(copier_->Kind());
    }
    PrintError(prefix_ + job.Status());
    return ExitStatus(job.FailureKind());
  }

 private:
  void Pump() {
    if (!copier_ || hold_ || copier_->Pump()) return;
    QTimer::singleShot(0, &pump_timer_, [this] {
      if (job_->DownloadInProgress() && job_->ActionMode() == amCancel) job_->Cancel();
    });
  }

  const std::string url_;
  const Options& options_;
  const TProxySettings& proxies_;
  TRunState& run_;
  const std::string prefix_;
  const std::function<void()> ended_;
  const std::string credentials_server_;
  bool to_stdout_ = false;
  bool hold_ = false;
  bool started_ = false;     // Start left the download running
  bool end_posted_ = false;  // its end is on its way to ended_
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // expires with this download
  std::string file_;
  std::unique_ptr<TStatusPrinter> printer_;
  TTempDownload temp_;
  std::unique_ptr<TBodyCopier> copier_;
  std::unique_ptr<CommandLineAnswer> answer_;
  QTimer pump_timer_;
  // Before the job: its events may still reach the timer's handlers.
  std::unique_ptr<TDownloadJob> job_;
};

// With several URLs the exit status is that of the gravest failure: any
// failure outweighs success, and among 2 to 9 the lower status the higher.
int Graver(int a, int b) {
  auto weight = [](int status) { return status <= 1 ? status : 20 - status; };
  return weight(a) >= weight(b) ? a : b;
}

// Fetches every URL, options.jobs at once, the others waiting in their
// order; all share the one rate limit. Returns the gravest exit status.
int FetchAll(const Options& options, const TProxySettings& proxies) {
  TRunState run(options.limit_rate);
  const std::vector<std::string>& urls = options.urls;
  // While several run at once each line says which file it is about.
  const bool named_lines = options.jobs > 1 && urls.size() > 1;
  std::vector<std::unique_ptr<TFetch>> fetches(urls.size());
  size_t next = 0;
  int running = 0, status = 0;
  std::function<void()> fill = [&] {
    while (running < options.jobs && next < urls.size()) {
      const size_t k = next++;
      run.queued = urls.size() - next;
      fetches[k] = std::make_unique<TFetch>(urls[k], options, proxies, run,
                                            named_lines ? SaveFileNameFromUrl(urls[k]) + ": " : "", [&, k] {
                                              status = Graver(status, fetches[k]->Finish());
                                              fetches[k].reset();
                                              --running;
                                              fill();
                                            });
      if (const std::optional<int> done = fetches[k]->Start()) {
        status = Graver(status, *done);
        fetches[k].reset();
      } else {
        ++running;
      }
    }
    if (running == 0) QCoreApplication::quit();
  };
  fill();
  if (running > 0) QCoreApplication::exec();
  return status;
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
    case CommandLine::kHelp:
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    case CommandLine::kVersion: std::printf("quillon-get %s\n", kQuillonVersion); return 0;
    case CommandLine::kUsageError: return UsageError(line.error);
    case CommandLine::kFetch: break;
  }
  Options& options = line.options;
  // A file-size limit makes writing fail with a reason instead of ending the
  // process.
  std::signal(SIGXFSZ, SIG_IGN);
  // Standard output closed by its reader (quillon-get URL - | head) is a
  // write failure with its reason, and the temporary folder is removed.
  std::signal(SIGPIPE, SIG_IGN);

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
  return FetchAll(options, proxies);
}
