// A gate between a test and the thread of a scripted peer: the peer waits at
// the gate until the test opens it, so that what the test checks in between
// cannot race the peer's next step. Every wait is bounded.
//
//   testing::Gate go;
//   ScriptedServer server([&](ScriptedConnection& c) {
//     c.Send("first part");
//     go.Wait();                  // until the test has seen the first part
//     c.Send("second part");
//   });
//   ...
//   go.Open();
#pragma once

#include <condition_variable>
#include <mutex>

namespace quillon::testing {

class Gate {
 public:
  // Lets every waiter through, now and later.
  void Open();
  // Waits until the gate is open or timeout_ms passed. Returns whether it is open.
  bool Wait(int timeout_ms = 10000);

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

}  // namespace quillon::testing
