// The one-command operations of the FTP client as data: the request each
// reports, the sequence step it is, its verb, how its argument is built and
// the reply codes that mean success.
#pragma once

#include <cstdint>

#include "net/ftp/ftp_cli.h"

namespace quillon {

struct TFtpCommandRule {
  // How the text after the verb is built.
  enum class TArg : uint8_t {
    None,
    User,      // UserName (required), with "@host[:port]" through a proxy
    Pass,      // PassWord (required)
    HostDir,   // HostDirName (required)
    HostFile,  // HostFileName
    Rename,    // LocalFileName, the new name
    Type,      // I or A from Binary
    Quote,     // no verb: LocalFileName is the whole command
    Caller,    // built by the operation itself (PORT / PASV, REST)
  };

  TFtpRequest request;
  TFtpStep step;
  const char* verb;
  TArg arg;
  int accepted[4];  // 0-ended; none: every code below 500

  constexpr bool Accepts(int Code) const {
    if (accepted[0] == 0) return Code < 500;
    for (int a : accepted)
      if (a == Code) return true;
    return false;
  }
};

namespace ftp_commands {

using A = TFtpCommandRule::TArg;
inline constexpr TFtpCommandRule kUser{ftpRqUser, stUser, "USER", A::User, {331, 230}};
inline constexpr TFtpCommandRule kPass{ftpRqPass, stPass, "PASS", A::Pass, {230}};
inline constexpr TFtpCommandRule kCwd{ftpRqCwd, stCwd, "CWD", A::HostDir, {200, 250, 257}};
inline constexpr TFtpCommandRule kCDup{ftpRqCDup, stCdup, "CDUP", A::None, {250, 257}};
inline constexpr TFtpCommandRule kPwd{ftpRqPwd, stPwd, "PWD", A::None, {250, 257}};
inline constexpr TFtpCommandRule kMkd{ftpRqMkd, stMkd, "MKD", A::HostFile, {250, 257}};
inline constexpr TFtpCommandRule kRmd{ftpRqRmd, stRmd, "RMD", A::HostFile, {250, 257}};
inline constexpr TFtpCommandRule kDele{ftpRqDele, stDele, "DELE", A::HostFile, {250, 257}};
inline constexpr TFtpCommandRule kRenFrom{ftpRqRenFrom, stRnfr, "RNFR", A::HostFile, {350}};
inline constexpr TFtpCommandRule kRenTo{ftpRqRenTo, stRnto, "RNTO", A::Rename, {200, 250, 257}};
inline constexpr TFtpCommandRule kSyst{ftpRqSyst, stSyst, "SYST", A::None, {215}};
inline constexpr TFtpCommandRule kSize{ftpRqSize, stSize, "SIZE", A::HostFile, {213}};
inline constexpr TFtpCommandRule kMdtm{ftpRqMdtm, stMdtm, "MDTM", A::HostFile, {213}};
inline constexpr TFtpCommandRule kTypeSet{ftpRqTypeSet, stType, "TYPE", A::Type, {200}};
inline constexpr TFtpCommandRule kQuote{ftpRqQuote, stQuote, "", A::Quote, {}};
inline constexpr TFtpCommandRule kAbor{ftpRqAbor, stAbor, "ABOR", A::None, {}};
inline constexpr TFtpCommandRule kQuit{ftpRqQuit, stQuit, "QUIT", A::None, {221}};
inline constexpr TFtpCommandRule kPort{ftpRqPort, stPort, "PORT", A::Caller, {200, 227, 229}};
inline constexpr TFtpCommandRule kRest{ftpRqRest, stRest, "REST", A::Caller, {}};

}  // namespace ftp_commands
}  // namespace quillon
