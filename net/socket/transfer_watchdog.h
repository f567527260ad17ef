// TTransferWatchdog: the two time limits of a network request, shared by the
// HTTP and FTP clients (and whatever else talks to a server):
//   connect timeout  from StartConnect (name lookup and connect) until
//                    StartIdle: no connection within ConnectTimeout seconds
//   idle timeout     from StartIdle on: no byte sent or received (Activity)
//                    for IdleTimeout seconds, in any phase of the request
// When a limit passes, OnTimeout fires once (from the event loop) with the
// kind, and the watchdog stops; the owner ends its request with the error
// number and reason text below. A limit of 0 or less is no limit. Suspend
// stops measuring (a transfer paused on purpose); Resume measures again from
// that moment. Activity only notes the time, so it may be called for every
// block of a transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/timer.h"
#include "platform/winsock_errors.h"

namespace quillon {

enum class TTimeoutKind { None, Connect, Idle };

// Error numbers of requests ended by a timeout: the system's "connection
// timed out", and a number of our own for silence on a live connection.
inline constexpr uint16_t kConnectTimeoutError = platform::WSAETIMEDOUT;
inline constexpr uint16_t kIdleTimeoutError = 11060;

inline constexpr int kDefaultConnectTimeout = 30;
inline constexpr int kDefaultIdleTimeout = 60;

class TTransferWatchdog {
 public:
  TTransferWatchdog();
  TTransferWatchdog(const TTransferWatchdog&) = delete;
  TTransferWatchdog& operator=(const TTransferWatchdog&) = delete;

  int ConnectTimeout() const { return connect_timeout_; }
  void SetConnectTimeout(int Seconds) { connect_timeout_ = Seconds; }
  int IdleTimeout() const { return idle_timeout_; }
  void SetIdleTimeout(int Seconds) { idle_timeout_ = Seconds; }

  void StartConnect();
  void StartIdle();
  void Activity() { last_activity_ = Now(); }
  void Suspend();
  void Resume();
  void Stop();
  TTimeoutKind Phase() const { return phase_; }

  // "connection timed out." / "no data for 60 seconds."
  static std::string ReasonText(TTimeoutKind Kind, int IdleSeconds);
  std::string ReasonText(TTimeoutKind Kind) const { return ReasonText(Kind, idle_timeout_); }
  static uint16_t ErrorNumber(TTimeoutKind Kind) {
    return Kind == TTimeoutKind::Connect ? kConnectTimeoutError : kIdleTimeoutError;
  }

  std::function<void(TTimeoutKind Kind)> OnTimeout;

 private:
  static uint32_t Now();
  void Arm(uint32_t ms);
  void Fired();

  int connect_timeout_ = kDefaultConnectTimeout;
  int idle_timeout_ = kDefaultIdleTimeout;
  TTimeoutKind phase_ = TTimeoutKind::None;
  bool suspended_ = false;
  uint32_t last_activity_ = 0;
  platform::OneShotTimer timer_;
};

}  // namespace quillon
