// TLifetime and FireEvent: how an object learns that an event handler has
// destroyed it; TRunCounter: how work learns that its run was replaced.
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
// FireEvent, and every trigger that returns whether its object survived, is
// [[nodiscard]]: a call with nothing after it says so with
// static_cast<void>(...).
//
// Declare the TLifetime as the last data member, so that its tokens expire
// before any other member is destroyed. A destructor that fires events or
// destroys members that may call back calls Invalidate() first.
#pragma once

#include <cstdint>
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
[[nodiscard]] bool FireEvent(const TLifetime& lifetime, const F& event, Args&&... args) {
  auto alive = lifetime.Token();
  if (event) {
    F handler = event;
    handler(std::forward<Args>(args)...);
  }
  return static_cast<bool>(alive);
}

// TRunCounter: whether work that began in one run (a start, a request, a
// client's session) still belongs to the current run once control comes
// back (after a modal question, an event, a posted message, a timer or a
// writer thread's report). Begin() starts a new run; a token taken in an
// earlier run never matches again. Unlike a comparison of the objects'
// addresses, a token cannot match a later object that reuses freed memory.
//
//   const TRunToken asked = run_.Token();
//   bool yes = question->AskResume(text);   // may run the event loop
//   if (!alive || !run_.IsCurrent(asked)) return;
class TRunToken {
 public:
  TRunToken() = default;  // matches no run

 private:
  friend class TRunCounter;
  explicit TRunToken(uint64_t run) : run_(run) {}
  uint64_t run_ = 0;
};

class TRunCounter {
 public:
  TRunToken Token() const { return TRunToken(run_); }
  bool IsCurrent(const TRunToken& token) const { return token.run_ == run_; }
  // Starts a new run; returns its token.
  TRunToken Begin() { return TRunToken(++run_); }

 private:
  uint64_t run_ = 1;
};

}  // namespace quillon
