#include "download/piece_plan.h"

#include <algorithm>

namespace quillon {

TPiecePlan::TPiecePlan(int64_t total, int64_t piece_size) : total_(total), piece_size_(piece_size) {
  const int64_t count = total <= 0 ? 0 : (total + piece_size - 1) / piece_size;
  pieces_.resize(static_cast<size_t>(count));
  for (int i = 0; i < Count(); ++i) pieces_[i].reached = Begin(i);
}

int64_t TPiecePlan::End(int piece) const { return std::min(total_, Begin(piece) + piece_size_); }

int64_t TPiecePlan::BytesHeld() const {
  int64_t bytes = 0;
  for (int i = 0; i < Count(); ++i) bytes += pieces_[i].state == TState::kDone ? End(i) - Begin(i) : Reached(i) - Begin(i);
  return bytes;
}

int TPiecePlan::AddSource(const std::string& host) {
  sources_.push_back(TSource{host});
  return Sources() - 1;
}

int64_t TPiecePlan::OpenMs(const TSource& s, int64_t now_ms) const {
  return s.open_ms + (s.since_ms >= 0 ? now_ms - s.since_ms : 0);
}

double TPiecePlan::Rate(int source, int64_t now_ms) const {
  const TSource& s = sources_[source];
  const int64_t ms = OpenMs(s, now_ms);
  if (ms < kRateAfterMs) return -1;
  return static_cast<double>(s.bytes) * 1000.0 / static_cast<double>(ms);
}

bool TPiecePlan::Slow(int source, int64_t now_ms) const {
  const double rate = Rate(source, now_ms);
  if (rate < 0 || OpenMs(sources_[source], now_ms) < kSlowAfterMs) return false;
  double best = 0;
  for (int i = 0; i < Sources(); ++i)
    if (!sources_[i].dropped) best = std::max(best, Rate(i, now_ms));
  return rate * 8 < best;
}

int TPiecePlan::SourcesInUse() const {
  return static_cast<int>(
      std::count_if(sources_.begin(), sources_.end(), [](const TSource& s) { return !s.dropped && s.connections > 0; }));
}

int TPiecePlan::ConnectionsInUse() const {
  int n = 0;
  for (const TSource& s : sources_) n += s.connections;
  return n;
}

int TPiecePlan::HostConnections(const std::string& host) const {
  int n = 0;
  for (const TSource& s : sources_)
    if (s.host == host) n += s.connections;
  return n;
}

int TPiecePlan::HostLimit(int source) const {
  for (const auto& [host, limit] : host_limits_)
    if (host == sources_[source].host) return limit;
  return default_limit_;
}

bool TPiecePlan::MayConnect(int source, int64_t now_ms) const {
  const TSource& s = sources_[source];
  return !s.dropped && now_ms >= s.wait_until_ms && HostConnections(s.host) < HostLimit(source);
}

void TPiecePlan::Connected(int source, int64_t now_ms) {
  TSource& s = sources_[source];
  if (s.connections++ == 0) s.since_ms = now_ms;
}

void TPiecePlan::Disconnected(int source, int64_t now_ms) {
  TSource& s = sources_[source];
  if (s.connections <= 0) return;
  if (--s.connections == 0) {
    s.open_ms = OpenMs(s, now_ms);
    s.since_ms = -1;
  }
}

void TPiecePlan::Busy(int source, int64_t until_ms) {
  TSource& s = sources_[source];
  s.wait_until_ms = std::max(s.wait_until_ms, until_ms);
  // The connections open now, less the one that was refused.
  const int lowered = std::max(1, std::min(HostLimit(source), HostConnections(s.host)) - 1);
  for (auto& [host, limit] : host_limits_)
    if (host == s.host) {
      limit = lowered;
      return;
    }
  host_limits_.emplace_back(s.host, lowered);
}

TPiecePlan::TTake TPiecePlan::Next(int source, int64_t now_ms) {
  TTake take;
  if (sources_[source].dropped) return take;
  // A slow source waits while a faster one may still take the work.
  bool other = false;
  for (int i = 0; i < Sources(); ++i) other = other || (i != source && !sources_[i].dropped);
  if (other && Slow(source, now_ms)) return take;
  for (int i = 0; i < Count(); ++i) {
    if (pieces_[i].state != TState::kMissing || pieces_[i].avoid == source) continue;
    pieces_[i].state = TState::kActive;
    pieces_[i].holder = source;
    return TTake{i, pieces_[i].reached, -1};
  }
  // The end: the active piece whose holder would take longest, when this
  // source is at least twice as fast.
  const double rate = Rate(source, now_ms);
  if (rate <= 0) return take;
  int best = -1;
  double longest = 0;
  for (int i = 0; i < Count(); ++i) {
    const TPiece& p = pieces_[i];
    if (p.state != TState::kActive || p.stopping || p.holder == source) continue;
    const double holder_rate = Rate(p.holder, now_ms);
    if (holder_rate < 0 || holder_rate * 2 > rate) continue;
    const double left = static_cast<double>(End(i) - p.reached) / std::max(holder_rate, 1.0);
    if (left > longest) {
      longest = left;
      best = i;
    }
  }
  if (best < 0) return take;
  pieces_[best].stopping = true;
  return TTake{best, pieces_[best].reached, pieces_[best].holder};
}

void TPiecePlan::Wrote(int piece, int64_t bytes) {
  pieces_[piece].reached = std::min(End(piece), pieces_[piece].reached + bytes);
}

void TPiecePlan::Done(int piece) {
  if (pieces_[piece].state == TState::kDone) return;
  pieces_[piece].state = TState::kDone;
  pieces_[piece].reached = End(piece);
  pieces_[piece].holder = -1;
  ++done_;
}

void TPiecePlan::Reset(int piece) {
  TPiece& p = pieces_[piece];
  if (p.state == TState::kDone) --done_;
  p = TPiece{TState::kMissing, Begin(piece), -1, false, -1};
}

void TPiecePlan::Failed(int piece, bool damaged) {
  TPiece& p = pieces_[piece];
  if (p.state == TState::kDone) return;
  if (damaged && p.holder >= 0) sources_[p.holder].dropped = true;
  p.state = TState::kMissing;
  p.holder = -1;
  p.stopping = false;
  if (damaged) p.reached = Begin(piece);
}

std::string TPiecePlan::RecordText() const {
  static const char kHex[] = "0123456789abcdef";
  std::string bits;
  for (int i = 0; i < Count(); i += 4) {
    int nibble = 0;
    for (int b = 0; b < 4 && i + b < Count(); ++b)
      if (pieces_[i + b].state == TState::kDone) nibble |= 8 >> b;
    bits += kHex[nibble];
  }
  return std::to_string(piece_size_) + ":" + bits;
}

bool TPiecePlan::LoadRecord(const std::string& text) {
  const std::string prefix = std::to_string(piece_size_) + ":";
  if (!text.starts_with(prefix) || text.size() - prefix.size() != static_cast<size_t>((Count() + 3) / 4)) return false;
  std::vector<int> done;
  for (size_t k = prefix.size(); k < text.size(); ++k) {
    const char c = text[k];
    const int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (nibble < 0) return false;
    for (int b = 0; b < 4; ++b) {
      const int piece = static_cast<int>(k - prefix.size()) * 4 + b;
      if ((nibble & (8 >> b)) == 0) continue;
      if (piece >= Count()) return false;
      done.push_back(piece);
    }
  }
  for (int piece : done) Done(piece);
  return true;
}

}  // namespace quillon
