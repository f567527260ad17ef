// The FTP side of quillon-get: fetches an ftp:// URL into a file with
// TFtpClient, the way a download row drives it: connect, USER (anonymous
// unless a user is given), PASS, CWD to the URL's directory, TYPE I, SIZE,
// then RETR (REST and RETR to continue a shorter FILE with Resume), then
// QUIT. Progress is printed at most once a second, then a final line.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

struct FtpFetchOptions {
  std::string user, password;  // empty user: anonymous
  bool passive = false;        // PASV instead of PORT
  bool resume = false;         // continue FILE when it is shorter
};

// The parts of ftp://[user[:password]@]host[:port]/path; false when the URL
// is no such URL. The directory and file name are percent-decoded; the
// directory has no leading "/" (it is relative to the login directory).
struct FtpUrl {
  std::string user, password, host, port = "21", directory, file_name;
};
bool ParseFtpUrl(const std::string& url, FtpUrl& parts);

// Runs the transfer on the event loop (a QCoreApplication must exist).
// Returns the exit status: 0 when the file arrived whole, 1 otherwise, with
// the reason on standard error.
int FtpFetch(const std::string& url, const std::string& file_name, const FtpFetchOptions& options);

}  // namespace quillon
