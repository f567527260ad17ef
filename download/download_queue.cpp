#include "download/download_queue.h"

#include <algorithm>

namespace quillon {

namespace {

template <typename T>
bool Erase(std::vector<T>& v, const T& x) {
  const auto it = std::find(v.begin(), v.end(), x);
  if (it == v.end()) return false;
  v.erase(it);
  return true;
}

}  // namespace

bool TDownloadQueue::TryStart(TId id) {
  if (Runs(id)) return true;
  if (Place(id) > 0) return false;  // its place stays
  if (SlotFree()) {
    running_.push_back(id);
    return true;
  }
  waiting_.push_back(id);
  return false;
}

void TDownloadQueue::StartNow(TId id) {
  Erase(waiting_, id);
  if (!Runs(id)) running_.push_back(id);
}

void TDownloadQueue::Stop(TId id) {
  if (!Erase(running_, id)) Erase(waiting_, id);
}

std::optional<TDownloadQueue::TId> TDownloadQueue::Next() {
  if (waiting_.empty() || !SlotFree()) return std::nullopt;
  const TId id = waiting_.front();
  waiting_.erase(waiting_.begin());
  running_.push_back(id);
  return id;
}

bool TDownloadQueue::MoveUp(TId id) {
  const int place = Place(id);
  if (place <= 1) return false;
  std::swap(waiting_[place - 1], waiting_[place - 2]);
  return true;
}

void TDownloadQueue::Wait(TId id) {
  if (!Runs(id) && Place(id) == 0) waiting_.push_back(id);
}

bool TDownloadQueue::Runs(TId id) const { return std::find(running_.begin(), running_.end(), id) != running_.end(); }

int TDownloadQueue::Place(TId id) const {
  const auto it = std::find(waiting_.begin(), waiting_.end(), id);
  return it == waiting_.end() ? 0 : static_cast<int>(it - waiting_.begin()) + 1;
}

std::string QueuedText(int place) {
  // English ordinals: 1st, 2nd, 3rd, but 11th, 12th, 13th (and 111th ...).
  const char* suffix = "th";
  if (place % 100 < 11 || place % 100 > 13) {
    if (place % 10 == 1) suffix = "st";
    if (place % 10 == 2) suffix = "nd";
    if (place % 10 == 3) suffix = "rd";
  }
  return "Queued (" + std::to_string(place) + suffix + ").";
}

}  // namespace quillon
