// TFtpClient: the FTP client to create. Timeout is 15 seconds, and a caller
// that wants to block can: WaitUntilReady runs the event loop until the
// client is ready again (or Timeout seconds passed without progress, which
// aborts with "426 Timeout"), Synchronize starts an operation and waits for
// it.
#pragma once

#include "net/ftp/ftp_cli.h"

namespace quillon {

class TFtpClient : public TCustomFtpCli {
 public:
  TFtpClient();

  // Runs the event loop until State is ftpReady or ftpBetweenSteps (true
  // when RequestResult is 0). Stops when the application is shutting down
  // or Timeout seconds passed (each progress event of a transfer starts the
  // period again): then aborts, sets ErrorMessage "426 Timeout" and
  // StatusCode 426 and returns false. MultiThreaded pumps the control
  // socket's own loop.
  virtual bool WaitUntilReady();
  // Calls Proc (an operation of the client) and WaitUntilReady; false when
  // the operation raised.
  virtual bool Synchronize(void (TCustomFtpCli::*Proc)());

 protected:
  [[nodiscard]] bool Progress() override;

 private:
  uint32_t deadline_ = 0;
};

}  // namespace quillon
