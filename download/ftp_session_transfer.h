// TFtpSessionTransfer: one try of a download over FTP, as TDownloadJob's header
// describes it: one session of a TFtpClient of its own through its steps
// (User, Pass, Cwd, TypeSet, Size, Mdtm, the resume decision, Get or
// RestartGet, Quit). The outcome is shown when the file's transfer ends;
// the session's goodbye (Quit) follows, and its end ends the try.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download/transfer.h"
#include "net/ftp/ftp_client.h"

namespace quillon {

class TDownloadJob;
struct TFtpUrlParts;

// An FTP session's login for a URL's parts: its user and password, else
// anonymous with an e-mail-like password.
void SetFtpLogin(TFtpClient& ftp, const TFtpUrlParts& parts);
// After OnFtpClientCreated had its say: false when the login cannot be sent
// (a user name without a password other than anonymous/ftp, a line break or
// NUL in either); an anonymous login left without a password gets one.
bool CompleteFtpLogin(TFtpClient& ftp);
// An FTP reply for a status line: its lines joined by spaces.
std::string FtpOneLine(std::string text);
// The SOCKS proxy an FTP client goes through; "" when none.
std::string FtpSocksServer(const TFtpClient& ftp);

class TFtpSessionTransfer final : public TTransfer {
 public:
  // `active`: this try's second session, in active mode after passive
  // found no data connection.
  TFtpSessionTransfer(TDownloadJob& job, TTryMode mode, bool active) : job_(job), mode_(mode), active_(active) {}
  ~TFtpSessionTransfer() override;

  void Start() override;
  void Abort() override;
  bool Active() const override { return ftp_ != nullptr; }
  void Hold(bool wait) override;
  bool PartContinuable() const override;
  TFtpClient* FtpClient() const override { return ftp_.get(); }

 private:
  // Where the session is: its steps, or the goodbye after the outcome was
  // shown.
  enum class TStage { kSession, kGoodbye };

  void SessionConnected();
  void Progress(int64_t Count);
  void LoggedIn();
  void RequestDone(TFtpRequest RqType, Word Error);
  void SizeDone();
  void MdtmDone();
  void TransferDone();
  void Committed(std::string failure);
  void Failed(TFtpRequest RqType, Word Error);
  // After a transfer that found no passive data connection: schedules the
  // same try in active mode and returns true, when the mode allows it and
  // this session was the try's passive one.
  bool TryActive();
  // The outcome is shown; the session says goodbye (its end ends the try).
  void SayGoodbye();

  TDownloadJob& job_;
  const TTryMode mode_;
  const bool active_;
  std::unique_ptr<TFtpClient> ftp_;
  int64_t size_ = -1;  // the SIZE answer; -1: refused or not a number
  int64_t counted_ = 0;  // the file's bytes reported to the rate limiter
  TStage stage_ = TStage::kSession;
};

}  // namespace quillon
