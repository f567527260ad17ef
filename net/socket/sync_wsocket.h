// TCustomSyncWSocket: waiting for a flag that an event handler sets, with
// the event loop running meanwhile. TWSocket is the socket that the protocol
// clients create: the whole chain, nothing added.
#pragma once

#include <functional>

#include "net/socket/line_wsocket.h"

namespace quillon {

// WaitUntilReady's result when it stopped waiting before the flag was set.
inline constexpr int kWaitAbandoned = 12001;

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  // Milliseconds WaitUntilReady waits at most; 0 or less: no limit.
  int WaitTimeout() const { return wait_timeout_; }
  void SetWaitTimeout(int Value) { wait_timeout_ = Value; }

  // Clears DoneFlag, runs Proc (when given) and returns WaitUntilReady.
  virtual int Synchronize(const std::function<void()>& Proc, bool& DoneFlag);
  // Runs the event loop until DoneFlag is true (0), or until WaitTimeout
  // passed, the application is shutting down or a handler destroyed the
  // socket (kWaitAbandoned).
  virtual int WaitUntilReady(bool& DoneFlag);

 private:
  int wait_timeout_ = 0;
};

class TWSocket : public TCustomSyncWSocket {
 public:
  TWSocket() = default;
};

}  // namespace quillon
