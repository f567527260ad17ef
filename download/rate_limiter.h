// A limit of the bytes received per second, shared by every transfer that
// uses it (all the downloads of one quillon-get, all the rows of the window).
//
// TRateBucket is the arithmetic alone, with the time as a parameter: a token
// bucket that fills at the rate, up to a small burst, and that received bytes
// empty, possibly below zero (a socket read takes what the kernel holds, and
// the next bytes wait until that debt is paid). While it is empty the
// transfers hold; they go on once it has tokens again.
//
// TRateLimiter runs a bucket on the event loop: a transfer reports what it
// received (Spend); when the bucket runs dry every registered download is told
// to hold its sockets (so the kernel's receive window slows the sender) and a
// timer of the event loop refills it and tells them to go on. Nothing sleeps.
// User-interface thread only; it must outlive every download registered.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "base/lifetime.h"

namespace quillon {

namespace platform {
class OneShotTimer;
}

class TRateBucket {
 public:
  // The largest rate taken: beyond it there is no limit worth keeping.
  static constexpr int64_t kMaxRate = int64_t{1} << 40;

  // Bytes a second (0: no limit, above kMaxRate: kMaxRate). A new rate
  // starts with a full bucket and nothing held.
  void SetRate(int64_t bytes_per_second, int64_t now_ms);
  int64_t Rate() const { return rate_; }
  // The burst: what may be received at once after a quiet while, a twentieth
  // of the rate (at least one byte), so that every second after the first
  // receives the rate within a few percent.
  int64_t Capacity() const { return capacity_milli_ / 1000; }
  // Whole bytes in the bucket at `now_ms` (negative: a debt to pay first).
  int64_t Tokens(int64_t now_ms);

  // `bytes` received at `now_ms`; true when this emptied the bucket and the
  // transfers are to hold from now.
  bool Spend(int64_t bytes, int64_t now_ms);
  // Refills to `now_ms`; true when the bucket holds tokens again and the
  // transfers may go on.
  bool Refill(int64_t now_ms);
  bool Holding() const { return holding_; }
  // Milliseconds from `now_ms` until Refill releases the hold (0 when not
  // holding, at least 1 while holding).
  int64_t MsUntilRelease(int64_t now_ms);

 private:
  void Advance(int64_t now_ms);

  int64_t rate_ = 0;
  int64_t capacity_milli_ = 0;  // thousandths of a byte
  int64_t tokens_milli_ = 0;
  int64_t last_ms_ = 0;
  bool holding_ = false;
};

class TRateLimiter {
 public:
  // Milliseconds of a monotonic clock; tests replace it.
  using TClock = std::function<int64_t()>;

  explicit TRateLimiter(int64_t bytes_per_second = 0);
  ~TRateLimiter();
  TRateLimiter(const TRateLimiter&) = delete;
  TRateLimiter& operator=(const TRateLimiter&) = delete;

  // Bytes a second over every registered download (0: no limit). Takes
  // effect at once: a lifted limit releases every hold.
  void SetRate(int64_t bytes_per_second);
  int64_t Rate() const { return bucket_.Rate(); }
  // Whether the downloads are to hold their sockets now.
  bool Holding() const { return bucket_.Holding(); }
  // The most bytes a transfer should read at once under the limit (a
  // thirty-second of the rate, 256 bytes to 1 MiB), so that no single read is a
  // large part of a second's allowance; 0 without a limit.
  int ReadSize() const;

  // A download registers a hook, called whenever Holding() changes, and gets
  // the key that Unregister takes. A hook may unregister any download, or
  // destroy the limiter (the hooks after it are then not called).
  using THoldHook = std::function<void()>;
  int Register(THoldHook hook);
  void Unregister(int key);
  // Bytes a registered download received; may call every hook (a hold).
  void Spend(int64_t bytes);

  void SetClockForTesting(TClock clock) { clock_ = std::move(clock); }

 private:
  int64_t NowMs() const;
  // Calls every hook; Holding() has changed.
  void Notify();
  // Refills and, while holding, waits on the timer for the release.
  void Tick();

  TRateBucket bucket_;
  TClock clock_;
  std::map<int, THoldHook> hooks_;
  int next_key_ = 1;
  std::unique_ptr<platform::OneShotTimer> timer_;
  TLifetime lifetime_;  // the last member
};

// The limit as the progress line and the status bar say it: "limited to
// 2.0MB/sec." (sizes as the progress line writes them); "" without a limit.
std::string RateLimitText(int64_t bytes_per_second);

// A rate as a user writes it: bytes a second, or with a K, M or G suffix
// (either case, powers of 1024, "2M" is 2 MiB/s; a decimal fraction is
// allowed: "1.5M"); -1 when the text is not such a rate or is past
// TRateBucket::kMaxRate. "0" is no limit.
int64_t ParseRate(const std::string& text);

}  // namespace quillon
