// A one-shot timer of the event loop, for code that must not include Qt:
// Start(ms) calls OnTimer once, from the event loop of the creating thread,
// ms milliseconds later; starting again replaces the pending call, Stop
// cancels it. OnTimer may destroy the timer (or its owner).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace quillon::platform {

class OneShotTimer {
 public:
  OneShotTimer();
  ~OneShotTimer();
  OneShotTimer(const OneShotTimer&) = delete;
  OneShotTimer& operator=(const OneShotTimer&) = delete;

  void Start(uint32_t ms);
  void Stop();
  bool Active() const;

  std::function<void()> OnTimer;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillon::platform
