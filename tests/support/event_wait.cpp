#include "tests/support/event_wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace quillon::testing {

bool RunUntil(const std::function<bool()>& done, int timeout_ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeout_ms) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!done()) QThread::usleep(200);
  }
  return true;
}

void RunFor(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::usleep(500);
  }
}

}  // namespace quillon::testing
