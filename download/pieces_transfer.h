// TPiecesTransfer: a download fed by several HTTP and FTP sources and
// connections at once, as TDownloadJob's header describes it. The file is
// split into pieces (piece_hashes.h: the publisher's piece size, else
// PieceSizeFor the length); TPiecePlan decides which source's connection
// fetches which piece. Each connection is a TPieceFetcher of its source's
// protocol asking for one piece after another (HTTP: "Range: bytes=B-E",
// with "If-Range: <validator>" once the source has named one, on one
// persistent connection where the server keeps it; FTP: REST and RETR in one
// session, MDTM as the validator); the bookkeeping of the plan is the same
// for both. Its bytes go straight to their place in the one NAME.part (a TQueuedFileStream
// writing in place), and a piece with a publisher's hash is hashed as it is
// written and proven before it counts.
//
// What it tells the user, through the job's status: the progress line says
// how many sources and connections are in use ("from 3 sources", "over 4
// connections"), and a source that is left is named in one line with why
// ("mirror 2 (URL) sent a damaged piece; not used again", "... is too
// slow ...", "... failed: <reason>; not used again").
//
// The part's record keeps which pieces are complete (TPartInfo::pieces): a
// later start fetches only the others, and proves those it keeps again when
// piece hashes exist. With only the whole file's SHA-256, a file joined from
// several sources that fails it is repaired by fetching one source's pieces
// again from the others, one source at a time; it is renamed to NAME only
// when it matches.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/download_failure.h"
#include "download/piece_fetcher.h"
#include "download/piece_plan.h"
#include "download/transfer.h"
#include "platform/timer.h"

namespace quillon {

class TDownloadJob;
class THttpCli;
class TQueuedFileStream;
class TStream;

class TPiecesTransfer final : public TTransfer {
 public:
  // `urls`: the sources, the URL first; every one serves the same file.
  TPiecesTransfer(TDownloadJob& job, TTryMode mode, std::vector<std::string> urls);
  ~TPiecesTransfer() override;

  void Start() override;
  void Abort() override;
  bool Active() const override;
  void Hold(bool wait) override;
  bool PartContinuable() const override;
  // The first HTTP and FTP connections' clients (their settings are every
  // connection's of their protocol).
  THttpCli* HttpClient() const override;
  TFtpClient* FtpClient() const override;

 private:
  struct TSource {
    std::string url;
    std::string validator;  // from its first answer
    int failures = 0;       // transient failures in a row
  };
  struct TConnection;
  // A piece stream that finishes writing after its request ended.
  struct TFinishing;

  // The first request, when the file's length is not known yet.
  void Probe();
  // False (the download failed) when the publisher's piece hashes do not
  // fit the file's length.
  bool MakePlan(int64_t total);
  // Marks what the part's record proves done; asks the user on a new start.
  bool TakeKeptPieces();
  // Opens connections and gives free ones work while there is work.
  void Fill();
  void Open(int source, const TPiecePlan::TTake& take);
  void Request(TConnection& c);
  // What the source said before the piece's first byte: the stream for its
  // bytes, or nullptr when the piece is refused (c.failure says why).
  TStream* Answered(TConnection& c, const TPieceFetcher::TAnswer& answer, int64_t& end);
  void DocData(TConnection& c);
  void RequestDone(TConnection& c, const TPieceFetcher::TEnd& end);
  // The download starts again as one request for the whole file from
  // `source` (`whole`: it sends no parts), or in pieces (the file changed).
  void StartOver(int source, bool whole);
  // The connection asks for its source's next piece, or ends.
  void NextPiece(TConnection& c);
  // The connection's piece stream finishes; its piece is then done, proven
  // or failed.
  void FinishPiece(TConnection& c, bool complete);
  void PieceWritten(int source, int piece, bool complete, const std::string& error, const std::string& digest);
  // The connection ends (its client is dropped once its event returns).
  void Close(TConnection& c);
  // Stops the connection that holds `piece` (the end: a faster source takes it).
  void StopHolder(int piece);
  // Drops a source for good with the line that says why.
  void DropSource(int source, const std::string& why);
  // Shows the line of a dropped source not shown yet; false when the
  // viewer destroyed the job.
  bool ShowDrop();
  std::string SourceName(int source) const;
  void Tick();
  void Progress(bool now);
  // Every piece is done and written: the whole file's checks, then NAME.
  void CommitWhenDone();
  // The whole file failed its SHA-256: one round of fetching pieces again
  // (one piece of each source from another, then the pieces of the source
  // that disagreed with the others, else of each source in turn). False
  // when nothing is left to try.
  bool Repair();
  void Committed(const std::string& failure);
  // No source can give the missing pieces: the download fails with `failure`.
  void Fail(const std::string& failure);
  // Every connection has ended after Abort: cancelled, or failed with the
  // part's write error that aborted it.
  void EndAborted();
  void End(bool complete);
  // The pieces' record in the part's record.
  void Record();
  int64_t NowMs() const;

  TDownloadJob& job_;
  const TTryMode mode_;
  std::vector<TSource> sources_;
  std::unique_ptr<TPiecePlan> plan_;
  std::vector<std::unique_ptr<TConnection>> connections_;
  std::vector<std::unique_ptr<TFinishing>> finishing_;
  std::vector<int> served_by_;  // the source of each done piece
  std::vector<int> suspects_;   // sources whose pieces were fetched again
  std::vector<std::string> piece_digest_;  // of each done piece, as written
  // A piece fetched again from another source than the first, and whether
  // the two agreed.
  struct TSample {
    int piece;
    int first;
    int second;  // -1 until it came
    std::string digest;  // the first source's
    bool agreed;
  };
  std::vector<TSample> samples_;
  std::string validator_;       // recorded with the part
  std::string last_failure_;
  TFailureKind last_failure_kind_ = TFailureKind::kGeneric;
  platform::OneShotTimer tick_;
  platform::OneShotTimer show_drop_;
  bool held_ = false;
  bool aborting_ = false;
  bool ended_ = false;
  bool committing_ = false;
  bool transferring_ = false;
  bool drop_shown_ = true;  // the line of the last dropped source was shown
  int verifying_ = 0;  // kept pieces being proven again
  int whole_only_ = -1;      // the first source that sent the whole file for a part
  int probe_source_ = 0;     // the source asked for the length
  int64_t probe_at_ms_ = -1;  // when it is asked again
};

}  // namespace quillon
