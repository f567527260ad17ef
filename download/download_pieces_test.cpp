// A download fed by several sources and connections at once, against
// scripted sources that serve ranges of one file (HTTP ranges, FTP REST):
// damaged pieces, 429s, servers without ranges or SIZE, a file that changes
// under If-Range, and a part kept with pieces done out of order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/sha256_hasher.h"
#include "download/download_job.h"
#include "download/partial_file.h"
#include "download/queued_file_stream.h"
#include "tests/support/ftp_script.h"
#include "tests/support/pattern.h"
#include "tests/support/range_source.h"
#include "tests/support/recording_job.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using namespace testing;

constexpr int64_t kMiB = int64_t{1} << 20;

std::string Sha256Of(const std::string& bytes) {
  TSha256Hasher h;
  h.Update(bytes.data(), bytes.size());
  return h.HexDigest();
}

TPieceHashes PieceHashesOf(const std::string& bytes) {
  TPieceHashes hashes;
  hashes.piece_size = kMiB;
  for (size_t at = 0; at < bytes.size(); at += kMiB) hashes.sha256.push_back(Sha256Of(bytes.substr(at, kMiB)));
  return hashes;
}


// An FTP source of the file (SIZE, MDTM, REST, RETR; a transfer the client
// cuts short at the piece's end still gets its 226), keeping each session's
// command lines.
struct FtpRangeSource {
  FtpFileScript script;
  std::mutex mutex;
  std::vector<std::vector<std::string>> sessions;
  std::string second_mdtm;  // the MDTM answer of the second session on ("": the same)
  std::atomic<int> opened{0};
  std::unique_ptr<ScriptedServer> server = std::make_unique<ScriptedServer>([this](ScriptedConnection& c) {
    FtpFileScript session = script;
    if (opened++ > 0 && !second_mdtm.empty()) session.mdtm_reply = second_mdtm;
    std::vector<std::string> commands = ServeFtpFile(c, session);
    std::lock_guard<std::mutex> lock(mutex);
    sessions.push_back(std::move(commands));
  });

  std::string Url() const { return "ftp://127.0.0.1:" + server->PortText() + "/f.bin"; }
  // Waits for the sessions' ends; then the lines are all in.
  void Stop() { server.reset(); }
  // The REST offsets asked for, sorted, and the RETRs of the busiest session.
  std::vector<int64_t> Rests() const {
    std::vector<int64_t> rests;
    for (const auto& session : sessions)
      for (const std::string& line : session)
        if (line.starts_with("REST ")) rests.push_back(std::stoll(line.substr(5)));
    std::sort(rests.begin(), rests.end());
    return rests;
  }
  size_t MostRetrs() const {
    size_t most = 0;
    for (const auto& session : sessions)
      most = std::max<size_t>(most, std::count_if(session.begin(), session.end(),
                                                  [](const std::string& l) { return l.starts_with("RETR "); }));
    return most;
  }
};

TEST(DownloadPiecesTest, SourcesAndTheirAnswers) {
  const std::string file = Pattern(4 * kMiB + 1000);  // five pieces
  const std::string other = Pattern(4 * kMiB + 1000, 7);
  enum Proof { kNoHash, kWholeHash, kPieceHashes };
  struct Case {
    const char* name;
    int sources;
    int connections;
    Proof proof;
    std::function<void(RangeSource&, int index)> set;
    std::string status;
    std::string seen;        // a status shown on the way ("": none asked for)
    bool changed = false;    // the file ends as the changed version
    int ftp = 0;             // FTP sources after the HTTP ones (the URL when there is no HTTP one)
    std::function<void(FtpFileScript&)> ftp_set = [](FtpFileScript&) {};
    std::vector<int64_t> rests{};  // the REST offsets the FTP sources were asked for (when said)
    std::string second_mdtm{};  // the FTP sources' file changes for their second session
  } cases[] = {
      {"three sources assemble the file", 3, 1, kWholeHash, [](RangeSource&, int) {},
       "Download Complete. (verified)", "", false},
      {"a damaged piece is fetched elsewhere and its source dropped", 3, 1, kPieceHashes,
       [](RangeSource& s, int i) { s.damages = i == 1; }, "Download Complete.",
       "sent a damaged piece; not used again", false},
      {"with the whole file's hash only, a damaged source is found and left", 3, 1, kWholeHash,
       [](RangeSource& s, int i) { s.damages = i == 2; }, "Download Complete. (verified)",
       "SHA-256 mismatch of a file joined from several sources", false},
      {"the one source sends a damaged piece: not the publisher's file", 1, 2, kPieceHashes,
       [](RangeSource& s, int) { s.damages = true; },
       "Download failed: the file is not the one the publisher signed (SHA-256 mismatch).",
       "sent a damaged piece; not used again", false},
      {"429 makes that source wait, not the others", 2, 1, kWholeHash,
       [](RangeSource& s, int i) { s.busy_first = i == 1 ? 2 : 0; }, "Download Complete. (verified)", "", false},
      {"one source, three connections, no hash", 1, 3, kNoHash, [](RangeSource&, int) {}, "Download Complete.", "",
       false},
      {"a server without ranges is fetched with one GET", 1, 3, kNoHash,
       [](RangeSource& s, int) { s.ranges = false; }, "Download Complete.", "", false},
      {"the file changes under If-Range: the download starts again", 1, 2, kNoHash,
       [&](RangeSource& s, int) {
         s.changes_after = 3;
         s.changed = other;
       },
       "Download Complete.", "", true},
      {"an FTP mirror serves pieces with REST among HTTP ones", 2, 1, kWholeHash, [](RangeSource&, int) {},
       "Download Complete. (verified)", "", false, 1},
      {"an FTP mirror without SIZE is left, the HTTP ones serve", 2, 1, kWholeHash, [](RangeSource&, int) {},
       "Download Complete. (verified)", "gives no size for the file (SIZE: 550 Could not get file size.)", false, 1,
       [](FtpFileScript& f) { f.size_reply = "550 Could not get file size."; }},
      {"an FTP mirror that refuses REST is left", 2, 1, kWholeHash, [](RangeSource&, int) {},
       "Download Complete. (verified)", "does not resume transfers (REST: 502 Command not implemented)", false, 1,
       [](FtpFileScript& f) { f.rest_reply = "502 Command not implemented"; }},
      {"an FTP mirror whose file changes between sessions is left", 1, 2, kWholeHash, [](RangeSource&, int) {},
       "Download Complete. (verified)", "failed: sent another version of the file; not used again", false, 1,
       [](FtpFileScript&) {}, {}, "213 20260202120000"},
      {"an FTP URL alone whose file changes between sessions starts again", 0, 2, kNoHash, [](RangeSource&, int) {},
       "Completed.", "", false, 1, [](FtpFileScript&) {}, {}, "213 20260202120000"},
      // Each transfer cut at its piece's end is answered as a real server
      // does, with a 426.
      {"an FTP URL alone over two sessions, one piece after another", 0, 2, kNoHash, [](RangeSource&, int) {},
       "Completed.", "", false, 1,
       [](FtpFileScript& f) { f.cut_reply = "426 Failure writing network stream."; },
       {kMiB, 2 * kMiB, 3 * kMiB, 4 * kMiB}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::unique_ptr<RangeSource>> sources;
    std::vector<std::string> mirrors;
    for (int i = 0; i < c.sources; ++i) {
      sources.push_back(std::make_unique<RangeSource>());
      sources.back()->content = file;
      c.set(*sources.back(), i);
      if (i > 0) mirrors.push_back(sources.back()->Url());
    }
    std::vector<std::unique_ptr<FtpRangeSource>> ftps;
    for (int i = 0; i < c.ftp; ++i) {
      ftps.push_back(std::make_unique<FtpRangeSource>());
      ftps.back()->script.content = file;
      ftps.back()->script.mdtm_reply = "213 20260101120000";
      c.ftp_set(ftps.back()->script);
      ftps.back()->second_mdtm = c.second_mdtm;
      if (c.sources > 0 || i > 0) mirrors.push_back(ftps.back()->Url());
    }
    Job j(c.sources > 0 ? sources[0]->Url() : ftps[0]->Url(), dir.File("f.bin"));
    j.job.SetMirrors(mirrors);
    j.job.SetConnectionsPerHost(c.connections);
    j.job.SetRetries(2);
    j.job.SetRetryWait(0);
    j.job.SetIdleTimeout(5);
    TExpectedFile expected;
    if (c.proof == kWholeHash) expected.sha256 = Sha256Of(file);
    if (c.proof == kPieceHashes) {
      expected.size = static_cast<int64_t>(file.size());
      expected.pieces = PieceHashesOf(file);
    }
    j.job.SetExpectedFile(expected);
    j.job.StartDownload();
    ASSERT_TRUE(j.RunToEnd());
    EXPECT_EQ(j.job.Status(), c.status);
    if (c.status.starts_with("Download failed")) {
      EXPECT_EQ(j.job.FailureKind(), TFailureKind::kNotExpected);
      EXPECT_EQ(LocalFileSize(dir.File("f.bin")), -1);
    } else {
      EXPECT_TRUE(ReadFile(dir.File("f.bin")) == (c.changed ? other : file)) << "the file is not the right one";
      EXPECT_EQ(LocalFileSize(dir.File("f.bin.part")), -1);
    }
    if (!c.seen.empty()) {
      EXPECT_TRUE(std::any_of(j.statuses.begin(), j.statuses.end(),
                              [&](const std::string& s) { return s.find(c.seen) != std::string::npos; }))
            << c.seen;
    }
    for (auto& s : sources) {
      // No damaged piece from a source after its first was found: at most
      // those its connections had under way.
      EXPECT_LE(s->DamagedServed(), c.proof == kPieceHashes ? c.connections : 5);
      if (c.sources > 1 && c.proof != kNoHash) {
        EXPECT_GT(s->Requests(), 0) << "every source served";
      }
    }
    for (auto& f : ftps) {
      f->Stop();
      // A source whose file changed may be left before or after its first RETR.
      const bool serves = f->script.size_reply.empty() && f->script.rest_reply.empty();
      if (f->second_mdtm.empty()) {
        EXPECT_EQ(f->MostRetrs() > 0, serves) << "the FTP source served pieces, unless it cannot";
        EXPECT_EQ(!f->Rests().empty(), f->script.size_reply.empty()) << "pieces past the first asked for with REST";
      }
      if (!c.rests.empty()) {
        EXPECT_EQ(f->Rests(), c.rests);
        EXPECT_GE(f->MostRetrs(), 2u) << "one session served several pieces";
      }
    }
  }
}

// A part kept by an earlier run with pieces done out of order: only the
// others are fetched; with piece hashes, kept pieces are proven again and a
// damaged one is fetched anew.
TEST(DownloadPiecesTest, ResumeFetchesOnlyMissingPieces) {
  const std::string file = Pattern(4 * kMiB + 1000);
  for (const bool hashes : {false, true}) {
    SCOPED_TRACE(hashes ? "piece hashes" : "no hash");
    TempDir dir;
    RangeSource source;
    source.content = file;
    // Pieces 0 and 2 (and, damaged, 3) on disk; 0 and 2 recorded, and 3 too
    // with piece hashes (which find its damage).
    std::string part = file;
    part[3 * kMiB + 5] ^= 1;
    part.resize(4 * kMiB);
    WriteFile(dir.File("f.bin.part"), part);
    ASSERT_TRUE(WritePartInfo(dir.File("f.bin.part"), TPartInfo{source.Url(), static_cast<int64_t>(file.size()),
                                                                "\"v1\"", hashes ? "1048576:b0" : "1048576:a0"}));
    Job j(source.Url(), dir.File("f.bin"));
    j.answer.yes = true;
    j.job.SetConnectionsPerHost(2);
    if (hashes) {
      TExpectedFile expected;
      expected.size = static_cast<int64_t>(file.size());
      expected.pieces = PieceHashesOf(file);
      j.job.SetExpectedFile(expected);
    }
    j.job.StartDownload();
    ASSERT_TRUE(j.RunToEnd());
    EXPECT_EQ(j.job.Status(), "Download Complete.");
    EXPECT_EQ(j.answer.asked.size(), 1u);
    EXPECT_TRUE(ReadFile(dir.File("f.bin")) == file);
    EXPECT_EQ(source.Firsts(), (std::vector<int64_t>{kMiB, 3 * kMiB, 4 * kMiB}));
  }
}

// A cancel while a connection waits for its last piece's proof ends the
// download (the connection has no request whose end would say so).
TEST(DownloadPiecesTest, CancelWhileAPieceIsProven) {
  const std::string file = Pattern(2 * kMiB);
  TempDir dir;
  RangeSource source;
  source.content = file;
  Job j(source.Url(), dir.File("f.bin"));
  TExpectedFile expected;
  expected.size = static_cast<int64_t>(file.size());
  expected.pieces = PieceHashesOf(file);
  j.job.SetExpectedFile(expected);
  j.job.SetConnectionsPerHost(2);
  TQueuedFileStream::HoldWriterForTesting(true);  // no piece is proven
  j.job.StartDownload();
  EXPECT_TRUE(RunUntil([&] { return source.Requests() >= 1 && j.job.HttpClient()->State() == hsReady; }));
  j.job.ActionClick();
  EXPECT_TRUE(RunUntil([&] { return !j.job.DownloadInProgress(); }));
  TQueuedFileStream::HoldWriterForTesting(false);
  EXPECT_EQ(j.job.Outcome(), TJobOutcome::kCancelled);
}

}  // namespace
}  // namespace quillon
