// Readiness notification for a socket handle, reported as message 1025 to a
// message target: wParam is the handle, the low word of lParam holds the event
// bits (FD_READ, FD_WRITE, FD_ACCEPT, FD_CONNECT, FD_CLOSE) and the high word
// a socket error number (0 for success).
//
// What is reported, and when:
//  - FD_CONNECT once a connect that was started (ConnectStarted) completes,
//    with the error of the attempt (10061 for a refused connection); after a
//    successful connect FD_WRITE comes with it.
//  - FD_READ when data can be read (FD_ACCEPT for a listening handle). After
//    one is reported no other follows until it has been delivered; then it is
//    reported again as long as unread data remains.
//  - FD_WRITE after a successful connect, when Select is given a connected
//    handle, and after SendWouldBlock once sending is possible again.
//  - FD_CLOSE once per handle, after the data that arrived before the end of
//    the connection was read: error 0 for an orderly end, the reset error
//    (10054) otherwise.
//  - Nothing while the mask is 0 (a paused socket); selecting a mask again
//    reports readiness that is still pending.
//
// Release forgets the handle: notifications already queued for it are dropped,
// so a new socket that the system gives the same number never receives them.
//
// Belongs to the thread of its target; the target must outlive the notifier.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/message_target.h"

namespace quillon::platform {

// Event bits of the notifications.
enum : uint16_t {
  FD_READ = 0x01,
  FD_WRITE = 0x02,
  FD_OOB = 0x04,
  FD_ACCEPT = 0x08,
  FD_CONNECT = 0x10,
  FD_CLOSE = 0x20,
};

// The message number of socket notifications.
inline constexpr uint32_t kSocketNotifyMessage = 1025;

class SocketNotifier : private MessageHandler {
 public:
  explicit SocketNotifier(MessageTarget* target, uint32_t message = kSocketNotifyMessage);
  ~SocketNotifier();
  SocketNotifier(const SocketNotifier&) = delete;
  SocketNotifier& operator=(const SocketNotifier&) = delete;

  // Watches handle for the events in mask (0 switches notification off).
  // A different handle than before replaces the old one (as Release would).
  void Select(int handle, uint16_t mask);

  // connect() on the handle returned "in progress": report FD_CONNECT when it
  // completes.
  void ConnectStarted();
  // connect() failed at once with error: report it as FD_CONNECT later, from
  // the event loop, as for a connection that fails after a while.
  void ConnectFailed(int error);

  // A send returned "would block": report FD_WRITE when sending is possible.
  void SendWouldBlock();

  // The handle is about to be closed: stop watching it and drop what was
  // reported for it and not yet delivered.
  void Release();

  int Handle() const;

 private:
  void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace quillon::platform
