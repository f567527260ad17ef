#include "platform/message_target.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <atomic>
#include <chrono>

#include "platform/message_queue.h"

namespace quillon::platform {

namespace {

std::atomic<uint64_t> next_target_id{1};

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::User + 0x51);

// How long one pass of the queue may run before the event loop gets a turn.
constexpr std::chrono::milliseconds kDispatchSlice{4};

}  // namespace

// Lives on the owning thread; a posted wake event makes it run the queue.
class MessageWaker : public QObject {
 public:
  explicit MessageWaker(std::shared_ptr<MessageQueue> queue) : queue_(std::move(queue)) {
    std::lock_guard<std::mutex> lock(queue_->mutex_);
    queue_->waker_ = this;
  }
  ~MessageWaker() override { queue_->Detach(); }

  bool event(QEvent* e) override {
    if (e->type() != kWakeEvent) return QObject::event(e);
    {
      std::lock_guard<std::mutex> lock(queue_->mutex_);
      queue_->wake_posted_ = false;
    }
    queue_->Dispatch();
    return true;
  }

  std::shared_ptr<MessageQueue> queue_;
};

namespace {
struct ThreadQueueHolder {
  std::unique_ptr<MessageWaker> waker;
};
thread_local ThreadQueueHolder thread_queue;
}  // namespace

std::shared_ptr<MessageQueue> MessageQueue::ForThisThread() {
  if (!thread_queue.waker) {
    thread_queue.waker = std::make_unique<MessageWaker>(std::make_shared<MessageQueue>());
  }
  return thread_queue.waker->queue_;
}

void MessageQueue::WakeLocked() {
  if (wake_posted_ || !waker_) return;
  wake_posted_ = true;
  QCoreApplication::postEvent(waker_, new QEvent(kWakeEvent));
}

void MessageQueue::Post(uint64_t target_id, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!waker_) return;
  entries_.push_back(Entry{target_id, msg, wParam, lParam});
  WakeLocked();
}

void MessageQueue::Register(MessageTarget* target) { targets_[target->Id()] = target; }

void MessageQueue::Unregister(MessageTarget* target) {
  targets_.erase(target->Id());
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) { return e.target_id == target->Id(); });
}

void MessageQueue::DropPending(uint64_t target_id, uint32_t msg, uintptr_t wParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) {
    return e.target_id == target_id && e.msg == msg && e.wParam == wParam;
  });
}

int MessageQueue::PendingCount(uint64_t target_id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const Entry& e : entries_) n += e.target_id == target_id;
  return n;
}

void MessageQueue::Dispatch() {
  // However the pass ends (a handler may throw; the exception goes on to the
  // application's report), messages still queued get a new wake-up.
  struct Rearm {
    MessageQueue* queue;
    ~Rearm() {
      std::lock_guard<std::mutex> lock(queue->mutex_);
      if (!queue->entries_.empty()) queue->WakeLocked();
    }
  } rearm{this};
  size_t budget;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    budget = entries_.size();
  }
  // Only what was queued when the pass began, and for one slice of time at
  // most: messages posted by handlers, and those left when the slice is over,
  // wait for the next pass, so that timers, painting and input are served in
  // between. (Two hundred readable sockets each read their budget in one
  // pass otherwise, and the window stops for a quarter of a second.)
  const auto deadline = std::chrono::steady_clock::now() + kDispatchSlice;
  while (budget-- > 0 && std::chrono::steady_clock::now() < deadline) {
    Entry e;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (entries_.empty()) break;
      e = entries_.front();
      entries_.pop_front();
    }
    auto it = targets_.find(e.target_id);
    if (it == targets_.end()) continue;
    // The handler may destroy the target (and its owner): nothing of either
    // is touched after this call.
    it->second->handler_->HandleMessage(e.msg, e.wParam, e.lParam);
  }
}

void MessageQueue::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  waker_ = nullptr;
  entries_.clear();
}

MessageTarget::MessageTarget(MessageHandler* handler)
    : handler_(handler), id_(next_target_id.fetch_add(1)), queue_(MessageQueue::ForThisThread()) {
  queue_->Register(this);
}

MessageTarget::~MessageTarget() { queue_->Unregister(this); }

void MessageTarget::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  queue_->Post(id_, msg, wParam, lParam);
}

void MessageTarget::DropPending(uint32_t msg, uintptr_t wParam) {
  queue_->DropPending(id_, msg, wParam);
}

CrossThreadPoster MessageTarget::Poster() const {
  CrossThreadPoster poster;
  poster.queue_ = queue_;
  poster.target_id_ = id_;
  return poster;
}

void CrossThreadPoster::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) const {
  if (auto queue = queue_.lock()) queue->Post(target_id_, msg, wParam, lParam);
}

int MessageTarget::PendingCount() const { return queue_->PendingCount(id_); }

}  // namespace quillon::platform
