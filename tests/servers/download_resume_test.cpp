// Continuing an HTTP partial file with nginx on loopback: only the part of the
// same file is continued.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "download/partial_file.h"
#include "tests/support/event_wait.h"
#include "tests/support/real_servers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timed_job.h"

namespace quillon {
namespace {

using namespace testing;
using Job = testing::TimedJob;

class DownloadResumeNginxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(nginx_.Root() + "/slow");
    WriteFile(nginx_.Root() + "/slow/f.bin", Pattern(2 * 1024 * 1024));
    nginx_.AddLocations("location /slow/ { limit_rate 2m; }");
    ASSERT_TRUE(nginx_.Start()) << "nginx could not be started: " << nginx_.Failure();
  }
  // Starts a download of /slow/f.bin and cancels it once data came.
  void CancelInTheMiddle() {
    Job j(nginx_.Url("/slow/f.bin"), Dest());
    j.job.StartDownload();
    ASSERT_TRUE(RunUntil([&] { return testing::FileExists(Part()) && LocalFileSize(Part()) > 0; }));
    j.job.ActionClick();
    ASSERT_TRUE(RunUntil([&] { return !j.job.HttpClient(); }));
    EXPECT_EQ(j.job.Outcome(), TJobOutcome::kCancelled);
    int64_t size = LocalFileSize(Part());
    EXPECT_GT(size, 0);
    EXPECT_LT(size, 2 * 1024 * 1024);
  }
  std::string Dest() const { return dir_.File("f.bin"); }
  std::string Part() const { return dir_.File("f.bin.part"); }
  testing::NginxServer nginx_;
  testing::TempDir dir_;
};

TEST_F(DownloadResumeNginxTest, ContinuesThePartOfTheSameFileOnly) {
  WriteFile(Dest(), "older version");
  CancelInTheMiddle();
  EXPECT_EQ(ReadFile(Dest()), "older version");

  // Continued: the whole file, byte for byte.
  Job resumed(nginx_.Url("/slow/f.bin"), Dest());
  resumed.answer.yes = true;
  ASSERT_TRUE(resumed.Run());
  EXPECT_EQ(resumed.answer.asked, 1);
  EXPECT_EQ(resumed.job.Outcome(), TJobOutcome::kComplete);
  EXPECT_TRUE(ReadFile(Dest()) == Pattern(2 * 1024 * 1024));
  EXPECT_FALSE(FileExists(Part()));

  // Continued again, over local bytes that differ: the rest is appended.
  CancelInTheMiddle();
  int64_t kept = LocalFileSize(Part());
  {
    std::FILE* f = std::fopen(Part().c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::string marks(static_cast<size_t>(kept), 'L');
    std::fwrite(marks.data(), 1, marks.size(), f);
    std::fclose(f);
  }
  Job marked(nginx_.Url("/slow/f.bin"), Dest());
  marked.answer.yes = true;
  ASSERT_TRUE(marked.Run());
  EXPECT_TRUE(ReadFile(Dest()) == std::string(static_cast<size_t>(kept), 'L') + Pattern(2 * 1024 * 1024).substr(kept));

  // The file changed on the server: it starts again and ends as the new file.
  CancelInTheMiddle();
  const std::string changed = Pattern(2 * 1024 * 1024 + 99).substr(99);
  WriteFile(nginx_.Root() + "/slow/f.bin", changed + "new");
  Job restarted(nginx_.Url("/slow/f.bin"), Dest());
  restarted.answer.yes = true;
  ASSERT_TRUE(restarted.Run());
  EXPECT_EQ(restarted.answer.asked, 1);
  EXPECT_EQ(restarted.job.Outcome(), TJobOutcome::kComplete);
  EXPECT_TRUE(ReadFile(Dest()) == changed + "new");
}

}  // namespace
}  // namespace quillon
