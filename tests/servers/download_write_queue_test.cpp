// A download's bytes reach the disk on the writer thread: a full queue makes
// the socket wait, a failed write ends the transfer as a failure of writing,
// and a cancel with blocks still queued changes nothing under the file's
// name. Against nginx on loopback.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <string>

#include "download/download_job.h"
#include "download/queued_file_stream.h"
#include "tests/support/event_wait.h"
#include "tests/support/real_servers.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::RunUntil;

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
  EXPECT_EQ(job_.Status(), "Download Complete.");
  EXPECT_TRUE(ReadFile(Dest()) == content_);
}

TEST_F(DownloadWriteQueueTest, CancelWithBlocksQueuedLeavesNoFileUnderItsName) {
  HeldWriter held;
  job_.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return SocketWaits(); }));
  job_.ActionClick();
  EXPECT_EQ(job_.Status(), "Download Cancelled.");
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

}  // namespace
}  // namespace quillon
