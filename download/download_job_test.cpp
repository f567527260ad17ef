// The download job without widgets, against scripted servers on loopback;
// against nginx and vsftpd in tests/servers/download_job_servers_test.cpp.
#include "download/download_job.h"
#include "download/rate_limiter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/event_wait.h"
#include "tests/support/ftp_script.h"
#include "tests/support/loopback.h"
#include "tests/support/recording_job.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using namespace testing;

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

  // A link the window got with a line break in it: refused with its reason,
  // before any part or connection.
  Job injected("ftp://127.0.0.1:1/a%0D%0ADELE%20x", dir.File("i.bin"));
  injected.job.StartDownload();
  EXPECT_EQ(injected.job.Status(), "Download failed: the URL holds a control character (a line break, NUL or another).");
  EXPECT_FALSE(injected.job.DownloadInProgress());
  EXPECT_FALSE(testing::FileExists(dir.File("i.bin.part")));
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

// A rate limit holds the socket (the clock standing still, nothing more is
// read) while the download stays transferring, then lets it finish.
TEST(DownloadJobHttpTest, RateLimitHoldsTheSocketNotThePhase) {
  testing::TempDir dir;
  const int64_t size = 256 * 1024;
  testing::ScriptedServer server([&](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + std::string(size, 'r'));
  });
  TRateLimiter limiter(1 << 20);
  limiter.SetClockForTesting([] { return int64_t{0}; });
  Job j("http://127.0.0.1:" + server.PortText() + "/limited", dir.File("limited.bin"));
  j.job.SetRateLimiter(&limiter);
  j.job.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return limiter.Holding(); }));
  ASSERT_NE(j.job.HttpClient(), nullptr);
  const int64_t held_at = j.job.HttpClient()->RcvdCount();
  RunFor(100);
  EXPECT_EQ(j.job.HttpClient()->RcvdCount(), held_at);
  EXPECT_LT(held_at, size);
  EXPECT_EQ(j.job.Phase(), TJobPhase::kTransferring);
  EXPECT_EQ(j.job.Role(), TRowRole::kNormal);
  EXPECT_EQ(j.job.PauseCaption(), "Pause");
  limiter.SetClockForTesting(nullptr);  // time goes on
  ASSERT_TRUE(j.RunToEnd());
  EXPECT_EQ(j.job.Status(), "Download Complete.");
  EXPECT_EQ(std::filesystem::file_size(dir.File("limited.bin")), static_cast<uintmax_t>(size));
}

TEST(DownloadJobHttpTest, ShortBodyUnknownLengthAndBrokenConnection) {
  testing::TempDir dir;
  testing::ScriptedServer short_body(testing::AnswerWith("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(50, 'b')));
  Job s("http://127.0.0.1:" + short_body.PortText() + "/s", dir.File("s.bin"));
  s.job.StartDownload();
  ASSERT_TRUE(s.RunToEnd());
  EXPECT_EQ(s.job.Status(), "Download incomplete.");
  EXPECT_EQ(s.job.ActionMode(), amStart);
  EXPECT_FALSE(testing::FileExists(dir.File("s.bin")));

  testing::ScriptedServer no_length(testing::AnswerWith("HTTP/1.0 200 OK\r\n\r\n" + std::string(512000, 'c')));
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

// ---- Phases ------------------------------------------------------------------------

// The phases a viewer sees at the job's changes, with the outcome at the end;
// the pause caption, the role and whether the download runs follow them.
TEST(DownloadJobPhaseTest, PhasesFollowTheDownload) {
  testing::TempDir dir;
  testing::ScriptedServer ok(testing::AnswerWith("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc"));
  testing::ScriptedServer slow([](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(1000, 'a'));
    c.ReadToEnd(10000);
  });
  testing::ScriptedServer busy(testing::AnswerWith("HTTP/1.0 503 Busy\r\nContent-Length: 0\r\n\r\n"));
  using P = TJobPhase;
  struct Case {
    const char* name;
    const testing::ScriptedServer& server;
    // Pauses (and resumes at once when `resume`), then cancels, once the job
    // is in these phases (kIdle: never).
    P pause_at;
    bool resume;
    P cancel_at;
    std::vector<P> phases;
    TJobOutcome outcome;
  };
  const Case cases[] = {
      {"complete", ok, P::kIdle, false, P::kIdle, {P::kConnecting, P::kTransferring, P::kDone}, TJobOutcome::kComplete},
      {"paused, resumed, cancelled", slow, P::kTransferring, true, P::kTransferring,
       {P::kConnecting, P::kTransferring, P::kPaused, P::kTransferring, P::kDone}, TJobOutcome::kCancelled},
      {"retried, cancelled while waiting", busy, P::kIdle, false, P::kRetrying,
       {P::kConnecting, P::kRetrying, P::kDone}, TJobOutcome::kCancelled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Job j("http://127.0.0.1:" + c.server.PortText() + "/f", dir.File("f.bin"));
    j.job.SetRetries(1);
    j.job.SetRetryWaitForTesting([](int64_t) { return int64_t{60000}; });
    std::vector<P> seen;
    j.job.OnChange = [&](TDownloadJob* job) {
      if (seen.empty() || seen.back() != job->Phase()) seen.push_back(job->Phase());
      EXPECT_EQ(job->PauseCaption(), job->Phase() == P::kPaused ? "Resume" : "Pause");
      EXPECT_EQ(job->DownloadInProgress(), job->Phase() != P::kDone);
      if (job->Phase() == P::kPaused) {
        EXPECT_EQ(job->Role(), TRowRole::kPaused);
      }
    };
    j.job.StartDownload();
    if (c.pause_at != P::kIdle) {
      ASSERT_TRUE(RunUntil([&] { return j.job.Phase() == c.pause_at; }));
      j.job.PauseClick();
      if (c.resume) j.job.PauseClick();
    }
    if (c.cancel_at != P::kIdle) {
      ASSERT_TRUE(RunUntil([&] { return j.job.Phase() == c.cancel_at; }));
      j.job.ActionClick();
    }
    ASSERT_TRUE(j.RunToEnd());
    EXPECT_EQ(seen, c.phases);
    EXPECT_EQ(j.job.Outcome(), c.outcome);
  }
}

// ---- A handler may destroy the job -----------------------------------------------------

// A row removes itself from inside the job's events. Each scenario runs once
// to count the events the job fires (OnChange and the client-created hooks),
// then once for each of them with a handler that destroys the job there;
// under the sanitizers nothing may touch the freed job or its clients.
TEST(DownloadJobLifetimeTest, HandlerMayDestroyTheJobAtEveryEvent) {
  testing::TempDir dir;
  const std::string body(3000, 'x');
  auto http_ok = [&](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\nETag: \"v1\"\r\nConnection: close\r\n\r\n" + body);
  };
  std::atomic<int> tries{0};
  // The first request of a run fails with a 503, the next ones succeed.
  auto http_503_then_ok = [&](testing::ScriptedConnection& c) {
    if (tries++ % 2 == 0) {
      c.ReadUntil("\r\n\r\n");
      c.Send("HTTP/1.1 503 Busy\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      return;
    }
    http_ok(c);
  };
  auto http_404 = [](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\nConnection: close\r\n\r\nnope!");
  };
  auto http_slow = [&](testing::ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nETag: \"v1\"\r\n\r\n" + body);
    c.ReadToEnd(10000);  // until the client goes
  };
  auto ftp_ok = [&](testing::ScriptedConnection& c) { testing::ServeFtpFile(c, {.content = body}); };
  auto ftp_refused = [](testing::ScriptedConnection& c) { testing::ServeFtpFile(c, {.user_reply = "530 Go away"}); };
  auto ftp_stall = [](testing::ScriptedConnection& c) { testing::ServeFtpFile(c, {.content = "abc", .stall = true}); };

  using Ready = std::function<bool(TDownloadJob&)>;
  using Act = std::function<void(TDownloadJob&)>;
  struct Step {
    Ready ready;
    Act act;
  };
  const Ready progress = [](TDownloadJob& j) { return j.ShowsProgress(); };
  const Ready transferring = [](TDownloadJob& j) { return j.PauseVisible(); };
  const Ready retry_pending = [](TDownloadJob& j) { return j.RetryPending(); };
  const Ready now = [](TDownloadJob&) { return true; };
  const Act pause = [](TDownloadJob& j) { j.PauseClick(); };
  const Act click = [](TDownloadJob& j) { j.ActionClick(); };
  struct Scenario {
    const char* name;
    testing::ScriptedServer::Script serve;
    const char* scheme;
    std::vector<Step> steps;
    int64_t retry_wait_ms = -1;  // -1: no retries
    bool mirror = false;         // the URL fails with a 404; its mirror is the same server
  };
  const Scenario scenarios[] = {
      {"HTTP complete", http_ok, "http", {}},
      {"HTTP 404", http_404, "http", {}},
      {"HTTP pause, resume, cancel", http_slow, "http", {{progress, pause}, {now, pause}, {now, click}}},
      {"HTTP retry after 503", http_503_then_ok, "http", {}, 0},
      {"HTTP pause and cancel while a retry waits", http_503_then_ok, "http", {{retry_pending, pause}, {now, click}}, 60000},
      {"HTTP mirror after 404", http_ok, "http", {}, -1, true},
      {"FTP complete", ftp_ok, "ftp", {}},
      {"FTP login refused", ftp_refused, "ftp", {}},
      {"FTP pause, resume, cancel", ftp_stall, "ftp", {{transferring, pause}, {now, pause}, {now, click}}},
  };

  // Runs a scenario; the handler of event number `kill_at` (from 1)
  // destroys the job. Returns the events fired, the destroying one included.
  auto run = [&](const Scenario& s, int kill_at) {
    testing::ScriptedServer server(s.serve);
    testing::ScriptedServer missing(http_404);
    const std::string url = std::string(s.scheme) + "://127.0.0.1:" + server.PortText() + "/f.bin";
    auto job = std::make_unique<TDownloadJob>();
    int fired = 0;
    auto event = [&] {
      if (++fired == kill_at) job.reset();
    };
    job->SetURL(s.mirror ? "http://127.0.0.1:" + missing.PortText() + "/f.bin" : url);
    if (s.mirror) job->SetMirrors({url});
    job->SetLocalFilename(dir.File("f.bin"));
    job->SetClockForTesting([] { return int64_t{0}; });  // one progress text per transfer
    if (s.retry_wait_ms >= 0) {
      job->SetRetries(1);
      job->SetRetryWaitForTesting([ms = s.retry_wait_ms](int64_t) { return ms; });
    }
    job->OnChange = [&](TDownloadJob*) { event(); };
    job->OnHttpClientCreated = [&](TDownloadJob*, THttpCli*) { event(); };
    job->OnFtpClientCreated = [&](TDownloadJob*, TFtpClient*) { event(); };
    job->StartDownload();
    for (const Step& step : s.steps) {
      EXPECT_TRUE(RunUntil([&] { return !job || step.ready(*job); })) << fired;
      if (!job) break;
      step.act(*job);
    }
    EXPECT_TRUE(RunUntil([&] { return !job || (!job->DownloadInProgress() && !job->HttpClient() && !job->FtpClient()); }));
    job.reset();
    // Whatever the destroyed job left queued (writer, timers, clients) gets
    // its chance to run.
    testing::RunFor(30);
    return fired;
  };

  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    const int total = run(s, 0);
    EXPECT_GE(total, 3);
    for (int k = 1; k <= total; ++k) {
      SCOPED_TRACE("destroyed at event " + std::to_string(k));
      EXPECT_EQ(run(s, k), k);
      std::filesystem::remove(dir.File("f.bin"));
      std::filesystem::remove(dir.File("f.bin.part"));
    }
  }
}

}  // namespace
}  // namespace quillon
