// Waiting in tests that run the event loop: every wait is bounded, and a test
// that times out fails instead of hanging.
#pragma once

#include <functional>

namespace quillon::testing {

// Runs the calling thread's event loop until done() is true or timeout_ms
// passed. Returns done().
bool RunUntil(const std::function<bool()>& done, int timeout_ms = 10000);

// Runs the event loop for about ms milliseconds, to show that nothing happens
// meanwhile. Never a wait for something that should happen: wait for it with
// RunUntil (or for a peer thread with a Gate, tests/support/gate.h).
void RunFor(int ms);

}  // namespace quillon::testing
