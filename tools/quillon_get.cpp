// quillon-get [OPTIONS] URL [FILE]: fetches an http://, https:// or ftp:// URL
// into FILE with the same download job that a row of the program's download
// list runs.
//
//   -o FILE                  the file to write, instead of the FILE argument;
//                            a FILE that is a folder receives the file under
//                            the name the window proposes for the URL (the
//                            last segment of its path, percent-decoded, see
//                            download/file_name_rule.h); an existing FILE is
//                            replaced once the download is complete
//   --no-clobber             refuse, before fetching, when FILE exists
//   -q, --quiet              print nothing but errors
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
//   -h, --help               print this usage to standard output
//   --version                print "quillon-get VERSION"
//
// Output: on a terminal one line rewritten in place with the row's status
// texts, its progress as "NN% received of total (rate) remaining" (the
// percentage when the total is known), and the last status on its own line.
// Not on a terminal: one line per status change, progress at most once a
// second. Numbers take the separators of the user's locale (LC_NUMERIC);
// the texts stay as the download row writes them.
//
// The download goes into FILE.part and becomes FILE only when complete.
// Exit status: 0 when the download completed (for HTTP: no error, a status
// from 200 to 299 and every byte of a known length; for FTP: as many bytes as
// the SIZE answer); 1 when it failed, with the last status text on standard
// error; 2 for a command line that cannot be used, with the reason and the
// usage on standard error; 3 when --no-clobber found FILE existing.
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

#include "base/code_page.h"
#include "base/exceptions.h"
#include "base/sha256_hasher.h"
#include "base/strings.h"
#include "base/version.h"
#include "download/download_job.h"
#include "download/file_name_rule.h"

namespace {

using namespace quillon;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitExists = 3;

struct Options {
  std::string url, file;
  bool quiet = false;
  std::string proxy;
  std::string ca_file;
  std::string socks_host, socks_port, socks_level;
  std::string user, password;
  bool passive = false;
  bool resume = false;
  bool no_clobber = false;
  int timeout = kDefaultIdleTimeout;
  TExpectedFile expected;
};

constexpr const char* kUsage =
    "usage: quillon-get [-q] [--proxy HOST[:PORT]] [--cacert FILE] [--socks HOST:PORT] [--socks-level 4|4A|5]\n"
    "                   [--user NAME --password WORD] [--passive] [--resume|--no-resume]\n"
    "                   [--timeout SECONDS] [--sha256 HEX] [--size N] [--no-clobber] URL FILE|FOLDER\n"
    "       quillon-get [OPTIONS] -o FILE|FOLDER URL\n"
    "       quillon-get --help | --version\n"
    "exit status: 0 downloaded, 1 download failed, 2 unusable command line, 3 FILE exists (--no-clobber)\n";

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
    } else if (arg == "--no-clobber") {
      options.no_clobber = true;
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
  if (options.url.empty() || options.file.empty() || (!options.user.empty() && options.password.empty()))
    line.action = CommandLine::kUsageError;
  return line;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A text of the program (windows-1252, with bytes a server sent) as the
// terminal's character set shows it: converted to UTF-8 when the locale's
// character set is UTF-8, and with control characters as "?" so that a
// server's text cannot move the cursor or send the terminal commands.
std::string PrintableText(const std::string& text) {
  static const bool utf8 = std::string(nl_langinfo(CODESET)) == "UTF-8";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const char16_t code_point = Cp1252ToUnicode(static_cast<uint8_t>(c));
    if (code_point < 0x20 || (code_point >= 0x7F && code_point < 0xA0))
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
// a line of its own. Quiet: nothing.
class TStatusPrinter {
 public:
  enum Mode { kTerminal, kLines, kQuiet };
  explicit TStatusPrinter(Mode mode) : mode_(mode) {}

  // After every change of the job.
  void Show(const TDownloadJob& job) {
    const int percent = job.ShowsProgress() ? job.Progress().position : -1;
    if (job.Status() == shown_ && percent == shown_percent_) return;
    const bool new_status = job.Status() != shown_;
    shown_ = job.Status();
    shown_percent_ = percent;
    if (mode_ == kLines && new_status) Line(shown_);
    if (mode_ != kTerminal) return;
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

  // The outcome: the last status on its own line.
  void Finish(const TDownloadJob& job) {
    if (mode_ == kTerminal) {
      Rewrite(job.Status());
      EndLine();
    } else if (mode_ == kLines && job.Status() != shown_) {
      Line(job.Status());
    }
  }

 private:
  void Rewrite(std::string text) {
    // A line wider than the terminal would wrap, and "\r" would then go back
    // to its last row only.
    winsize size {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && text.size() >= size.ws_col)
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

int Fetch(const Options& options) {
  TStatusPrinter printer(options.quiet                ? TStatusPrinter::kQuiet
                         : ::isatty(STDOUT_FILENO) != 0 ? TStatusPrinter::kTerminal
                                                        : TStatusPrinter::kLines);
  CommandLineAnswer answer(options.resume, printer);
  TDownloadJob job(&answer);
  job.SetURL(options.url);
  job.SetLocalFilename(options.file);
  job.SetCancelCaption("Cancel");
  job.SetIdleTimeout(options.timeout);
  job.SetExpectedFile(options.expected);
  job.OnChange = [&](TDownloadJob* sender) {
    printer.Show(*sender);
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
    PrintError(e.what());
    return kExitFailed;
  }
  if (job.DownloadInProgress()) QCoreApplication::exec();
  printer.Finish(job);
  if (job.ActionMode() == amOpen) return 0;
  PrintError(job.Status());
  return kExitFailed;
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
  if (IsFolder(options.file))
    options.file += (options.file.ends_with('/') ? "" : "/") + SaveFileNameFromUrl(options.url);
  // Any entry counts, a dangling symbolic link too: the download would replace it.
  struct stat st {};
  if (options.no_clobber && ::lstat(options.file.c_str(), &st) == 0) {
    PrintError(options.file + " already exists; not replaced (--no-clobber).");
    return kExitExists;
  }
  // A file-size limit makes writing fail with a reason instead of ending the
  // process.
  std::signal(SIGXFSZ, SIG_IGN);

  return Fetch(options);
}
