#include "tests/support/gate.h"

#include <chrono>

namespace quillon::testing {

void Gate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

bool Gate::Wait(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return opened_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return open_; });
}

}  // namespace quillon::testing
