// TLifetime and FireEvent: how an object learns that an event handler has
// destroyed it.
//
// The rule: a handler may destroy the object that fires its event (a row's
// "download finished" handler deletes the row, a client's "closed" handler
// deletes the client). Nothing after a call that fires an event touches the
// object, its members or `this`, unless a token taken before the call says the
// object still lives:
//
//   auto alive = lifetime_.Token();
//   FireSessionClosed(Error);
//   if (!alive) return;
//   ChangeState(wsClosed);
//
// or, for a std::function event member, in one step:
//
//   if (!FireEvent(lifetime_, OnDocEnd, this)) return;
//
// Declare the TLifetime as the last data member, so that its tokens expire
// before any other member is destroyed. A destructor that fires events or
// destroys members that may call back calls Invalidate() first.
#pragma once

#include <memory>
#include <utility>

namespace quillon {

class TLifetime {
 public:
  // A weak reference to the owner's lifetime; true while the owner lives.
  class TToken {
   public:
    TToken() = default;
    explicit operator bool() const { return !alive_.expired(); }

   private:
    friend class TLifetime;
    explicit TToken(std::weak_ptr<const char> alive) : alive_(std::move(alive)) {}
    std::weak_ptr<const char> alive_;
  };

  TLifetime() = default;
  // A copied or assigned object is another object: it gets its own lifetime,
  // and tokens taken from the source keep following the source.
  TLifetime(const TLifetime&) : TLifetime() {}
  TLifetime& operator=(const TLifetime&) { return *this; }

  TToken Token() const { return TToken(alive_); }
  // Expires every token now (the first step of a destructor that fires or
  // calls back while it tears down).
  void Invalidate() { alive_.reset(); }

 private:
  std::shared_ptr<const char> alive_ = std::make_shared<const char>(1);
};

// Fires a std::function event when it is assigned and returns whether the
// owner of `lifetime` survived the handler. The handler runs from a copy, so a
// handler that destroys the owner (and with it the event member) or assigns
// another handler to the member still runs to its end with what it captured.
template <typename F, typename... Args>
bool FireEvent(const TLifetime& lifetime, const F& event, Args&&... args) {
  auto alive = lifetime.Token();
  if (event) {
    F handler = event;
    handler(std::forward<Args>(args)...);
  }
  return static_cast<bool>(alive);
}

}  // namespace quillon
