#include "net/socket/sync_wsocket.h"

#include "platform/event_loop.h"

namespace quillon {

int TCustomSyncWSocket::Synchronize(const std::function<void()>& Proc, bool& DoneFlag) {
  DoneFlag = false;
  if (Proc) Proc();
  return WaitUntilReady(DoneFlag);
}

int TCustomSyncWSocket::WaitUntilReady(bool& DoneFlag) {
  // Elapsed time is measured as a difference of tick counts, which stays
  // right when the count wraps during the wait.
  const uint32_t start = platform::GetTickCount();
  auto alive = Lifetime().Token();
  while (!DoneFlag) {
    const bool timed_out =
        wait_timeout_ > 0 && platform::GetTickCount() - start >= static_cast<uint32_t>(wait_timeout_);
    if (timed_out || Terminated() || platform::ApplicationTerminating()) return kWaitAbandoned;
    PumpMessages();
    if (!alive) return kWaitAbandoned;  // destroyed by a handler
    platform::Sleep(0);
  }
  return 0;
}

}  // namespace quillon
