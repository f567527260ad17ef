// TRetryPolicy: what follows a failed try of a download. It reads only what
// it is given (the failure, the tries so far, the sources, a random number)
// and says: wait and try the same source again, go on with the next source,
// or give up. The job carries out what it says.
//
// Rules:
//   - A failure on this computer's side (the file, the part's lock) is never
//     tried again, from any source: another try does not change the disk.
//   - A transient failure (see the predicates below) is tried again up to
//     `retries` times per source. The first wait is `first_wait_s` seconds,
//     twice as long each time after, with a random 0-20 % added; an HTTP
//     Retry-After replaces it, up to kMaxRetryAfterMs.
//   - A source that fails for good (or has no tries left) is followed by
//     the next source in order. The bytes of an https URL come from a plain
//     http or ftp source only when a SHA-256 proves them: without one such
//     sources are passed over, and when that leaves none the failure says
//     so ("<failure>; mirror <url> not tried: an https download goes on over
//     plain http or ftp only with a SHA-256 to check the file.").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>


namespace quillon {

// The longest wait a server's Retry-After is honoured with.
inline constexpr int64_t kMaxRetryAfterMs = 300 * 1000;

// Failures of the network that a later try may not meet: a reset connection
// and the time limits, and a refused connection after `attempt` earlier
// retries of the source (a server that restarts). Refused at the first try,
// nobody listens there: waiting does not change that.
bool TransientSocketError(uint16_t error, int attempt);
// HTTP 408, 429, 500, 502, 503 and 504.
bool TransientHttpStatus(int code);
// FTP 421, 425, 426, 450 and 451.
bool TransientFtpReply(int code);

// How a try failed, as far as what follows depends on it.
struct TTryFailure {
  bool local = false;          // on this computer's side: never tried again
  bool transient = false;      // a later try of the same source may succeed
  int64_t retry_after_ms = -1;  // the server's wish (-1: none)
};

class TRetryPolicy {
 public:
  enum TStep { kRetry, kNextSource, kGiveUp };
  struct TDecision {
    TStep step = kGiveUp;
    int64_t wait_ms = 0;     // kRetry: the planned wait
    size_t source = 0;       // kNextSource: the index into the sources
    std::string failure;     // kGiveUp: the failure text to show
  };

  // `retries`: tries after the first per source; `first_wait_s`: the wait
  // before the first of them.
  TRetryPolicy(int retries, int first_wait_s) : retries_(retries), first_wait_s_(first_wait_s) {}

  // After `failure` (its status text `failure_text`), of the try of
  // sources[current] that had `attempt` retries before it: `sources` are the
  // URL set first, then its mirrors; `hash_known` whether a SHA-256 proves
  // the file; `random` a number in [0, 1) for the random part of the wait.
  TDecision Next(const TTryFailure& failure, const std::string& failure_text, int attempt,
                 const std::vector<std::string>& sources, size_t current, bool hash_known, double random) const;

  // The planned wait before retry `attempt` (1 for the first): the first
  // wait doubled for each earlier retry, plus `random` * 20 %.
  int64_t BackoffMs(int attempt, double random) const;

 private:
  int retries_;
  int first_wait_s_;
};

}  // namespace quillon
