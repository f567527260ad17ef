// The download job without widgets, against scripted servers on loopback;
// against nginx and vsftpd in tests/servers/download_job_servers_test.cpp.
#include "download/download_job.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "tests/support/event_wait.h"
#include "tests/support/loopback.h"
#include "tests/support/recording_job.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::Job;
using testing::ReadFile;
using testing::RunUntil;
using testing::WriteFile;

// ---- Checks before a transfer --------------------------------------------------------

TEST(DownloadJobStartTest, RefusalsAndUnsupportedScheme) {
  testing::TempDir dir;
  Job empty_url("", dir.File("a"));
  empty_url.job.StartDownload();
  EXPECT_EQ(empty_url.job.Status(), "No URL specified.");
  EXPECT_EQ(empty_url.job.ActionMode(), amCancel);
  EXPECT_EQ(empty_url.job.ActionCaption(), "Cancel");
  empty_url.job.ActionClick();  // does nothing
  EXPECT_EQ(empty_url.job.Status(), "No URL specified.");

  Job no_file("http://127.0.0.1/x", "");
  no_file.job.StartDownload();
  EXPECT_EQ(no_file.job.Status(), "Destination file not specified.");

  WriteFile(dir.File("plain"), "x");
  Job bad_folder("http://127.0.0.1/x", dir.File("plain/sub/a.bin"));
  bad_folder.job.StartDownload();
  EXPECT_EQ(bad_folder.job.Status(), "Cannot create directory to save download to.");

  Job gopher("gopher://127.0.0.1/x", dir.File("new/deeper/a.bin"));
  gopher.job.StartDownload();
  EXPECT_EQ(gopher.job.Status(), "Unsupported protocol.");
  EXPECT_FALSE(gopher.job.DownloadInProgress());
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("new/deeper")));  // created first
}

// ---- HTTP against scripted servers ---------------------------------------------------

TEST(DownloadJobHttpTest, CancelAndPause) {
  testing::TempDir dir;
  testing::ScriptedServer server([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'a'));
    c.ReadToEnd(10000);  // until the client goes
  });
  Job j("http://127.0.0.1:" + server.PortText() + "/slow", dir.File("slow.bin"));
  j.job.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return j.job.Status().find(" of ") != std::string::npos; }));
  EXPECT_TRUE(j.job.PauseVisible());
  const std::string progress = j.job.Status();
  j.job.PauseClick();
  EXPECT_EQ(j.job.PauseCaption(), "Resume");
  EXPECT_EQ(j.job.Status(), "Paused.");
  j.job.PauseClick();
  EXPECT_EQ(j.job.PauseCaption(), "Pause");
  EXPECT_EQ(j.job.Status(), progress);  // the progress text returns
  j.job.ActionClick();  // cancel mode: cancels
  EXPECT_EQ(j.job.Status(), "Download Cancelled.");
  EXPECT_EQ(j.job.ActionMode(), amStart);
  EXPECT_EQ(j.job.Role(), TRowRole::kFailed);
  ASSERT_TRUE(j.RunToEnd());
  EXPECT_EQ(j.job.Status(), "Download Canceled.");  // the client's completion comes last
  // Without a validator the part cannot be continued: nothing stays.
  EXPECT_FALSE(testing::FileExists(dir.File("slow.bin")));
  EXPECT_FALSE(testing::FileExists(dir.File("slow.bin.part")));
}

TEST(DownloadJobHttpTest, ShortBodyUnknownLengthAndBrokenConnection) {
  testing::TempDir dir;
  testing::ScriptedServer short_body([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(50, 'b'));
  });
  Job s("http://127.0.0.1:" + short_body.PortText() + "/s", dir.File("s.bin"));
  s.job.StartDownload();
  ASSERT_TRUE(s.RunToEnd());
  EXPECT_EQ(s.job.Status(), "Download incomplete.");
  EXPECT_EQ(s.job.ActionMode(), amStart);
  EXPECT_FALSE(testing::FileExists(dir.File("s.bin")));

  testing::ScriptedServer no_length([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\n\r\n" + std::string(512000, 'c'));
  });
  Job u("http://127.0.0.1:" + no_length.PortText() + "/u", dir.File("u.bin"));
  u.job.StartDownload();
  ASSERT_TRUE(u.RunToEnd());
  EXPECT_EQ(u.job.Status(), "Download Complete.");
  EXPECT_EQ(ReadFile(dir.File("u.bin")).size(), 512000u);
  bool unknown = false;
  for (auto& t : u.statuses) unknown |= t.find(" of unknown size ") != std::string::npos;
  EXPECT_TRUE(unknown);

  testing::ScriptedServer reset([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(10, 'd'));
    c.Reset();
  });
  Job r("http://127.0.0.1:" + reset.PortText() + "/r", dir.File("r.bin"));
  r.job.StartDownload();
  ASSERT_TRUE(r.RunToEnd());
  EXPECT_EQ(r.job.Status().substr(0, 17), "Download failed: ") << r.job.Status();
  EXPECT_EQ(r.job.ActionMode(), amStart);

  // Nobody listens: the connection fails, no empty file stays behind.
  Job refused("http://127.0.0.1:" + std::to_string(testing::ClosedPort()) + "/x", dir.File("refused.bin"));
  refused.job.StartDownload();
  ASSERT_TRUE(refused.RunToEnd());
  EXPECT_EQ(refused.job.Status().substr(0, 17), "Download failed: ") << refused.job.Status();
  EXPECT_FALSE(testing::FileExists(dir.File("refused.bin")));
}

// ---- Progress lines and the clock -----------------------------------------------------

// Rates and remaining time come from the job's clock, whatever its values (a
// monotonic clock counts from an arbitrary start and never wraps at
// midnight); a new progress line comes at most once a second.
TEST(DownloadJobClockTest, ProgressLinesFollowTheClockOnceASecond) {
  testing::TempDir dir;
  std::promise<void> more, last;
  std::shared_future<void> more_sent = more.get_future().share(), last_sent = last.get_future().share();
  testing::ScriptedServer server([more_sent, last_sent](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(500, 'a'));
    more_sent.wait_for(std::chrono::seconds(10));
    c.Send(std::string(250, 'b'));
    last_sent.wait_for(std::chrono::seconds(10));
    c.Send(std::string(250, 'c'));
  });
  // Ten days and 23:59:55 after the clock's start: the transfer crosses a
  // day's end.
  int64_t now = 10 * 86'400'000LL + 86'395'000LL;
  THttpCli* http = nullptr;
  Job j("http://127.0.0.1:" + server.PortText() + "/f", dir.File("f.bin"));
  j.job.SetClockForTesting([&] { return now; });
  j.job.OnHttpClientCreated = [&](TDownloadJob*, THttpCli* c) { http = c; };
  j.job.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return http && http->RcvdCount() == 500; }));
  const std::string first = j.job.Status();
  EXPECT_NE(first.find(" of "), std::string::npos) << first;

  now += 900;  // within the second: no new line
  more.set_value();
  ASSERT_TRUE(RunUntil([&] { return http->RcvdCount() == 750; }));
  EXPECT_EQ(j.job.Status(), first);

  now += 9'100;  // ten seconds after the data began
  last.set_value();
  ASSERT_TRUE(j.RunToEnd());
  EXPECT_EQ(j.job.Status(), "Download Complete.");
  ASSERT_GE(j.statuses.size(), 2u);
  const std::string line = j.statuses[j.statuses.size() - 2];
  bool matches = false;
  for (int r = 751; r <= 1000 && !matches; ++r) matches = line == ProgressText(1000, r, 10, r).text;
  EXPECT_TRUE(matches) << line;
}

}  // namespace
}  // namespace quillon
