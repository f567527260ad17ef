// TPiecePlan: which piece of a file each source fetches next, for a download
// fed by several sources (the URL and its mirrors, when a SHA-256 proves the
// result) and several connections at once. Pure: it knows pieces, sources
// and their hosts, bytes and times, and decides; the transfer does the I/O.
//
// Rules:
//  - A piece is missing, active (one connection fetches it, from its first
//    byte not yet written) or done. Next gives a source's free connection
//    the first missing piece.
//  - Connections: every host has a limit (the user's or the publisher's
//    connections per host); a source opens no more than its host allows. A
//    source that answers 429 or 503 gets one connection fewer on its host
//    (never fewer than one) and no new request before its Retry-After.
//  - Rates: a source's rate is the bytes it delivered over the time it had a
//    connection open (measured from kRateAfterMs on). A source below an
//    eighth of the best rate (after kSlowAfterMs) gets no new piece while
//    another source may take it.
//  - The end: when no piece is missing, a free connection of a source at
//    least twice as fast as the holder of an active piece takes that piece
//    over from where its holder got (the holder is stopped): a slow first
//    URL never holds a download whose mirror is fast.
//  - A source that sent a damaged piece (its SHA-256 is not the publisher's)
//    gets no further piece; so does a source dropped for any other reason.
//    A piece that fails goes back to missing, keeping what was written of it
//    unless it was damaged.
//  - The record of a part kept for a later start (RecordText): the piece
//    size and the done pieces as hexadecimal bits, "1048576:ff3".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

class TPiecePlan {
 public:
  // Time a source must have had a connection open before its rate counts.
  static constexpr int64_t kRateAfterMs = 300;
  // Time a source must have had a connection open before it counts as slow.
  static constexpr int64_t kSlowAfterMs = 1000;

  enum class TState { kMissing, kActive, kDone };

  TPiecePlan(int64_t total, int64_t piece_size);

  int64_t Total() const { return total_; }
  int64_t PieceSize() const { return piece_size_; }
  int Count() const { return static_cast<int>(pieces_.size()); }
  int64_t Begin(int piece) const { return static_cast<int64_t>(piece) * piece_size_; }
  int64_t End(int piece) const;
  TState State(int piece) const { return pieces_[piece].state; }
  // The first byte of `piece` not yet written (Begin when nothing is).
  int64_t Reached(int piece) const { return pieces_[piece].reached; }
  int Holder(int piece) const { return pieces_[piece].holder; }
  bool Complete() const { return done_ == Count(); }
  int DoneCount() const { return done_; }
  // Bytes of done pieces plus what active and missing pieces hold.
  int64_t BytesHeld() const;

  // ---- Sources ------------------------------------------------------------
  // A source on `host` (hosts share their connection limit). Returns its index.
  int AddSource(const std::string& host);
  void SetHostLimit(int connections) { default_limit_ = connections < 1 ? 1 : connections; }
  int Sources() const { return static_cast<int>(sources_.size()); }
  bool Dropped(int source) const { return sources_[source].dropped; }
  void Drop(int source) { sources_[source].dropped = true; }
  int Connections(int source) const { return sources_[source].connections; }
  // Bytes/second, or -1 while not measured.
  double Rate(int source, int64_t now_ms) const;
  // A source whose rate is below an eighth of the best measured one.
  bool Slow(int source, int64_t now_ms) const;
  // Sources that are not dropped and have a connection open, and the
  // connections open.
  int SourcesInUse() const;
  int ConnectionsInUse() const;
  // Whether the source may open one more connection now (not dropped, not
  // waiting for its Retry-After, below its host's limit).
  bool MayConnect(int source, int64_t now_ms) const;
  void Connected(int source, int64_t now_ms);
  void Disconnected(int source, int64_t now_ms);
  void Received(int source, int64_t bytes) { sources_[source].bytes += bytes; }
  // 429 or 503: one connection fewer on its host, nothing new before
  // `until_ms`.
  void Busy(int source, int64_t until_ms);
  int64_t WaitUntil(int source) const { return sources_[source].wait_until_ms; }
  int HostLimit(int source) const;

  // ---- Pieces -------------------------------------------------------------
  struct TTake {
    int piece = -1;     // -1: nothing for this source now
    int64_t from = 0;   // the first byte to fetch
    int taken_from = -1;  // the source whose piece this is, to be stopped
  };
  // What a free connection of `source` fetches next: a missing piece, which
  // becomes active for `source`; or, at the end, a slower source's active
  // piece to stop (`taken_from` its holder): once stopped (Failed) it is
  // missing again for the faster source to take.
  TTake Next(int source, int64_t now_ms);
  // `bytes` of `piece` were written from its Reached() on.
  void Wrote(int piece, int64_t bytes);
  // The piece is complete and, where hashes exist, proven.
  void Done(int piece);
  // The piece failed or its holder was stopped: missing again; from its
  // first byte when `damaged` (the source that sent it is dropped then).
  void Failed(int piece, bool damaged);
  // A done piece is wanted again from its first byte (a kept piece that
  // failed its proof, a source suspected of a damaged file).
  void Reset(int piece);
  // A missing piece that `source` must not fetch (a second opinion on what
  // it sent).
  void Avoid(int piece, int source) { pieces_[piece].avoid = source; }
  // A dropped source may serve again.
  void Restore(int source) { sources_[source].dropped = false; }

  // ---- The part's record --------------------------------------------------
  std::string RecordText() const;
  // Marks the pieces a record names as done; false (nothing marked) when
  // the record is not of this plan's piece size and count.
  bool LoadRecord(const std::string& text);

 private:
  struct TPiece {
    TState state = TState::kMissing;
    int64_t reached = 0;
    int holder = -1;
    bool stopping = false;  // its holder is being stopped for a faster source
    int avoid = -1;         // a source that must not fetch it
  };
  struct TSource {
    std::string host;
    int connections = 0;
    int64_t bytes = 0;
    int64_t open_ms = 0;      // time with a connection open, before `since_ms`
    int64_t since_ms = -1;    // a connection is open since then
    int64_t wait_until_ms = 0;
    bool dropped = false;
  };
  int64_t OpenMs(const TSource& s, int64_t now_ms) const;
  int HostConnections(const std::string& host) const;

  int64_t total_;
  int64_t piece_size_;
  std::vector<TPiece> pieces_;
  std::vector<TSource> sources_;
  std::vector<std::pair<std::string, int>> host_limits_;  // lowered by Busy
  int default_limit_ = 1;
  int done_ = 0;
};

}  // namespace quillon
