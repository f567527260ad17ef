#include "net/socket/transfer_watchdog.h"

#include "platform/event_loop.h"

namespace quillon {

TTransferWatchdog::TTransferWatchdog() {
  timer_.OnTimer = [this] { Fired(); };
}

uint32_t TTransferWatchdog::Now() { return platform::GetTickCount(); }

void TTransferWatchdog::Arm(uint32_t ms) { timer_.Start(ms); }

void TTransferWatchdog::StartConnect() {
  phase_ = TTimeoutKind::Connect;
  timer_.Stop();
  if (connect_timeout_ > 0) Arm(static_cast<uint32_t>(connect_timeout_) * 1000);
}

void TTransferWatchdog::StartIdle() {
  phase_ = TTimeoutKind::Idle;
  last_activity_ = Now();
  timer_.Stop();
  if (idle_timeout_ > 0 && !suspended_) Arm(static_cast<uint32_t>(idle_timeout_) * 1000);
}

void TTransferWatchdog::Suspend() {
  suspended_ = true;
  if (phase_ == TTimeoutKind::Idle) timer_.Stop();
}

void TTransferWatchdog::Resume() {
  if (!suspended_) return;
  suspended_ = false;
  if (phase_ == TTimeoutKind::Idle) StartIdle();
}

void TTransferWatchdog::Stop() {
  phase_ = TTimeoutKind::None;
  timer_.Stop();
}

// The timer runs to the earliest moment a limit could pass; activity since
// it was armed moves the moment on instead of restarting the timer per block.
void TTransferWatchdog::Fired() {
  TTimeoutKind kind = phase_;
  if (kind == TTimeoutKind::None) return;
  if (kind == TTimeoutKind::Idle) {
    if (suspended_ || idle_timeout_ <= 0) return;
    uint32_t limit = static_cast<uint32_t>(idle_timeout_) * 1000;
    uint32_t quiet = Now() - last_activity_;
    if (quiet < limit) {
      Arm(limit - quiet);
      return;
    }
  }
  Stop();
  if (OnTimeout) {
    auto handler = OnTimeout;
    handler(kind);  // may destroy the watchdog's owner
  }
}

std::string TTransferWatchdog::ReasonText(TTimeoutKind Kind, int IdleSeconds) {
  if (Kind == TTimeoutKind::Connect) return "connection timed out.";
  return "no data for " + std::to_string(IdleSeconds) + (IdleSeconds == 1 ? " second." : " seconds.");
}

}  // namespace quillon
