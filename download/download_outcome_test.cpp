// A download ends as the whole file under its name or changes nothing the
// user had: completeness checks, partial files, continuing them, time limits
// and log-in cases, against scripted servers on loopback.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download/download_job.h"
#include "download/partial_file.h"
#include "tests/support/event_wait.h"
#include "tests/support/ftp_script.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timed_job.h"

namespace quillon {
namespace {

using namespace testing;
using Job = testing::TimedJob;

std::string FtpUrl(const ScriptedServer& server, const std::string& login = "") {
  return "ftp://" + login + "127.0.0.1:" + server.PortText() + "/pub/f.bin";
}

// ---- FTP: only a complete transfer completes -------------------------------------------

TEST(DownloadOutcomeTest, FtpTransfersThatAreNotTheWholeFileFail) {
  const std::string content = Pattern(300000);
  struct Case {
    const char* name;
    FtpFileScript script;
    const char* status;
  };
  FtpFileScript short_transfer{.content = content, .send_limit = 150000};
  FtpFileScript closed_early{.content = content, .send_limit = 150000, .reply_226_first = true, .close_after_226 = true};
  FtpFileScript code_000{.content = content, .retr_reply = "000 Completed."};
  FtpFileScript code_65536{.content = content, .retr_reply = "65536 Completed."};
  FtpFileScript refused{.content = content, .retr_reply = "425 Can't open data connection"};
  FtpFileScript missing{.content = content, .retr_reply = "550 Could not get file size."};
  const Case cases[] = {
      {"226 after half the bytes", short_transfer, "Download incomplete."},
      {"226 and a control close, then half the data", closed_early, "Download incomplete."},
      {"RETR answered 000", code_000, "Download failed: 000 Completed."},
      {"RETR answered 65536", code_65536, "Download failed: 65536 Completed."},
      {"RETR refused with 425", refused, "Download failed: 425 Can't open data connection"},
      {"RETR refused with 550", missing, "Download failed: 550 Could not get file size."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    WriteFile(dir.File("f.bin"), "the user's own file");
    ScriptedServer server([&](ScriptedConnection& conn) { ServeFtpFile(conn, c.script); });
    Job j(FtpUrl(server), dir.File("f.bin"));
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.job.Status(), c.status);
    EXPECT_EQ(j.job.ActionMode(), amStart);
    EXPECT_EQ(ReadFile(dir.File("f.bin")), "the user's own file");
  }
}

// What the server answers decides: without a SIZE answer the file comes
// without a length; a part is continued only when its record matches the
// SIZE and MDTM answers; a failed transfer says what happened, and nothing
// past the SIZE answer is written.
TEST(DownloadOutcomeTest, FtpServerAnswersDecideTheOutcome) {
  const std::string content = Pattern(300000);
  const std::string kMdtm = "213 20240101120000";
  const std::string continued = std::string(1000, 'L') + content.substr(1000);
  struct Case {
    const char* name;
    FtpFileScript script;
    std::string status;
    std::string file;                 // NAME afterwards; "": absent
    std::optional<std::string> part;  // NAME.part afterwards ("": absent); not checked when empty
    bool no_length = false;           // the progress shows no total
    bool part_before = false;         // 1000 bytes of NAME.part before the start
    const char* recorded_mdtm = nullptr;  // their record's MDTM answer; nullptr: no record
    bool yes = false;                 // the resume answer
    int asked = 0;                    // resume questions
    bool cancel = false;              // the user cancels once the transfer began
    const char* data_commands = "";   // of every session, in order; "": not checked
  };
  const std::string f426 = "426 Connection closed; transfer aborted.";
  const std::string f451 = "451 Requested action aborted: local error in processing.";
  const Case cases[] = {
      {"SIZE refused with 500", {.content = content, .size_reply = "500 Unknown command"}, "Completed.", content, "",
       true},
      {"SIZE refused with 502", {.content = content, .size_reply = "502 Not implemented"}, "Completed.", content, "",
       true},
      {"SIZE refused with 550", {.content = content, .size_reply = "550 Could not get file size"}, "Completed.",
       content, "", true},
      {"SIZE without a number", {.content = content, .size_reply = "213 abc"}, "Completed.", content, "", true},
      {"SIZE too long to hold", {.content = content, .size_reply = "213 99999999999999999999"}, "Completed.", content,
       "", true},
      {"changed MDTM", {.content = content, .mdtm_reply = kMdtm}, "Completed.", content, "", false, true,
       "20200101000000", true, 0},
      {"part without a record", {.content = content, .mdtm_reply = kMdtm}, "Completed.", content, "", false, true,
       nullptr, true, 0},
      {"same SIZE and MDTM", {.content = content, .mdtm_reply = kMdtm}, "Completed.", continued, "", false, true,
       "20240101120000", true, 1},
      {"same SIZE, no MDTM either time", {.content = content}, "Completed.", continued, "", false, true, "", true, 1},
      {"426 after the data", {.content = content, .final_reply = f426}, "Download failed: " + f426, "", content},
      {"451 after the data", {.content = content, .final_reply = f451}, "Download failed: " + f451, "", content},
      {"426 without SIZE", {.content = content, .size_reply = "502 x", .final_reply = f426}, "Download failed: " + f426,
       "", ""},
      // More than the socket buffers hold: the client reads when the reset comes.
      {"data connection reset", {.content = Pattern(16 << 20), .reset_data = true},
       "Download failed: connection reset by the server.", "", std::nullopt},
      {"longer than SIZE", {.content = content, .size_reply = "213 200000"},
       "Download failed: the server sent more than the 200000 bytes it announced.", "", content.substr(0, 200000)},
      {"user cancel", {.content = content, .stall = true}, "Download cancelled.", "", std::nullopt, false, false,
       nullptr, false, 0, true},
      // Passive first; active in a new session when the server refuses passive.
      {"PORT and EPRT refused", {.content = content, .refuse_active = true}, "Completed.", content, "", false, false,
       nullptr, false, 0, false, "EPSV PASV "},
      {"EPSV and PASV refused", {.content = content, .refuse_passive = true}, "Completed.", content, "", false, false,
       nullptr, false, 0, false, "EPSV PASV EPRT PORT "},
      {"passive port closed", {.content = content, .closed_passive_port = true}, "Completed.", content, "", false,
       false, nullptr, false, 0, false, "EPSV PASV EPRT PORT "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    std::mutex mutex;
    std::vector<std::string> sent;
    int sessions = 0;
    ScriptedServer server([&](ScriptedConnection& conn) {
      auto commands = ServeFtpFile(conn, c.script);
      std::lock_guard<std::mutex> lock(mutex);
      sent.insert(sent.end(), commands.begin(), commands.end());
      ++sessions;
    });
    Job j(FtpUrl(server), dir.File("f.bin"));
    if (c.part_before) {
      WriteFile(dir.File("f.bin.part"), std::string(1000, 'L'));
      if (c.recorded_mdtm) {
        ASSERT_TRUE(WritePartInfo(dir.File("f.bin.part"), TPartInfo{FtpUrl(server), 300000, c.recorded_mdtm}));
      }
    }
    j.answer.yes = c.yes;
    if (c.cancel) {
      j.job.SetIdleTimeout(0);
      j.job.StartDownload();
      ASSERT_TRUE(RunUntil([&] { return j.job.PauseVisible(); }));
      j.job.ActionClick();
      ASSERT_TRUE(RunUntil([&] { return !j.job.DownloadInProgress() && !j.job.FtpClient(); }));
    } else {
      ASSERT_TRUE(j.Run());
    }
    EXPECT_EQ(j.job.Status(), c.status);
    EXPECT_EQ(j.job.ActionMode(), c.file.empty() ? amStart : amOpen);
    EXPECT_EQ(j.answer.asked, c.asked);
    EXPECT_TRUE(ReadFile(dir.File("f.bin")) == c.file);
    EXPECT_EQ(FileExists(dir.File("f.bin")), !c.file.empty());
    if (c.part) {
      EXPECT_TRUE(ReadFile(dir.File("f.bin.part")) == *c.part) << ReadFile(dir.File("f.bin.part")).size();
      EXPECT_EQ(FileExists(dir.File("f.bin.part")), !c.part->empty());
    }
    if (c.no_length) {
      EXPECT_NE(j.job.Progress().text.find("unknown size"), std::string::npos) << j.job.Progress().text;
    }
    // The server's threads hand over the commands they got once the client left.
    ASSERT_TRUE(RunUntil([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return sessions == server.Accepted();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    bool rest = false;
    std::string data_commands;
    for (const std::string& line : sent) {
      rest = rest || line.rfind("REST", 0) == 0;
      if (line.size() >= 4 && std::string("EPSV PASV EPRT PORT").find(line.substr(0, 4)) != std::string::npos)
        data_commands += line.substr(0, 4) + " ";
    }
    EXPECT_EQ(rest, c.asked > 0);
    EXPECT_TRUE(!*c.data_commands || data_commands == c.data_commands) << data_commands;
  }
}

TEST(DownloadOutcomeTest, FtpDataAfterTheControlConnectionClosedIsAwaited) {
  const std::string content = Pattern(300000);
  FtpFileScript script{.content = content, .reply_226_first = true, .close_after_226 = true};
  testing::TempDir dir;
  ScriptedServer server([&](ScriptedConnection& conn) { ServeFtpFile(conn, script); });
  Job j(FtpUrl(server), dir.File("f.bin"));
  ASSERT_TRUE(j.Run());
  EXPECT_EQ(j.job.Status(), "Completed.");
  EXPECT_TRUE(ReadFile(dir.File("f.bin")) == content);
  EXPECT_FALSE(FileExists(dir.File("f.bin.part")));
}

// A file-size limit below the file's size: the last block cannot be written.
TEST(DownloadOutcomeTest, FtpWriteFailureInTheLastBlockFails) {
  const std::string content = Pattern(300000);
  FtpFileScript script{.content = content};
  testing::TempDir dir;
  ScriptedServer server([&](ScriptedConnection& conn) { ServeFtpFile(conn, script); });
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit limit = old_limit;
  limit.rlim_cur = content.size() - 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  Job j(FtpUrl(server), dir.File("f.bin"));
  bool ended = j.Run();
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(ended);
  EXPECT_EQ(j.job.Status(), "Download failed: cannot write the file: File too large");
  EXPECT_FALSE(FileExists(dir.File("f.bin")));
  // What was written can be continued later.
  EXPECT_EQ(ReadFile(dir.File("f.bin.part")), content.substr(0, content.size() - 1000));
}

// ---- Time limits and cancel --------------------------------------------------------------

TEST(DownloadOutcomeTest, SilentServersEndWithTheTimeoutText) {
  FtpFileScript silent{.greet = false};
  FtpFileScript stalled{.content = Pattern(1000), .stall = true};
  for (const FtpFileScript* script : {&silent, &stalled}) {
    testing::TempDir dir;
    WriteFile(dir.File("f.bin"), "old");
    ScriptedServer server([&](ScriptedConnection& conn) { ServeFtpFile(conn, *script); });
    Job j(FtpUrl(server), dir.File("f.bin"));
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.job.Status(), "Download failed: no data for 1 second.");
    EXPECT_EQ(j.job.ActionMode(), amStart);
    EXPECT_EQ(ReadFile(dir.File("f.bin")), "old");
  }
  ScriptedServer http([](ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\nETag: \"e\"\r\n\r\n" + std::string(1000, 'h'));
    c.ReadToEnd();
  });
  testing::TempDir dir;
  Job j("http://127.0.0.1:" + http.PortText() + "/f.bin", dir.File("f.bin"));
  ASSERT_TRUE(j.Run());
  EXPECT_EQ(j.job.Status(), "Download failed: no data for 1 second.");
  EXPECT_FALSE(FileExists(dir.File("f.bin")));
  EXPECT_EQ(ReadFile(dir.File("f.bin.part")), std::string(1000, 'h'));  // continuable: kept
}

TEST(DownloadOutcomeTest, CancelWorksWhileLoggingIn) {
  FtpFileScript silent{.greet = false};
  testing::TempDir dir;
  ScriptedServer server([&](ScriptedConnection& conn) { ServeFtpFile(conn, silent); });
  Job j(FtpUrl(server), dir.File("f.bin"));
  j.job.SetIdleTimeout(0);
  j.job.StartDownload();
  ASSERT_TRUE(RunUntil([&] { return server.Accepted() == 1; }));
  EXPECT_TRUE(j.job.ActionEnabled());
  j.job.ActionClick();
  ASSERT_TRUE(RunUntil([&] { return !j.job.FtpClient(); }));
  EXPECT_EQ(j.job.Status(), "Download cancelled.");
  EXPECT_EQ(j.job.ActionMode(), amStart);
}

// ---- The user's file survives failures -------------------------------------------------

TEST(DownloadOutcomeTest, FailedDownloadsSayWhyLookFailedAndKeepTheUsersFile) {
  ScriptedServer not_found(AnswerWith("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here!"));
  ScriptedServer server_error(AnswerWith("HTTP/1.0 503 Busy\r\n\r\n<h1>Completed.</h1>"));
  ScriptedServer not_http(AnswerWith("\x01garbage\r\n\r\n"));
  ScriptedServer half(AnswerWith("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n12345"));
  const std::string closed = std::to_string(testing::ClosedPort());
  struct Case {
    std::string url;
    std::string status;
    int position;  // the cylinder: what was received of the file
  } cases[] = {
      {"http://127.0.0.1:" + closed + "/f.bin", "Download failed: connection refused (127.0.0.1 port " + closed + ")",
       0},
      {"ftp://127.0.0.1:" + closed + "/f.bin", "Download failed: connection refused (127.0.0.1 port " + closed + ")",
       0},
      {"http://example.test/f.bin", "Download failed: can't resolve host name example.test", 0},
      {"http://127.0.0.1:" + not_http.PortText() + "/f.bin", "Download failed: no valid HTTP response from the server.",
       0},
      {"http://127.0.0.1:" + not_found.PortText() + "/f.bin", "Download failed: 404 Not Found", 0},
      {"http://127.0.0.1:" + server_error.PortText() + "/f.bin", "Download failed: 503 Busy", 0},
      {"http://127.0.0.1:" + half.PortText() + "/f.bin", "Download incomplete.", 50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    testing::TempDir dir;
    WriteFile(dir.File("f.bin"), "the user's own file");
    Job j(c.url, dir.File("f.bin"));
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.job.Status(), c.status);
    EXPECT_EQ(j.job.Role(), TRowRole::kFailed);
    EXPECT_EQ(j.job.Position(), c.position);
    EXPECT_FALSE(j.job.IconShown());  // the cylinder stays
    EXPECT_EQ(ReadFile(dir.File("f.bin")), "the user's own file");
    EXPECT_FALSE(FileExists(dir.File("f.bin.part")));
  }
}

// ---- FTP log-in ---------------------------------------------------------------------------

TEST(DownloadOutcomeTest, FtpLoginEdgeCases) {
  struct Case {
    std::string login;       // before the host in the URL
    std::string user_reply;  // the server's answer to USER
    std::vector<std::string> expected;  // USER and PASS as sent; empty: no connection at all
    std::string refusal = "Could not connect or log in.";  // the status without a connection
  } cases[] = {
      {"anonymous@", "331 Password required", {"USER anonymous", "PASS quillon@example.com"}},
      {"FTP@", "331 Password required", {"USER FTP", "PASS quillon@example.com"}},
      {"bob@", "331 Password required", {}},
      // A line break in the password: the whole URL is refused.
      {"bob:%0D%0ADELE%20x@", "331 Password required", {},
       "Download failed: the URL holds a control character (a line break, NUL or another)."},
      {"b%40b:p%3Aw%40@", "331 Password required", {"USER b@b", "PASS p:w@"}},
      {"alice:secret@", "230 Already logged in", {"USER alice"}},
  };
  const std::string content = "logged in";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.login);
    testing::TempDir dir;
    FtpFileScript script{.content = content, .user_reply = c.user_reply};
    std::mutex mutex;
    std::vector<std::string> commands;
    ScriptedServer server([&](ScriptedConnection& conn) {
      auto sent = ServeFtpFile(conn, script);
      std::lock_guard<std::mutex> lock(mutex);
      commands = sent;
    });
    Job j(FtpUrl(server, c.login), dir.File("f.bin"));
    ASSERT_TRUE(j.Run());
    if (c.expected.empty()) {
      EXPECT_EQ(j.job.Status(), c.refusal);
      EXPECT_EQ(server.Accepted(), 0);
      continue;
    }
    EXPECT_EQ(j.job.Status(), "Completed.");
    EXPECT_EQ(ReadFile(dir.File("f.bin")), content);
    ASSERT_TRUE(RunUntil([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return commands.size() > c.expected.size();
    }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + c.expected.size()), c.expected);
    EXPECT_NE(commands[c.expected.size()].substr(0, 4), "PASS");
  }
}

// ---- Continuing an HTTP partial file -----------------------------------------------------

// Scripted answers to a continued request: one connection each, in order.
TEST(DownloadResumeTest, AnswersToAContinuedRequest) {
  const std::string whole = Pattern(10000);
  std::vector<std::string> requests;
  std::vector<std::string> answers = {
      // The first start: half the body, then the connection ends.
      "HTTP/1.0 200 OK\r\nContent-Length: 10000\r\nETag: \"v1\"\r\n\r\n" + whole.substr(0, 4000),
      // A 206 of the same file that does not continue the part fails and keeps it.
      "HTTP/1.0 206 Partial Content\r\nContent-Range: bytes 3000-9999/10000\r\nContent-Length: 7000\r\n"
      "ETag: \"v1\"\r\n\r\n" +
          whole.substr(3000),
      // A server that ignores Range: starts again, never appends.
      "HTTP/1.0 200 OK\r\nContent-Length: 10000\r\nETag: \"v1\"\r\n\r\n" + whole,
  };
  std::mutex mutex;
  ScriptedServer server([&](ScriptedConnection& c) {
    std::string request = c.ReadUntil("\r\n\r\n");
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = requests.size();
    requests.push_back(request);
    if (n < answers.size()) c.Send(answers[n]);
  });
  testing::TempDir dir;
  std::string url = "http://127.0.0.1:" + server.PortText() + "/f.bin";
  Job first(url, dir.File("f.bin"));
  ASSERT_TRUE(first.Run());
  EXPECT_EQ(first.job.Status(), "Download incomplete.");
  EXPECT_EQ(ReadFile(dir.File("f.bin.part")), whole.substr(0, 4000));

  Job wrong_range(url, dir.File("f.bin"));
  wrong_range.answer.yes = true;
  ASSERT_TRUE(wrong_range.Run());
  EXPECT_EQ(wrong_range.job.Status(),
            "Download failed: 206 Partial Content (not the part of the file that was asked for)");
  EXPECT_EQ(ReadFile(dir.File("f.bin.part")), whole.substr(0, 4000));
  EXPECT_FALSE(FileExists(dir.File("f.bin")));

  Job ignored(url, dir.File("f.bin"));
  ignored.answer.yes = true;
  ASSERT_TRUE(ignored.Run());
  EXPECT_EQ(ignored.job.Status(), "Download Complete.");
  EXPECT_TRUE(ReadFile(dir.File("f.bin")) == whole);

  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].find("Range:"), std::string::npos);
  for (size_t i : {1u, 2u}) {
    EXPECT_NE(requests[i].find("\r\nRange: bytes=4000-\r\n"), std::string::npos) << requests[i];
    EXPECT_NE(requests[i].find("\r\nIf-Range: \"v1\"\r\n"), std::string::npos) << requests[i];
  }
}

}  // namespace
}  // namespace quillon
