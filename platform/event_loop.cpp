#include "platform/event_loop.h"

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace quillon::platform {

void ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void WaitForMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void Sleep(uint32_t ms) {
  if (ms == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

uint32_t GetTickCount() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

bool ApplicationTerminating() {
  return QCoreApplication::instance() == nullptr || QCoreApplication::closingDown();
}

}  // namespace quillon::platform
