#include "download/pieces_transfer.h"

#include <algorithm>
#include <utility>

#include "base/file_stream.h"
#include "base/strings.h"
#include "download/download_failure.h"
#include "download/download_job.h"
#include "download/partial_file.h"
#include "download/progress_text.h"
#include "download/queued_file_stream.h"
#include "download/retry_policy.h"
#include "net/http/http_cli.h"
#include "net/http/url.h"

namespace quillon {

namespace {

// Bytes a connection's piece may hold in memory before its socket waits.
constexpr int64_t kPieceQueueBytes = int64_t{2} << 20;
// How often the plan looks again: sources waiting for their Retry-After,
// slow sources, the progress line.
constexpr uint32_t kTickMs = 250;

std::string HostOf(const std::string& url) {
  std::string proto, user, pass, host, port, path;
  ParseURL(url, proto, user, pass, host, port, path);
  return LowerCase(host) + ":" + port;
}

// "from 3 sources", "from 3 sources over 6 connections", "over 4
// connections"; empty for one connection.
std::string SourcesText(int sources, int connections) {
  std::string text;
  if (sources > 1) text = "from " + std::to_string(sources) + " sources";
  if (connections > std::max(sources, 1))
    text += (text.empty() ? "over " : " over ") + std::to_string(connections) + " connections";
  return text;
}

}  // namespace

// One connection to a source: a fetcher asking for one piece after another.
struct TPiecesTransfer::TConnection {
  int source = 0;
  std::unique_ptr<TPieceFetcher> fetcher;
  int piece = -1;      // -1: the first request, before the file's length is known
  int64_t from = 0;    // the range asked for: [from, end)
  int64_t end = 0;
  std::unique_ptr<TQueuedFileStream> stream;
  int64_t counted = 0;    // bytes of this request counted in the plan
  bool full = false;      // the piece stream's queue is full
  bool stopping = false;  // ended on purpose: its piece goes back unharmed
  bool counted_open = false;  // counted as open in the plan
  bool waiting = false;       // for the proof of its last piece before the next
  std::string failure;    // a failure found in the answer
  enum { kNone, kDrop, kRestart, kWhole, kEnded } action = kNone;
};

struct TPiecesTransfer::TFinishing {
  std::unique_ptr<TQueuedFileStream> stream;
};

TPiecesTransfer::TPiecesTransfer(TDownloadJob& job, TTryMode mode, std::vector<std::string> urls)
    : job_(job), mode_(mode) {
  for (std::string& url : urls) sources_.push_back(TSource{std::move(url), "", 0});
  tick_.OnTimer = [this] { Tick(); };
  show_drop_.OnTimer = [this] { static_cast<void>(ShowDrop()); };
}

TPiecesTransfer::~TPiecesTransfer() = default;

int64_t TPiecesTransfer::NowMs() const { return job_.NowMs(); }

bool TPiecesTransfer::Active() const { return !connections_.empty(); }

THttpCli* TPiecesTransfer::HttpClient() const {
  for (const auto& c : connections_)
    if (THttpCli* http = c->fetcher->Http()) return http;
  return nullptr;
}

TFtpClient* TPiecesTransfer::FtpClient() const {
  for (const auto& c : connections_)
    if (TFtpClient* ftp = c->fetcher->Ftp()) return ftp;
  return nullptr;
}

bool TPiecesTransfer::PartContinuable() const {
  TPartInfo info;
  return plan_ && plan_->DoneCount() > 0 && ReadPartInfo(job_.part_name_, info) && info.Continuable();
}

void TPiecesTransfer::Hold(bool wait) {
  held_ = wait;
  for (auto& c : connections_) c->fetcher->Hold(held_ || c->full);
}

std::string TPiecesTransfer::SourceName(int source) const {
  const std::string url = RedactedUrl(sources_[source].url);
  return source == 0 ? url : "mirror " + std::to_string(source) + " (" + url + ")";
}

// ---- Start ---------------------------------------------------------------------------

void TPiecesTransfer::Start() {
  job_.run_.Begin();
  job_.failure_kind_ = TFailureKind::kNone;
  job_.SetPhase(TJobPhase::kConnecting);
  job_.status_ = "Initiating download...";
  job_.BeginTransfer(0);
  const int64_t size = job_.expected_.size;
  TPartInfo info;
  const bool kept = mode_ != TTryMode::kWhole && job_.part_.Size() > 0 && ReadPartInfo(job_.part_name_, info) &&
                    info.total > 0 && (size < 0 || info.total == size);
  if (size >= 0 || kept) {
    if (!MakePlan(size >= 0 ? size : info.total)) return;
  } else {
    if (!job_.part_.Restart()) return Fail(kCannotWrite + SystemReason());
    return Probe();
  }
  if (!TakeKeptPieces()) return;
  if (!job_.Changed()) return;
  Fill();
}

bool TPiecesTransfer::MakePlan(int64_t total) {
  const TPieceHashes& hashes = job_.expected_.pieces;
  if (!hashes.Empty() && !hashes.Fits(total)) {
    // The hashes were given for another file: nothing can be proven.
    job_.NoteFailure(TFailureKind::kNotExpected);
    Fail("Download failed: the server's file has " + std::to_string(total) + " bytes, which the " +
         std::to_string(hashes.sha256.size()) + " piece hashes given do not fit.");
    return false;
  }
  plan_ = std::make_unique<TPiecePlan>(total, hashes.Empty() ? PieceSizeFor(total) : hashes.piece_size);
  plan_->SetHostLimit(job_.connections_per_host_);
  for (const TSource& s : sources_) plan_->AddSource(HostOf(s.url));
  served_by_.assign(static_cast<size_t>(plan_->Count()), -1);
  piece_digest_.assign(static_cast<size_t>(plan_->Count()), "");
  // The other sources start at once (from the event loop, when the first
  // answer named the length).
  tick_.Start(0);
  return true;
}

bool TPiecesTransfer::TakeKeptPieces() {
  TPartInfo info;
  const int64_t size = job_.part_.Size();
  if (mode_ == TTryMode::kWhole || size <= 0 || !ReadPartInfo(job_.part_name_, info) ||
      info.total != plan_->Total()) {
    if (!job_.part_.Restart()) {
      Fail(kCannotWrite + SystemReason());
      return false;
    }
    return true;
  }
  // Without a hash the file comes from the URL alone, and only the bytes of
  // its recorded version continue.
  const bool proven = !job_.expected_.sha256.empty() || !job_.expected_.pieces.Empty();
  if (!proven && (info.url != job_.RecordedUrl() || info.validator.empty())) {
    if (!job_.part_.Restart()) {
      Fail(kCannotWrite + SystemReason());
      return false;
    }
    return true;
  }
  TPiecePlan kept(plan_->Total(), plan_->PieceSize());
  if (!info.pieces.empty()) {
    kept.LoadRecord(info.pieces);
  } else {
    // One run of bytes from the beginning: the pieces it covers.
    for (int i = 0; i < kept.Count() && kept.End(i) <= size; ++i) kept.Done(i);
  }
  if (kept.DoneCount() > 0 && mode_ == TTryMode::kAsk && job_.question_) {
    auto alive = job_.lifetime_.Token();
    const TRunToken asked = job_.run_.Token();
    job_.SetPhase(TJobPhase::kAsking);
    const bool resume = job_.question_->AskResume(kResumeQuestion);
    if (!alive || !job_.run_.IsCurrent(asked)) return false;
    job_.SetPhase(TJobPhase::kConnecting);
    if (!resume) kept = TPiecePlan(plan_->Total(), plan_->PieceSize());
  }
  if (kept.DoneCount() == 0) {
    if (!job_.part_.Restart()) {
      Fail(kCannotWrite + SystemReason());
      return false;
    }
    return true;
  }
  // Without a hash the kept bytes continue only under the recorded version.
  validator_ = info.validator;
  if (!proven) sources_[0].validator = info.validator;
  const bool prove = !job_.expected_.pieces.Empty();
  for (int i = 0; i < kept.Count(); ++i) {
    if (kept.State(i) != TPiecePlan::TState::kDone) continue;
    plan_->Done(i);
    if (!prove) continue;
    // A kept piece is proven again before it counts: the part may have been
    // damaged since.
    try {
      auto file = std::make_unique<TFileStream>(job_.part_.Duplicate(), job_.part_name_);
      file->Seek(plan_->End(i), TSeekOrigin::soBeginning);
      auto stream = std::make_unique<TQueuedFileStream>(std::move(file), kPieceQueueBytes);
      stream->HashWithSha256(plan_->Begin(i));
      ++verifying_;
      finishing_.push_back(std::make_unique<TFinishing>());
      TFinishing* f = finishing_.back().get();
      f->stream = std::move(stream);
      f->stream->Finish([this, f, i](const std::string& error) {
        const std::string digest = f->stream->Sha256();
        std::erase_if(finishing_, [f](const auto& p) { return p.get() == f; });
        --verifying_;
        if (!error.empty() || digest != job_.expected_.pieces.sha256[static_cast<size_t>(i)]) plan_->Reset(i);
        if (ended_) return;
        Fill();
      });
    } catch (const std::exception&) {
      Fail(kCannotWrite + SystemReason());
      return false;
    }
  }
  job_.BeginTransfer(plan_->BytesHeld());
  return true;
}

// ---- Connections ---------------------------------------------------------------------

void TPiecesTransfer::Probe() {
  // The other sources are asked once the length is known: the first source
  // that answers names it.
  probe_at_ms_ = -1;
  TPiecePlan::TTake first;
  first.piece = -1;
  Open(probe_source_, first);
}

void TPiecesTransfer::Fill() {
  if (ended_ || aborting_ || committing_ || !plan_) return;
  const int64_t now = NowMs();
  // A source far slower than the best gets no new piece while another may
  // take it.
  int usable = 0;
  for (int s = 0; s < plan_->Sources(); ++s) usable += plan_->Dropped(s) ? 0 : 1;
  for (int s = 0; s < plan_->Sources() && usable > 1; ++s) {
    if (plan_->Dropped(s) || !plan_->Slow(s, now)) continue;
    double best = 0;
    for (int o = 0; o < plan_->Sources(); ++o) best = std::max(best, plan_->Rate(o, now));
    DropSource(s, "is too slow (" + FormatRate(plan_->Rate(s, now)) + " against " + FormatRate(best) +
                      "); not used again");
    --usable;
  }
  // The fastest sources first: they take the next pieces (sources not
  // measured yet count as fast).
  std::vector<int> order;
  for (int s = 0; s < plan_->Sources(); ++s) order.push_back(s);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    const double ra = plan_->Rate(a, now), rb = plan_->Rate(b, now);
    return (ra < 0 ? 1e300 : ra) > (rb < 0 ? 1e300 : rb);
  });
  for (int s : order) {
    while (plan_->MayConnect(s, now)) {
      const TPiecePlan::TTake take = plan_->Next(s, now);
      if (take.piece < 0) break;
      if (take.taken_from >= 0) {
        StopHolder(take.piece);
        break;
      }
      Open(s, take);
    }
  }
  if (connections_.empty() && finishing_.empty() && verifying_ == 0) {
    if (plan_->Complete()) return CommitWhenDone();
    // Only a source waiting for its Retry-After may still bring the rest.
    bool waiting = false;
    for (int s = 0; s < plan_->Sources(); ++s) waiting = waiting || (!plan_->Dropped(s) && plan_->WaitUntil(s) > now);
    if (!waiting && whole_only_ >= 0) return StartOver(whole_only_, true);
    if (!waiting) return Fail(last_failure_.empty() ? std::string(kIncomplete) : last_failure_);
  }
}

void TPiecesTransfer::Open(int source, const TPiecePlan::TTake& take) {
  auto owned = std::make_unique<TConnection>();
  TConnection& c = *owned;
  c.source = source;
  c.piece = take.piece;
  if (take.piece >= 0) {
    c.from = take.from;
    c.end = plan_->End(take.piece);
    plan_->Connected(source, NowMs());
    c.counted_open = true;
  } else {
    c.from = 0;
    c.end = kMinPieceBytes;
  }
  TPieceSource piece_source;
  piece_source.url = sources_[source].url;
  piece_source.part_name = job_.part_name_;
  piece_source.connect_timeout = job_.connect_timeout_;
  piece_source.idle_timeout = job_.idle_timeout_;
  piece_source.ftp_data_mode = job_.ftp_data_mode_;
  piece_source.http_created = [this](THttpCli* http) {
    return FireEvent(job_.lifetime_, job_.OnHttpClientCreated, &job_, http);
  };
  piece_source.ftp_created = [this](TFtpClient* ftp) {
    return FireEvent(job_.lifetime_, job_.OnFtpClientCreated, &job_, ftp);
  };
  c.fetcher = MakePieceFetcher(std::move(piece_source));
  c.fetcher->OnAnswer = [this, &c](const TPieceFetcher::TAnswer& answer, int64_t& end) {
    return Answered(c, answer, end);
  };
  c.fetcher->OnData = [this, &c] { DocData(c); };
  c.fetcher->OnEnd = [this, &c](const TPieceFetcher::TEnd& end) { RequestDone(c, end); };
  connections_.push_back(std::move(owned));
  if (!c.fetcher->Open()) return;
  Request(c);
}

void TPiecesTransfer::Request(TConnection& c) {
  c.failure.clear();
  c.action = TConnection::kNone;
  c.counted = 0;
  c.stopping = false;
  c.fetcher->Fetch(c.from, c.end, sources_[c.source].validator);
}

// What the source said before the piece's first byte: a part of the range
// asked for, of the file every source serves, goes to its place in the part.
// A refused piece ends the request (c.failure says why).
TStream* TPiecesTransfer::Answered(TConnection& c, const TPieceFetcher::TAnswer& answer, int64_t& end) {
  using TKind = TPieceFetcher::TAnswerKind;
  TSource& source = sources_[c.source];
  const int64_t total = answer.total;
  auto refuse = [&](const std::string& failure, decltype(c.action) action) -> TStream* {
    c.failure = failure;
    c.action = action;
    return nullptr;
  };
  if (answer.kind == TKind::kWhole) {
    // The whole file: the server sends no parts, or (after If-Range) the
    // file changed since its first answer.
    if (sources_.size() == 1 || !plan_)
      return refuse("Download failed: " + answer.status,
                    source.validator.empty() ? TConnection::kWhole : TConnection::kRestart);
    // Kept for a whole-file request when no source serves parts.
    if (whole_only_ < 0) whole_only_ = c.source;
    return refuse("sent the whole file instead of a part of it", TConnection::kDrop);
  }
  if (answer.kind == TKind::kOtherPart || total < 0)
    return refuse("sent another part of the file than was asked for", TConnection::kDrop);
  // A connection that asked before its source named a version compares it
  // here.
  const bool other = !source.validator.empty() && !answer.validator.empty() && answer.validator != source.validator;
  if (answer.kind == TKind::kOtherVersion || other) {
    if (sources_.size() == 1) return refuse("the file changed on the server", TConnection::kRestart);
    return refuse("sent another version of the file", TConnection::kDrop);
  }
  if (plan_ && total != plan_->Total()) {
    if (job_.expected_.size >= 0) {
      job_.NoteFailure(TFailureKind::kNotExpected);
      return refuse(job_.SizeMismatch(total), TConnection::kDrop);
    }
    return refuse("has a file of " + std::to_string(total) + " bytes, not " + std::to_string(plan_->Total()),
                  TConnection::kDrop);
  }
  if (source.validator.empty()) source.validator = answer.validator;
  if (validator_.empty()) validator_ = source.validator;
  if (!plan_) {
    // The first answer names the length: the pieces are planned now.
    if (!MakePlan(total)) return refuse("", TConnection::kEnded);
    const TPiecePlan::TTake take = plan_->Next(c.source, NowMs());
    plan_->Connected(c.source, NowMs());
    c.counted_open = true;
    if (take.piece != 0) return refuse("Download failed: no piece to fetch", TConnection::kRestart);
    c.piece = 0;
    c.end = std::min(c.end, plan_->End(0));
  }
  if (!transferring_) {
    transferring_ = true;
    job_.SetPhase(TJobPhase::kTransferring);
  }
  try {
    auto file = std::make_unique<TFileStream>(job_.part_.Duplicate(), job_.part_name_);
    file->Seek(c.from, TSeekOrigin::soBeginning);
    c.stream = std::make_unique<TQueuedFileStream>(std::move(file), kPieceQueueBytes);
  } catch (const std::exception&) {
    job_.NoteFailure(TFailureKind::kFileIo);
    return refuse(kCannotWrite + SystemReason(), TConnection::kNone);
  }
  TQueuedFileStream& stream = *c.stream;
  stream.WriteInPlace();
  stream.SetBound(c.end);
  stream.SetStallLimit(job_.idle_timeout_);
  // Each piece is hashed as it is written: against the publisher's piece
  // hash, or, with the whole file's only, to compare sources when it fails.
  if (!job_.expected_.pieces.Empty() || !job_.expected_.sha256.empty()) stream.HashWithSha256(plan_->Begin(c.piece));
  stream.OnFull = [this, &c] {
    c.full = true;
    Hold(held_);
  };
  stream.OnDrained = [this, &c] {
    c.full = false;
    Hold(held_);
  };
  stream.OnWriteError = [this](const std::string& reason) {
    job_.NoteFailure(TFailureKind::kFileIo);
    job_.WriteFailed(kCannotWrite + reason);
  };
  if (held_) Hold(held_);
  end = c.end;
  return c.stream.get();
}

void TPiecesTransfer::DocData(TConnection& c) {
  if (!c.stream || !plan_ || c.piece < 0) return;
  const int64_t written = std::min(c.stream->Position(), c.end) - c.from;
  job_.SpendReceived(written - c.counted, c.fetcher->Http());
  plan_->Received(c.source, written - c.counted);
  plan_->Wrote(c.piece, written - c.counted);
  c.counted = written;
  Progress(false);
}

void TPiecesTransfer::RequestDone(TConnection& c, const TPieceFetcher::TEnd& end) {
  // Stopped on the way out (a start again, the commit): nothing to report.
  if (ended_ || committing_) return Close(c);
  const bool complete = end.answered && c.stream && c.counted == c.end - c.from;
  const int source = c.source;
  if (complete) {
    sources_[source].failures = 0;
    // A source's next piece waits for the proof of this one: a source that
    // sent a damaged piece gets no second.
    c.waiting = !job_.expected_.pieces.Empty();
    FinishPiece(c, true);
    if (!c.waiting) NextPiece(c);
    return;
  }
  if (c.stopping || aborting_) {
    FinishPiece(c, false);
    Close(c);
    if (aborting_ && connections_.empty()) return EndAborted();
    return Fill();
  }
  // A failed request: the piece goes back, the source waits or is left.
  std::string reason = c.failure;
  if (reason.empty()) reason = end.reason.empty() ? "the connection closed before the end of the piece" : end.reason;
  if (reason.starts_with("Download failed: ")) reason = reason.substr(17);
  last_failure_ = "Download failed: " + reason;
  last_failure_kind_ = c.action == TConnection::kDrop ? TFailureKind::kProtocol
                       : !c.failure.empty()           ? TFailureKind::kGeneric
                                                      : end.kind;
  auto action = c.action;
  if (action == TConnection::kNone && end.no_parts) {
    // A source that cannot serve pieces: alone (or the first asked) it is
    // fetched whole, one of several it is left, kept for a whole-file
    // request when no source serves parts.
    if (sources_.size() == 1 || !plan_) {
      action = TConnection::kWhole;
    } else {
      if (whole_only_ < 0) whole_only_ = source;
      action = TConnection::kDrop;
    }
  }
  const int64_t retry_after = end.retry_after_ms;
  FinishPiece(c, false);
  Close(c);
  if (action == TConnection::kWhole || action == TConnection::kRestart)
    return StartOver(source, action == TConnection::kWhole);
  const bool transient =
      action == TConnection::kNone &&
      (end.answered || end.transient || TransientSocketError(end.socket_error, sources_[source].failures));
  if (!plan_) {
    // The first request failed: tried again after a while, else the next
    // source is asked for the length.
    if (transient && ++sources_[source].failures <= job_.retries_) {
      probe_source_ = source;
      probe_at_ms_ = NowMs() + (int64_t{1000} << std::min(sources_[source].failures - 1, 8)) * std::max(1, job_.retry_wait_);
      tick_.Start(kTickMs);
      return;
    }
    if (source + 1 < static_cast<int>(sources_.size())) {
      job_.abandoned_text_ = SourceName(source) + " failed: " + reason + "; not used again";
      job_.ShowRetryStatus(job_.abandoned_text_);
      probe_source_ = source + 1;
      probe_at_ms_ = NowMs();
      if (!job_.Changed()) return;
      return Probe();
    }
    return Fail(last_failure_);
  }
  if (action == TConnection::kNone && end.busy) {
    // Fewer connections to this source, and nothing before its Retry-After.
    plan_->Busy(source, NowMs() + (retry_after >= 0 ? retry_after : int64_t{1000} * std::max(1, job_.retry_wait_)));
  } else if (transient && ++sources_[source].failures <= job_.retries_) {
    plan_->Busy(source, NowMs() + (int64_t{1000} << std::min(sources_[source].failures - 1, 8)) *
                                      std::max(1, job_.retry_wait_));
  } else if (!plan_->Dropped(source)) {
    DropSource(source, (end.no_parts ? "" : "failed: ") + reason + "; not used again");
  }
  if (ended_) return;
  Fill();
}

void TPiecesTransfer::StartOver(int source, bool whole) {
  aborting_ = true;
  ended_ = true;
  tick_.Stop();
  for (auto& other : connections_) {
    other->stopping = true;
    other->fetcher->Abort();
  }
  finishing_.clear();
  if (whole) job_.pieces_refused_ = true;
  if (!job_.part_.Restart()) {
    job_.Finish(false, kCannotWrite + SystemReason());
    return End(false);
  }
  // The source's place among the URL and its mirrors.
  const auto mirror = std::find(job_.mirrors_.begin(), job_.mirrors_.end(), sources_[source].url);
  const size_t k = source == 0 || mirror == job_.mirrors_.end() ? 0 : mirror - job_.mirrors_.begin() + 1;
  job_.Schedule(
      [&job = job_, k] {
        if (k == 0)
          job.StartTry(TTryMode::kWhole);
        else
          job.NextMirror(k);
      },
      0);
  job_.ChangedLast();
}

void TPiecesTransfer::NextPiece(TConnection& c) {
  c.waiting = false;
  if (!aborting_ && !ended_ && !committing_) {
    const TPiecePlan::TTake take = plan_->Next(c.source, NowMs());
    if (take.piece >= 0 && take.taken_from < 0) {
      c.piece = take.piece;
      c.from = take.from;
      c.end = plan_->End(take.piece);
      return Request(c);
    }
    if (take.piece >= 0) StopHolder(take.piece);
  }
  Close(c);
  if (aborting_ && !ended_ && connections_.empty()) return EndAborted();
  Fill();
}

void TPiecesTransfer::FinishPiece(TConnection& c, bool complete) {
  if (!c.stream) {
    if (c.piece >= 0 && plan_) plan_->Failed(c.piece, false);
    return;
  }
  c.fetcher->Release();
  // The next piece is read unless the user holds the download.
  c.full = false;
  c.fetcher->Hold(held_);
  finishing_.push_back(std::make_unique<TFinishing>());
  TFinishing* f = finishing_.back().get();
  f->stream = std::move(c.stream);
  f->stream->OnFull = nullptr;  // the connection goes on without it
  f->stream->OnDrained = nullptr;
  const int source = c.source, piece = c.piece;
  // The piece counts once every byte of it is written (and proven).
  const bool whole = complete && c.end == plan_->End(piece);
  TConnection* waiting = c.waiting ? &c : nullptr;
  f->stream->Finish([this, f, source, piece, whole, waiting](const std::string& error) {
    const std::string digest = f->stream->Sha256();
    std::erase_if(finishing_, [f](const auto& p) { return p.get() == f; });
    PieceWritten(source, piece, whole, error, digest);
    // The connection that waited for this proof goes on, when it still
    // stands (a dropped source's was stopped).
    if (ended_ || !waiting) return;
    for (auto& c : connections_)
      if (c.get() == waiting && c->waiting) return NextPiece(*c);
  });
}

void TPiecesTransfer::PieceWritten(int source, int piece, bool complete, const std::string& error,
                                   const std::string& digest) {
  if (ended_) return;
  const TPieceHashes& hashes = job_.expected_.pieces;
  if (!error.empty() || !complete) {
    plan_->Failed(piece, false);
  } else if (!hashes.Empty() && digest != hashes.sha256[static_cast<size_t>(piece)]) {
    plan_->Failed(piece, true);
    // When no other source can bring the piece, the file is not the one
    // the publisher proved.
    last_failure_ = job_.NotTheFileText();
    last_failure_kind_ = TFailureKind::kNotExpected;
    DropSource(source, "sent a damaged piece; not used again");
    if (ended_) return;
  } else {
    plan_->Done(piece);
    for (TSample& t : samples_)
      if (t.piece == piece && t.second < 0) {
        t.second = source;
        t.agreed = digest == t.digest;
      }
    served_by_[static_cast<size_t>(piece)] = source;
    piece_digest_[static_cast<size_t>(piece)] = digest;
    Record();
  }
  Fill();
}

void TPiecesTransfer::Close(TConnection& c) {
  if (c.counted_open && plan_) plan_->Disconnected(c.source, NowMs());
  // The client may be inside its own completion, which allows this.
  std::erase_if(connections_, [&c](const auto& p) { return p.get() == &c; });
}

void TPiecesTransfer::StopHolder(int piece) {
  for (auto& c : connections_)
    if (c->piece == piece && !c->stopping) {
      c->stopping = true;
      c->fetcher->Abort();
    }
}

void TPiecesTransfer::DropSource(int source, const std::string& why) {
  plan_->Drop(source);
  for (auto& c : connections_)
    if (c->source == source && !c->stopping) {
      c->stopping = true;
      c->fetcher->Abort();
    }
  job_.abandoned_text_ = SourceName(source) + " " + why;
  job_.ShowRetryStatus(job_.abandoned_text_);
  // Shown from the event loop: a viewer's handler may destroy the job, which
  // the code that dropped the source could not notice.
  drop_shown_ = false;
  show_drop_.Start(0);
}

bool TPiecesTransfer::ShowDrop() {
  if (drop_shown_) return true;
  drop_shown_ = true;
  return job_.Changed();
}

void TPiecesTransfer::Tick() {
  if (ended_) return;
  if (!plan_) {
    if (probe_at_ms_ >= 0 && NowMs() >= probe_at_ms_) return Probe();
    return tick_.Start(kTickMs);
  }
  tick_.Start(kTickMs);
  Fill();
  if (!ended_) Progress(false);
}

void TPiecesTransfer::Progress(bool now) {
  // The line that names a dropped source stays until it was shown.
  if (!plan_ || !drop_shown_ || (!now && !job_.UpdateDue())) return;
  job_.sources_text_ = SourcesText(plan_->SourcesInUse(), plan_->ConnectionsInUse());
  job_.UpdateProgress(static_cast<double>(plan_->Total()), static_cast<double>(plan_->BytesHeld()));
}

void TPiecesTransfer::Record() {
  if (!WritePartInfo(job_.part_name_,
                     TPartInfo{job_.RecordedUrl(), plan_->Total(), validator_, plan_->RecordText()}))
    validator_.clear();
}

// ---- The end -------------------------------------------------------------------------

void TPiecesTransfer::CommitWhenDone() {
  committing_ = true;
  tick_.Stop();
  for (auto& c : connections_) c->stopping = true;
  connections_.clear();  // idle connections: none is inside an event now
  job_.sources_text_.clear();
  job_.SetPhase(TJobPhase::kCommitting);
  if (job_.expected_.sha256.empty()) return Committed(job_.CommitDownload(plan_->Total(), ""));
  // The whole file is read back and hashed on the writer thread.
  try {
    auto file = std::make_unique<TFileStream>(job_.part_.Duplicate(), job_.part_name_);
    file->Seek(0, TSeekOrigin::soEnd);
    finishing_.push_back(std::make_unique<TFinishing>());
    TFinishing* f = finishing_.back().get();
    f->stream = std::make_unique<TQueuedFileStream>(std::move(file), kPieceQueueBytes);
    f->stream->SetStallLimit(job_.idle_timeout_);
    f->stream->HashWithSha256();
    f->stream->Finish([this, f](const std::string& error) {
      const std::string digest = f->stream->Sha256();
      std::erase_if(finishing_, [f](const auto& p) { return p.get() == f; });
      if (!error.empty()) {
        job_.NoteFailure(TFailureKind::kFileIo);
        return Committed(kCannotWrite + error);
      }
      // A file joined from several sources that is not the publisher's is
      // repaired from the others before it counts as not the publisher's.
      if (digest != job_.expected_.sha256 && job_.expected_.pieces.Empty() && Repair()) return;
      if (digest == job_.expected_.sha256 && !suspects_.empty()) {
        job_.abandoned_text_ = SourceName(suspects_.back()) + " sent a damaged piece; not used again";
        job_.status_ = job_.abandoned_text_;
        if (!job_.Changed()) return;
      }
      Committed(job_.CommitDownload(plan_->Total(), digest));
    });
  } catch (const std::exception&) {
    job_.NoteFailure(TFailureKind::kFileIo);
    Committed(kCannotWrite + SystemReason());
  }
}

bool TPiecesTransfer::Repair() {
  std::vector<int> serving;
  for (int s = 0; s < plan_->Sources(); ++s)
    if (std::find(served_by_.begin(), served_by_.end(), s) != served_by_.end()) serving.push_back(s);
  if (serving.size() < 2) return false;
  std::string text;
  if (samples_.empty()) {
    // A second opinion first: one piece of each source from another one.
    for (int s : serving) {
      const int piece = static_cast<int>(std::find(served_by_.begin(), served_by_.end(), s) - served_by_.begin());
      samples_.push_back(TSample{piece, s, -1, piece_digest_[static_cast<size_t>(piece)], false});
      plan_->Reset(piece);
      plan_->Avoid(piece, s);
    }
    text = "SHA-256 mismatch of a file joined from several sources: fetching one piece of each source again from another";
  } else {
    // A source that disagreed with another and agreed with none sent the
    // damage; without one, the sources are doubted one at a time.
    std::vector<int> cleared, doubted;
    for (const TSample& t : samples_) {
      if (t.second < 0) continue;
      for (int s : {t.first, t.second}) (t.agreed ? cleared : doubted).push_back(s);
    }
    std::erase_if(doubted, [&](int s) { return std::find(cleared.begin(), cleared.end(), s) != cleared.end(); });
    std::sort(doubted.begin(), doubted.end());
    doubted.erase(std::unique(doubted.begin(), doubted.end()), doubted.end());
    int suspect = -1;
    if (doubted.size() == 1 && suspects_.empty()) {
      suspect = doubted.front();
    } else {
      for (int s : serving)
        if (std::find(suspects_.begin(), suspects_.end(), s) == suspects_.end()) {
          suspect = s;
          break;
        }
    }
    if (suspect < 0) return false;
    for (int earlier : suspects_) plan_->Restore(earlier);
    suspects_.push_back(suspect);
    for (int i = 0; i < plan_->Count(); ++i)
      if (served_by_[static_cast<size_t>(i)] == suspect) plan_->Reset(i);
    plan_->Drop(suspect);
    text = "SHA-256 mismatch of a file joined from several sources: fetching the pieces of " + SourceName(suspect) +
           " again from the others";
  }
  committing_ = false;
  job_.SetPhase(TJobPhase::kTransferring);
  job_.ShowRetryStatus(text);
  if (!job_.Changed()) return true;
  tick_.Start(kTickMs);
  Fill();
  return true;
}

void TPiecesTransfer::Committed(const std::string& failure) {
  if (!ShowDrop()) return;
  if (failure.empty() && LowerCase(sources_[0].url).starts_with("ftp://")) {
    // An ftp URL's download ends with FTP's own text.
    job_.status_ = job_.CompletionText("Completed.");
    job_.Finish(true, "");
  } else {
    job_.FinishCommitted(failure);
  }
  End(failure.empty());
}

void TPiecesTransfer::Fail(const std::string& failure) {
  if (!ShowDrop()) return;
  if (failure == last_failure_) job_.NoteFailure(last_failure_kind_);
  job_.Finish(false, failure);
  End(false);
}

void TPiecesTransfer::Abort() {
  if (ended_) return;
  aborting_ = true;
  tick_.Stop();
  // A connection waiting for its last piece's proof has no request whose
  // end would report: it goes now.
  std::vector<TConnection*> idle;
  for (auto& c : connections_)
    if (c->waiting) idle.push_back(c.get());
  for (TConnection* c : idle) Close(*c);
  if (connections_.empty()) return EndAborted();
  for (auto& c : connections_) {
    c->stopping = true;
    c->fetcher->Abort();
  }
}

void TPiecesTransfer::EndAborted() {
  if (job_.write_error_.empty())
    job_.status_ = "Download Canceled.";
  else
    job_.Finish(false, job_.write_error_);
  End(false);
}

void TPiecesTransfer::End(bool complete) {
  ended_ = true;
  tick_.Stop();
  job_.sources_text_.clear();
  // What is not written yet is dropped: the record names only pieces whose
  // every byte was written.
  finishing_.clear();
  if (!complete) job_.KeepOrRemovePart(PartContinuable());
  job_.EndTransfer();
  job_.ShowFileIcon();
  job_.ChangedLast();
}

}  // namespace quillon
