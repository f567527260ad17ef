// The per-thread queue behind MessageTarget (internal to platform/). Messages
// are queued with the identity of their target and delivered in posting order
// from the thread's Qt event loop. Posting is thread-safe, so that worker
// threads (name lookups) can hand completions to the owning thread; delivery
// and the table of living targets belong to the owning thread.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

class QObject;

namespace quillon::platform {

class MessageTarget;

class MessageQueue {
 public:
  // The queue of the calling thread, created on first use.
  static std::shared_ptr<MessageQueue> ForThisThread();

  // Thread-safe: queues a message for the target with identity target_id.
  // Messages for targets that are gone by delivery time are dropped.
  void Post(uint64_t target_id, uint32_t msg, uintptr_t wParam, intptr_t lParam);

  // Owning thread only.
  void Register(MessageTarget* target);
  void Unregister(MessageTarget* target);
  void DropPending(uint64_t target_id, uint32_t msg, uintptr_t wParam);
  int PendingCount(uint64_t target_id) const;

  // Delivers, in order, the messages queued when the call started, for a few
  // milliseconds at most; what is left gets a new wake-up and is delivered on
  // a later pass of the event loop (owning thread).
  void Dispatch();

  // Called when the owning thread's waker object goes away; later posts are
  // dropped.
  void Detach();

  MessageQueue() = default;

 private:
  struct Entry {
    uint64_t target_id;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
  };
  void WakeLocked();

  mutable std::mutex mutex_;
  std::deque<Entry> entries_;
  QObject* waker_ = nullptr;  // guarded by mutex_
  bool wake_posted_ = false;  // guarded by mutex_
  std::unordered_map<uint64_t, MessageTarget*> targets_;  // owning thread
  friend class MessageWaker;
};

}  // namespace quillon::platform
