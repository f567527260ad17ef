// TTransfer: one try of a download from one source. It owns the client of
// its scheme (THttpTransfer: one GET; TFtpSessionTransfer: one FTP
// session), brings
// the file's bytes into the job's part and reports to its TDownloadJob what a
// row shows (texts, bytes and their total), the validator the part is
// recorded with, and, when it ends, a failure kind and whether a later try
// may succeed. The job decides everything past the try (retries, mirrors,
// the commit) and replaces the transfer for the next one. A transfer never
// outlives its job; the job may be destroyed inside any report, which the
// transfer notices and stops at once.
#pragma once

namespace quillon {

class THttpCli;
class TFtpClient;
class TWSocket;
class TTransferWatchdog;

// Stops or resumes reading `socket` for a transfer that waits on purpose (the
// user's pause, a full write queue); its idle limit waits with it, since such
// a transfer is not silent.
void HoldSocket(TWSocket& socket, TTransferWatchdog& watchdog, bool wait);

// How a try takes a part that an earlier start left.
enum class TTryMode {
  kAsk,       // a new start: the user is asked before a part is continued
  kContinue,  // a retry, a mirror or a restored row's Resume: continued unasked when its record allows
  kWhole,     // the whole file, whatever the part holds
};

class TTransfer {
 public:
  virtual ~TTransfer() = default;
  // Creates and wires the client and sends the first request.
  virtual void Start() = 0;
  // Ends the try (the user's cancel, a part that cannot be written): the
  // client reports its end as usual.
  virtual void Abort() = 0;
  // Whether its client still stands (an FTP session says goodbye after the
  // outcome is shown).
  virtual bool Active() const = 0;
  // Stops or resumes reading the file's bytes (the user's pause, a full
  // write queue); a wait on purpose does not count as silence.
  virtual void Hold(bool wait) = 0;
  // Whether the part this try leaves can be continued by a later start.
  virtual bool PartContinuable() const = 0;
  virtual THttpCli* HttpClient() const { return nullptr; }
  virtual TFtpClient* FtpClient() const { return nullptr; }
};

}  // namespace quillon
