#include "net/ftp/ftp_client.h"

#include "platform/event_loop.h"

namespace quillon {

TFtpClient::TFtpClient() { SetTimeout(15); }

bool TFtpClient::Progress() {
  if (Timeout() > 0) deadline_ = platform::GetTickCount() + static_cast<uint32_t>(Timeout()) * 1000u;
  return TCustomFtpCli::Progress();
}

bool TFtpClient::WaitUntilReady() {
  deadline_ = platform::GetTickCount() + static_cast<uint32_t>(Timeout() > 0 ? Timeout() : 0) * 1000u;
  for (;;) {
    if (State() == ftpReady || State() == ftpBetweenSteps) return RequestResult() == 0;
    if (platform::ApplicationTerminating()) break;
    if (Timeout() > 0 && static_cast<int32_t>(platform::GetTickCount() - deadline_) > 0) break;
    if (MultiThreaded())
      ControlSocket()->PumpMessages();
    else
      platform::ProcessMessages();
    platform::Sleep(0);
  }
  Abort();
  SetErrorMessageText("426 Timeout");
  SetStatusCode(426);
  return false;
}

bool TFtpClient::Synchronize(void (TCustomFtpCli::*Proc)()) {
  try {
    (this->*Proc)();
  } catch (const std::exception&) {
    return false;
  }
  return WaitUntilReady();
}

}  // namespace quillon
