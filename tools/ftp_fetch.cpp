#include "tools/ftp_fetch.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <cstdio>

#include "base/strings.h"
#include "net/ftp/ftp_client.h"
#include "platform/event_loop.h"

namespace quillon {

namespace {

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    auto hex = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

int64_t LocalSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
}

std::string Rate(int64_t bytes, uint32_t ms) {
  double kib = static_cast<double>(bytes) / 1024.0;
  return Format("%.0f KiB/s", ms > 0 ? kib / (ms / 1000.0) : kib);
}

}  // namespace

bool ParseFtpUrl(const std::string& url, FtpUrl& parts) {
  if (!StartsText("ftp://", url)) return false;
  std::string rest = url.substr(6);
  size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string credentials = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = credentials.find(':');
    parts.user = PercentDecode(credentials.substr(0, colon));
    if (colon != std::string::npos) parts.password = PercentDecode(credentials.substr(colon + 1));
  }
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos) {
    parts.port = authority.substr(colon + 1);
    authority.resize(colon);
    if (parts.port.empty() || parts.port.find_first_not_of("0123456789") != std::string::npos) return false;
  }
  parts.host = authority;
  size_t last = path.rfind('/');
  parts.directory = last == std::string::npos ? "" : PercentDecode(path.substr(0, last));
  parts.file_name = PercentDecode(last == std::string::npos ? path : path.substr(last + 1));
  return !parts.host.empty() && !parts.file_name.empty();
}

int FtpFetch(const std::string& url, const std::string& file_name, const FtpFetchOptions& options) {
  FtpUrl parts;
  if (!ParseFtpUrl(url, parts)) {
    std::fprintf(stderr, "quillon-get: not an FTP URL with a file name: %s\n", url.c_str());
    return 1;
  }
  TFtpClient ftp;
  ftp.SetHostName(parts.host);
  ftp.SetPort(parts.port);
  std::string user = !options.user.empty() ? options.user : !parts.user.empty() ? parts.user : "anonymous";
  std::string password = !options.password.empty() ? options.password
                         : !parts.password.empty() ? parts.password
                                                   : "quillon@localhost";
  ftp.SetUserName(user);
  ftp.SetPassWord(password);
  ftp.SetHostDirName(parts.directory);
  ftp.SetHostFileName(parts.file_name);
  ftp.SetLocalFileName(file_name);
  ftp.SetPassive(options.passive);
  ftp.SetBinary(true);

  const uint32_t start = platform::GetTickCount();
  uint32_t last_report = start;
  int64_t remote_size = -1;
  int status = 1;
  bool finished = false;
  std::string failure;

  auto finish = [&](int exit_status) {
    status = exit_status;
    finished = true;
    QCoreApplication::quit();
  };
  auto fail = [&](TCustomFtpCli* sender, const std::string& what) {
    failure = what + ": " + (sender->ErrorMessage().empty() ? sender->LastResponse() : sender->ErrorMessage());
    sender->Abort();
    finish(1);
  };

  ftp.OnError = [&](TCustomFtpCli* sender, std::string& msg) {
    failure = msg;
    sender->Abort();
    finish(1);
  };
  ftp.OnProgress = [&](TCustomFtpCli*, int64_t count, bool&) {
    uint32_t now = platform::GetTickCount();
    if (now - last_report < 1000) return;
    last_report = now;
    if (remote_size >= 0)
      std::printf("%lld of %lld bytes, %s\n", static_cast<long long>(count), static_cast<long long>(remote_size),
                  Rate(count, now - start).c_str());
    else
      std::printf("%lld bytes, %s\n", static_cast<long long>(count), Rate(count, now - start).c_str());
    std::fflush(stdout);
  };
  ftp.OnRequestDone = [&](TCustomFtpCli* sender, TFtpRequest rq, Word error) {
    if (finished) return;
    switch (rq) {
      case ftpRqConnect:
        if (error) return fail(sender, "connect");
        return sender->User();
      case ftpRqUser:
        if (error) return fail(sender, "USER");
        if (sender->StatusCode() == 230) return sender->HostDirName().empty() ? sender->TypeSet() : sender->Cwd();
        return sender->Pass();
      case ftpRqPass:
        if (error) return fail(sender, "login");
        return sender->HostDirName().empty() ? sender->TypeSet() : sender->Cwd();
      case ftpRqCwd:
        if (error) return fail(sender, "CWD");
        return sender->TypeSet();
      case ftpRqTypeSet:
        if (error) return fail(sender, "TYPE");
        return sender->Size();
      case ftpRqSize: {
        // A server without SIZE still serves the file, whole.
        remote_size = error ? -1 : sender->SizeResult();
        int64_t local = LocalSize(file_name);
        if (options.resume && remote_size >= 0 && local == remote_size) {
          std::printf("%s is complete already\n", file_name.c_str());
          return sender->Quit();
        }
        if (options.resume && local > 0 && (remote_size < 0 || local < remote_size)) return sender->RestartGet();
        return sender->Get();
      }
      case ftpRqGet:
      case ftpRqRestartGet: {
        if (error) return fail(sender, rq == ftpRqGet ? "RETR" : "REST/RETR");
        int64_t local = LocalSize(file_name);
        uint32_t elapsed = platform::GetTickCount() - start;
        std::printf("%s: %lld bytes in %.1f s, %s\n", sender->LastResponse().c_str(),
                    static_cast<long long>(sender->ByteCount()), elapsed / 1000.0,
                    Rate(sender->ByteCount(), elapsed).c_str());
        std::fflush(stdout);
        if (remote_size >= 0 && local != remote_size) {
          failure = Format("incomplete: %lld of %lld bytes", static_cast<long long>(local),
                           static_cast<long long>(remote_size));
          sender->Abort();
          return finish(1);
        }
        status = 0;
        return sender->Quit();
      }
      case ftpRqQuit:
        // The file is on disk: a refused QUIT changes nothing.
        return finish(remote_size >= 0 && LocalSize(file_name) == remote_size ? 0 : status);
      default: return fail(sender, "unexpected request");
    }
  };
  try {
    ftp.Connect();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillon-get: %s\n", e.what());
    return 1;
  }
  if (!finished) QCoreApplication::exec();
  if (!failure.empty()) std::fprintf(stderr, "quillon-get: %s\n", failure.c_str());
  return status;
}

}  // namespace quillon
