// TDownloadQueue: which downloads of a list run and which wait their turn,
// for a list that runs at most Limit() downloads at once (0: no limit). It
// keeps ids only (a list's rows); its owner starts what it hands out and
// tells it when a download no longer runs.
//
// A download that asks to run (TryStart) takes a free slot, or waits at the
// end of the line. One that stops running (complete, failed, cancelled) or
// leaves the list frees its slot (Stop); the first waiting one takes a free
// slot when its owner asks for the next (Next). StartNow runs a waiting one at
// once, beyond the limit; MoveUp moves a waiting one a place earlier. A
// higher limit lets as many more run; a lower one stops nothing that runs,
// it only holds the waiting ones back until enough have ended.
//
// The place in the line is told as "Queued (1st).", "Queued (2nd).", ...
// (QueuedText); the rows show it as their status.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon {

class TDownloadQueue {
 public:
  using TId = const void*;
  static constexpr int kDefaultLimit = 3;

  int Limit() const { return limit_; }
  // 0 or less: no limit.
  void SetLimit(int n) { limit_ = n < 0 ? 0 : n; }

  // `id` asks to run: true when it runs (it took a free slot, or ran
  // already); false when it waits (at the end of the line, or where it was).
  bool TryStart(TId id);
  // Runs `id` at once, also beyond the limit; it leaves the line.
  void StartNow(TId id);
  // `id` neither runs nor waits any more.
  void Stop(TId id);
  // The first waiting id when a slot is free, which then runs; none
  // otherwise.
  std::optional<TId> Next();
  // Moves a waiting `id` one place earlier; false when it is first or does
  // not wait.
  bool MoveUp(TId id);
  // Puts `id` at the end of the line even when a slot is free (a line
  // brought back in its order, handed out by Next afterwards).
  void Wait(TId id);

  bool Runs(TId id) const;
  // 1 for the first waiting id; 0 for one that does not wait.
  int Place(TId id) const;
  int RunningCount() const { return static_cast<int>(running_.size()); }
  int WaitingCount() const { return static_cast<int>(waiting_.size()); }

 private:
  bool SlotFree() const { return limit_ == 0 || RunningCount() < limit_; }
  int limit_ = 0;
  std::vector<TId> running_;
  std::vector<TId> waiting_;  // first in line first
};

// A waiting download's status: "Queued (1st).", "Queued (2nd).",
// "Queued (3rd).", "Queued (11th).", "Queued (22nd)." ...
std::string QueuedText(int place);

}  // namespace quillon
