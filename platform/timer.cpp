#include "platform/timer.h"

#include <QTimer>
#include <algorithm>
#include <cstdint>

namespace quillon::platform {

struct OneShotTimer::Impl {
  QTimer timer;
};

OneShotTimer::OneShotTimer() : impl_(std::make_unique<Impl>()) {
  impl_->timer.setSingleShot(true);
  impl_->timer.setTimerType(Qt::CoarseTimer);
  QObject::connect(&impl_->timer, &QTimer::timeout, [this] {
    // Through a copy: the handler may destroy this timer.
    if (!OnTimer) return;
    std::function<void()> handler = OnTimer;
    handler();
  });
}

OneShotTimer::~OneShotTimer() = default;

void OneShotTimer::Start(uint32_t ms) { impl_->timer.start(static_cast<int>(std::min<uint32_t>(ms, INT32_MAX))); }

void OneShotTimer::Stop() { impl_->timer.stop(); }

bool OneShotTimer::Active() const { return impl_->timer.isActive(); }

}  // namespace quillon::platform
