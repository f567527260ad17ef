// What the publisher's catalogue says about a file decides whether a
// download completes: its size before the first byte, its SHA-256 over the
// whole file (a continued part's own bytes included), over http and ftp
// against nginx and vsftpd on loopback.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "base/sha256_hasher.h"
#include "download/download_job.h"
#include "download/partial_file.h"
#include "tests/support/event_wait.h"
#include "tests/support/pattern.h"
#include "tests/support/real_servers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/vsftpd_server.h"

namespace quillon {
namespace {

using namespace testing;

constexpr const char* kMismatch = "Download failed: the file is not the one the publisher signed (SHA-256 mismatch).";

struct Answer : TResumeQuestion {
  int asked = 0;
  bool AskResume(const std::string&) override { return ++asked > 0; }
};

struct Job {
  Answer answer;
  TDownloadJob job{&answer};
  Job(const std::string& url, const std::string& file, TExpectedFile expected) {
    job.SetURL(url);
    job.SetLocalFilename(file);
    job.SetCancelCaption("Cancel");
    job.SetExpectedFile(std::move(expected));
  }
  bool Run() {
    job.StartDownload();
    return RunUntil([&] { return !job.DownloadInProgress() && !job.HttpClient() && !job.FtpClient(); }, 20000);
  }
};

TExpectedFile Expect(const std::string& content, int64_t size_delta = 0) {
  return TExpectedFile{static_cast<int64_t>(content.size()) + size_delta, TSha256Hasher::HexOf(content), ""};
}

class DownloadVerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(nginx_.Root() + "/f.bin", file_);
    WriteFile(nginx_.Root() + "/other.bin", Pattern(file_.size(), 1));  // a mirror's other file
    std::filesystem::create_directories(nginx_.Root() + "/slow");
    WriteFile(nginx_.Root() + "/slow/f.bin", file_);
    nginx_.AddLocations("location /slow/ { limit_rate 2m; }");
    ASSERT_TRUE(nginx_.Start()) << nginx_.Failure();
    ASSERT_TRUE(ftp_.Start()) << ftp_.Failure();
    WriteFile(ftp_.File("f.bin"), file_);
    WriteFile(ftp_.File("other.bin"), Pattern(file_.size(), 1));
  }
  std::string FtpUrl(const std::string& name) const {
    return std::string("ftp://") + testing::VsftpdServer::kUser + ":" + testing::VsftpdServer::kPassword +
           "@127.0.0.1:" + ftp_.PortText() + "/" + name;
  }
  std::string Dest() const { return dir_.File("f.bin"); }
  std::string Part() const { return dir_.File("f.bin.part"); }

  const std::string file_ = Pattern(3 * 1024 * 1024 + 17);
  testing::NginxServer nginx_;
  testing::VsftpdServer ftp_;
  testing::TempDir dir_;
};

TEST_F(DownloadVerifyTest, TheSizeAndHashDecideOverHttpAndFtp) {
  struct Case {
    std::string url;
    TExpectedFile expected;
    std::string status;
  } cases[] = {
      {nginx_.Url("/f.bin"), Expect(file_), "Download Complete. (verified)"},
      {nginx_.Url("/other.bin"), Expect(file_), kMismatch},
      {nginx_.Url("/f.bin"), Expect(file_, 1),
       "Download failed: the server's file has " + std::to_string(file_.size()) + " bytes, the publisher's has " +
           std::to_string(file_.size() + 1) + "."},
      {nginx_.Url("/f.bin"), TExpectedFile{-1, "", "Size \"x\" is not a whole number of bytes"},
       "Download failed: Size \"x\" is not a whole number of bytes."},
      {FtpUrl("f.bin"), Expect(file_), "Completed. (verified)"},
      {FtpUrl("other.bin"), Expect(file_), kMismatch},
      {FtpUrl("f.bin"), Expect(file_, -1),
       "Download failed: the server's file has " + std::to_string(file_.size()) + " bytes, the publisher's has " +
           std::to_string(file_.size() - 1) + "."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " -> " + c.status);
    WriteFile(Dest(), "the user's own file");
    Job j(c.url, Dest(), c.expected);
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.job.Status(), c.status);
    const bool complete = c.status.find("(verified)") != std::string::npos;
    EXPECT_EQ(j.job.ActionMode(), complete ? amOpen : amStart);
    if (complete)
      EXPECT_TRUE(ReadFile(Dest()) == file_);
    else
      EXPECT_EQ(ReadFile(Dest()), "the user's own file");
    // Another file, or one of another size, leaves no part to continue.
    EXPECT_FALSE(FileExists(Part()));
  }
}

// A continued download is verified over the whole file: the bytes the part
// already held are hashed too, so a part altered on disk is caught.
TEST_F(DownloadVerifyTest, AContinuedPartIsVerifiedOverItsWholeLength) {
  for (bool altered : {false, true}) {
    SCOPED_TRACE(altered ? "altered part" : "intact part");
    {
      Job first(nginx_.Url("/slow/f.bin"), Dest(), Expect(file_));
      first.job.StartDownload();
      ASSERT_TRUE(RunUntil([&] { return LocalFileSize(Part()) > 0; }));
      first.job.ActionClick();
      ASSERT_TRUE(RunUntil([&] { return !first.job.HttpClient(); }));
    }
    const int64_t kept = LocalFileSize(Part());
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, static_cast<int64_t>(file_.size()));
    if (altered) {
      std::FILE* f = std::fopen(Part().c_str(), "r+b");
      ASSERT_NE(f, nullptr);
      std::fputc('L', f);
      std::fclose(f);
    }
    Job resumed(nginx_.Url("/slow/f.bin"), Dest(), Expect(file_));
    ASSERT_TRUE(resumed.Run());
    EXPECT_EQ(resumed.answer.asked, 1);
    if (altered) {
      EXPECT_EQ(resumed.job.Status(), kMismatch);
      EXPECT_FALSE(FileExists(Dest()));
    } else {
      EXPECT_EQ(resumed.job.Status(), "Download Complete. (verified)");
      EXPECT_TRUE(ReadFile(Dest()) == file_);
      std::filesystem::remove(Dest());
    }
    EXPECT_FALSE(FileExists(Part()));
  }
}

}  // namespace
}  // namespace quillon
