#include "download/transfer.h"

#include "net/socket/transfer_watchdog.h"
#include "net/socket/sync_wsocket.h"

namespace quillon {

void HoldSocket(TWSocket& socket, TTransferWatchdog& watchdog, bool wait) {
  if (socket.Paused() == wait) return;
  if (wait) {
    socket.Pause();
    watchdog.Suspend();
  } else {
    watchdog.Resume();
    socket.Resume();
  }
}

}  // namespace quillon
