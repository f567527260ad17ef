// Message targets: the receivers of posted messages. A message (number,
// wParam, lParam) posted to a target is delivered later, from the event loop of
// the thread that created the target, to the target's handler. Messages of all
// targets of a thread are delivered in the order they were posted.
//
// Lifetime rules that the sockets and the protocol clients rely on:
//  - destroying a target drops the messages still pending for it;
//  - a handler may destroy its target, or the object that owns the target,
//    while it runs; nothing touches the target after the handler returns.
//
// Targets belong to one thread: create, post to and destroy a target on the
// thread that runs its event loop.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "base/lifetime.h"

namespace quillon::platform {

// Receives the messages of a target. Usually implemented by the object that
// owns the target (a socket, a protocol client).
class MessageQueue;

class MessageHandler {
 public:
  virtual void HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;

 protected:
  ~MessageHandler() = default;
};

// Runs Work, a message handler's work, so that no exception escapes into the
// event loop: an exception that escapes Work goes to Report, unless Work
// destroyed the owner of Lifetime; one that is not a std::exception is
// reported as Unknown("Unknown exception").
template <typename Unknown, typename WorkFn, typename ReportFn>
void RunMessageWork(const TLifetime& Lifetime, WorkFn&& Work, ReportFn&& Report) {
  auto alive = Lifetime.Token();
  try {
    Work();
  } catch (const std::exception& e) {
    if (alive) Report(e);
  } catch (...) {
    if (alive) Report(Unknown("Unknown exception"));
  }
}

// Reports an exception that escaped a message handler through a
// background-exception event (Sender, E, CanClose), whose handler may throw
// (ignored), destroy the owner of Lifetime, or clear CanClose. Returns whether
// the owner should now close or abort: it lives and CanClose stayed set.
template <typename Event, typename Sender>
bool ReportBackgroundException(const TLifetime& Lifetime, const Event& OnBgException, Sender* sender,
                               const std::exception& E) {
  auto alive = Lifetime.Token();
  bool can_close = true;
  try {
    if (!FireEvent(Lifetime, OnBgException, sender, E, can_close)) return false;
  } catch (...) {
  }
  return alive && can_close;
}

// A handle through which any thread may post to one target. Posts made after
// the target is gone, or after its thread's queue has ended, are dropped.
class CrossThreadPoster {
 public:
  CrossThreadPoster() = default;
  void Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) const;

 private:
  friend class MessageTarget;
  std::weak_ptr<MessageQueue> queue_;
  uint64_t target_id_ = 0;
};

class MessageTarget {
 public:
  // The handler must outlive the target (it normally owns it).
  explicit MessageTarget(MessageHandler* handler);
  ~MessageTarget();
  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;

  // Queues a message for delivery from the event loop. Never delivers it
  // from inside the call.
  void Post(uint32_t msg, uintptr_t wParam, intptr_t lParam);

  // Hands a message to the handler at once, from inside the call. Platform
  // services that queue through a target of their own (socket readiness)
  // use it to pass the message on when it comes out of the queue.
  void Send(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    handler_->HandleMessage(msg, wParam, lParam);
  }

  // Drops the pending messages of this target whose number is msg and whose
  // wParam is wParam (used when a socket handle is closed, so that readiness
  // reported for the old handle never reaches a new socket with the same
  // number).
  void DropPending(uint32_t msg, uintptr_t wParam);

  // A handle for posting to this target from other threads.
  CrossThreadPoster Poster() const;

  // Number of messages pending for this target (for tests).
  int PendingCount() const;

  // The identity under which the target's messages are queued; never reused
  // within a process.
  uint64_t Id() const { return id_; }

 private:
  MessageHandler* handler_;
  uint64_t id_;
  std::shared_ptr<MessageQueue> queue_;
  friend class MessageQueue;
};

}  // namespace quillon::platform
