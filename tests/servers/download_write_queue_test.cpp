// A download's bytes reach the disk on the writer thread: a full queue makes
// the socket wait, a failed write ends the transfer as a failure of writing,
// a disk that accepts nothing for the idle limit ends it too, a body past the
// publisher's size never reaches the disk, and a cancel with blocks still
// queued changes nothing under the file's name. Against nginx and scripted
// servers on loopback.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

#include "download/download_job.h"
#include "download/queued_file_stream.h"
#include "tests/support/event_wait.h"
#include "tests/support/ftp_script.h"
#include "tests/support/real_servers.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timed_job.h"

namespace quillon {
namespace {

using namespace testing;

// Holds the writer thread (queues fill up) until released or destroyed.
struct HeldWriter {
  HeldWriter() { TQueuedFileStream::HoldWriterForTesting(true); }
  ~HeldWriter() { Release(); }
  void Release() { TQueuedFileStream::HoldWriterForTesting(false); }
};

class DownloadWriteQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<char>((i * 13 + i / 509) & 0xFF);
    testing::WriteFile(nginx_.Root() + "/f.bin", content_);
    ASSERT_TRUE(nginx_.Start()) << nginx_.Failure();
    job_.SetURL(nginx_.Url("/f.bin"));
    job_.SetLocalFilename(Dest());
    job_.SetCancelCaption("Cancel");
    job_.SetWriteQueueLimitForTesting(256 * 1024);
  }
  std::string Dest() const { return dir_.File("f.bin"); }
  bool SocketWaits() const { return job_.HttpClient() && job_.HttpClient()->CtrlSocket().Paused(); }
  bool Ended() const { return !job_.DownloadInProgress() && !job_.HttpClient(); }

  std::string content_ = std::string(4 * 1024 * 1024, '\0');
  testing::NginxServer nginx_;
  testing::TempDir dir_;
  TDownloadJob job_;
};

TEST_F(DownloadWriteQueueTest, AFullQueuePausesTheSocketUntilTheWriterCatchesUp) {
  HeldWriter held;
  job_.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return SocketWaits(); }));
  EXPECT_NE(job_.Status(), "Paused.");  // the user did not pause it
  // The user's pause and resume meanwhile do not let the socket go on.
  job_.PauseClick();
  job_.PauseClick();
  EXPECT_TRUE(SocketWaits());
  held.Release();
  ASSERT_TRUE(RunUntil([&] { return Ended(); }, 20000));
  EXPECT_EQ(job_.Outcome(), TJobOutcome::kComplete);
  EXPECT_TRUE(ReadFile(Dest()) == content_);
}

TEST_F(DownloadWriteQueueTest, CancelWithBlocksQueuedLeavesNoFileUnderItsName) {
  HeldWriter held;
  job_.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return SocketWaits(); }));
  job_.ActionClick();
  EXPECT_EQ(job_.Outcome(), TJobOutcome::kCancelled);
  held.Release();
  testing::RunFor(100);
  EXPECT_FALSE(FileExists(Dest()));
}

TEST_F(DownloadWriteQueueTest, AFailedWriteOnTheWriterThreadEndsTheTransfer) {
  HeldWriter held;
  job_.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return SocketWaits(); }));
  // The writer meets a file-size limit while the transfer still runs.
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit limit = old_limit;
  limit.rlim_cur = 100000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  held.Release();
  const bool ended = RunUntil([&] { return Ended(); }, 20000);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(ended);
  EXPECT_EQ(job_.Status(), "Download failed: cannot write the file: File too large");
  EXPECT_EQ(job_.ActionMode(), amStart);
  EXPECT_FALSE(FileExists(Dest()));
}

// ---- Against scripted servers: one HTTP and one FTP download of `content` ----

// An HTTP/1.0 answer without a length (the end of the body is the close) or
// with one and a validator, and an FTP session whose SIZE answer says nothing
// of the length (only the publisher's size bounds the file).
struct ScriptedDownloads {
  explicit ScriptedDownloads(std::string content, bool announce_length = false)
      : http([content, announce_length](ScriptedConnection& c) {
          c.ReadUntil("\r\n\r\n");
          std::string head = "HTTP/1.0 200 OK\r\n";
          if (announce_length) head += "Content-Length: " + std::to_string(content.size()) + "\r\nETag: \"e\"\r\n";
          c.Send(head + "\r\n" + content);
        }),
        ftp_script{.content = std::move(content), .size_reply = "213 unknown"},
        ftp([this](ScriptedConnection& c) { ServeFtpFile(c, ftp_script); }) {}

  struct Case {
    const char* name;
    std::string url;
  };
  std::vector<Case> Cases() const {
    return {{"HTTP", "http://127.0.0.1:" + http.PortText() + "/f.bin"},
            {"FTP", "ftp://127.0.0.1:" + ftp.PortText() + "/pub/f.bin"}};
  }

  ScriptedServer http;
  FtpFileScript ftp_script;
  ScriptedServer ftp;
};

// A disk that takes nothing while the socket waits on it: the download fails
// after the idle limit instead of waiting for ever.
TEST(DownloadWriteQueueScriptedTest, ADiskThatAcceptsNothingFailsAfterTheIdleLimit) {
  ScriptedDownloads servers(Pattern(2 * 1024 * 1024), true);
  for (const auto& c : servers.Cases()) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    testing::TimedJob j(c.url, dir.File("f.bin"));
    j.job.SetWriteQueueLimitForTesting(64 * 1024);
    HeldWriter held;
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.job.Status(), "Download failed: cannot write the file: the disk accepted no data for 1 second.");
    EXPECT_EQ(j.job.ActionMode(), amStart);
    held.Release();
    EXPECT_FALSE(FileExists(dir.File("f.bin")));
  }
}

// A body longer than the publisher's size fails as soon as it passes it:
// under a file-size limit a few KiB above that size, a part that got more
// would fail to be written instead.
TEST(DownloadWriteQueueScriptedTest, ABodyPastThePublishersSizeNeverReachesTheDisk) {
  constexpr int64_t kSize = 300000;
  const std::string content = Pattern(kSize + 200000);
  ScriptedDownloads servers(content);
  for (const auto& c : servers.Cases()) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    testing::TimedJob j(c.url, dir.File("f.bin"));
    TExpectedFile expected;
    expected.size = kSize;
    j.job.SetExpectedFile(expected);
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit limit = old_limit;
    limit.rlim_cur = kSize + 8 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool ended = j.Run();
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_TRUE(ended);
    EXPECT_EQ(j.job.Status(), "Download failed: the server's file has more than 300000 bytes, the publisher's has 300000.");
    EXPECT_EQ(j.job.ActionMode(), amStart);
    EXPECT_FALSE(FileExists(dir.File("f.bin")));
    if (FileExists(dir.File("f.bin.part"))) {  // FTP keeps it to be continued
      const std::string part = ReadFile(dir.File("f.bin.part"));
      EXPECT_LE(part.size(), size_t{kSize});
      EXPECT_TRUE(part == content.substr(0, part.size()));
    }
  }
}

}  // namespace
}  // namespace quillon
