// The parts of an FTP URL, and the percent decoding of URL texts.
#pragma once

#include <string>

namespace quillon {

// The parts of an "ftp://[user[:password]@]host[:port]/dir/.../file" URL.
// Without a port the port is "ftp" (21); without a user name the login is
// anonymous (user and password empty here). The file name is the text after
// the path's last "/", "\" or ":"; the directory is the path up to and
// including that separator (backslashes turned into "/"), so it ends with "/"
// or ":", or is empty. User name, password, directory and file name are
// percent-decoded ("%40" is "@", "%20" a space), the path after it was
// split. Nothing here refuses control bytes: a URL that UrlRefusal
// (net/http/url.h) refuses must not reach this. A host name in any script is given in its
// ASCII (IDNA) form, or as written when it has none (see
// net/socket/host_name.h).
struct TFtpUrlParts {
  std::string host;
  std::string port = "ftp";
  std::string user;
  std::string password;
  std::string dir;
  std::string file;
};
TFtpUrlParts SplitFtpUrl(const std::string& url);

// "%41" -> "A"; a "%" without two hexadecimal digits stays as it is.
std::string PercentDecode(const std::string& s);

}  // namespace quillon
