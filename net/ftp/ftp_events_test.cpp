// The FTP client's events against scripted servers: a handler may destroy
// the client from inside any event, and each event is told once, in order,
// with the request it belongs to.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/ftp/ftp_client.h"
#include "tests/support/delete_once.h"
#include "tests/support/event_wait.h"
#include "tests/support/ftp_test_harness.h"
#include "tests/support/ftp_script.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using namespace testing;

using TKill = std::function<void(TCustomFtpCli*)>;

// One event whose handler destroys the client, and the request that makes
// the client fire it.
struct DestroyCase {
  const char* name;
  // Arms the handler that calls kill (once) on the client.
  std::function<void(TFtpClient&, const TKill&)> arm;
  bool passive = false;
  bool display_file = false;
  bool upload = false;
};

// Kills on the first call whose text begins with prefix.
TFtpDisplay KillOnText(const TKill& kill, const std::string& prefix) {
  return [kill, prefix](TCustomFtpCli* s, std::string& text) {
    if (text.rfind(prefix, 0) == 0) kill(s);
  };
}

TFtpNotifyEvent KillInState(const TKill& kill, TFtpState state) {
  return [kill, state](TCustomFtpCli* s) {
    if (s->State() == state) kill(s);
  };
}

// A server that accepts every command (passive data connections): RETR,
// LIST and NLST send `content` from the REST offset, STOR and APPE keep what
// they receive in `stored`.
void ServeEverything(ScriptedConnection& c, const std::string& content, std::string& stored) {
  c.Send("220 ready\r\n");
  testing::ScriptedFtpData channel(true);
  size_t offset = 0;
  for (std::string line; !(line = c.ReadUntil("\r\n")).empty();) {
    line.resize(line.size() - 2);
    const std::string verb = line.substr(0, line.find(' '));
    if (verb == "EPSV") {
      channel.Answer(c, line);
      continue;
    }
    std::string reply = "200 ok";
    if (verb == "USER") reply = "331 password";
    if (verb == "PASS") reply = "230 in";
    if (verb == "CWD" || verb == "CDUP" || verb == "RMD" || verb == "DELE" || verb == "RNTO") reply = "250 done";
    if (verb == "MKD") reply = "257 \"/d/f\" created";
    if (verb == "RNFR") reply = "350 go on";
    if (verb == "REST") {
      offset = std::stoul(line.substr(5));
      reply = "350 restarting";
    }
    if (verb == "RETR" || verb == "LIST" || verb == "NLST" || verb == "STOR" || verb == "APPE") {
      int fd = channel.Open();
      c.Send("150 data\r\n");
      if (verb == "STOR" || verb == "APPE")
        stored = testing::ReadToEnd(fd);
      else
        testing::WriteAll(fd, content.substr(offset));
      testing::CloseFd(fd);
      offset = 0;
      reply = "226 complete";
    }
    if (verb == "QUIT") {
      c.Send("221 bye\r\n");
      return;
    }
    c.Send(reply + "\r\n");
  }
}

void PrintTo(const DestroyCase& c, std::ostream* os) { *os << c.name; }

class FtpDestroyInEvent : public ::testing::TestWithParam<DestroyCase> {};

// Every handler may delete the client; nothing after it touches the client
// (ASan reports any use of the freed memory).
TEST_P(FtpDestroyInEvent, HandlerMayDestroyTheClient) {
  const DestroyCase& k = GetParam();
  FtpFileScript script;
  script.content = "line one\r\nline two\r\n" + std::string(100000, 'x');
  std::string stored;
  ScriptedServer server([&](ScriptedConnection& c) {
    if (k.upload)
      ServeEverything(c, "", stored);
    else
      testing::ServeFtpFile(c, script);
  });
  TempDir local;
  testing::WriteFile(local.File("up"), "upload");
  auto* ftp = new TFtpClient;
  bool freed = false;
  ftp->SetHostName("127.0.0.1");
  ftp->SetPort(server.PortText());
  ftp->SetUserName("u");
  ftp->SetPassWord("p");
  ftp->SetHostDirName("d");
  ftp->SetHostFileName("f");
  ftp->SetLocalFileName(local.File(k.upload ? "up" : "f"));
  ftp->SetPassive(k.passive || k.upload);
  ftp->SetDisplayFileFlag(k.display_file);
  k.arm(*ftp, testing::DeleteOnce<TCustomFtpCli>(freed));
  if (k.upload)
    ftp->Transmit();
  else
    ftp->Receive();
  if (!RunUntil([&] { return freed; })) {
    ADD_FAILURE() << "the event never fired";
    delete ftp;
  }
}

const DestroyCase kDestroyCases[] = {
    {"SessionConnected", [](TFtpClient& f, const TKill& kill) {
       f.OnSessionConnected = [kill](TCustomFtpCli* s, Word) { kill(s); };
     }},
    {"Response", [](TFtpClient& f, const TKill& kill) { f.OnResponse = [kill](TCustomFtpCli* s) { kill(s); }; }},
    {"ResponseToUser", [](TFtpClient& f, const TKill& kill) {
       f.OnResponse = [kill](TCustomFtpCli* s) {
         if (s->StatusCode() == 331) kill(s);
       };
     }},
    {"DisplayReply", [](TFtpClient& f, const TKill& kill) { f.OnDisplay = KillOnText(kill, "< 331"); }},
    {"DisplayCommand", [](TFtpClient& f, const TKill& kill) { f.OnDisplay = KillOnText(kill, "> PASS"); }},
    {"DisplayStats", [](TFtpClient& f, const TKill& kill) { f.OnDisplay = KillOnText(kill, "! 100020 bytes"); }},
    {"Command", [](TFtpClient& f, const TKill& kill) {
       f.OnCommand = [kill](TCustomFtpCli* s, std::string& cmd) {
         if (cmd.rfind("RETR", 0) == 0) kill(s);
       };
     }},
    {"CommandFallbackToPort", [](TFtpClient& f, const TKill& kill) {
       f.OnCommand = [kill](TCustomFtpCli* s, std::string& cmd) {
         if (cmd.rfind("PORT", 0) == 0) kill(s);
       };
     }},
    {"StateDnsLookup", [](TFtpClient& f, const TKill& kill) { f.OnStateChange = KillInState(kill, ftpDnsLookup); }},
    {"StateWaitingBanner",
     [](TFtpClient& f, const TKill& kill) { f.OnStateChange = KillInState(kill, ftpWaitingBanner); }},
    {"StateConnected", [](TFtpClient& f, const TKill& kill) { f.OnStateChange = KillInState(kill, ftpConnected); }},
    {"StateWaitingResponse",
     [](TFtpClient& f, const TKill& kill) { f.OnStateChange = KillInState(kill, ftpWaitingResponse); }},
    {"StateBetweenSteps",
     [](TFtpClient& f, const TKill& kill) { f.OnStateChange = KillInState(kill, ftpBetweenSteps); }},
    {"StatePasvReady", [](TFtpClient& f, const TKill& kill) { f.OnStateChange = KillInState(kill, ftpPasvReady); },
     true},
    {"StateNotConnected",
     [](TFtpClient& f, const TKill& kill) { f.OnStateChange = KillInState(kill, ftpNotConnected); }},
    {"StateAborting", [](TFtpClient& f, const TKill& kill) {
       f.OnProgress = [](TCustomFtpCli* s, int64_t, bool&) { s->Abort(); };
       f.OnStateChange = KillInState(kill, ftpAborting);
     }},
    {"StateReady", [](TFtpClient& f, const TKill& kill) { f.OnStateChange = KillInState(kill, ftpReady); }},
    {"Progress", [](TFtpClient& f, const TKill& kill) {
       f.OnProgress = [kill](TCustomFtpCli* s, int64_t, bool&) { kill(s); };
     }},
    {"ProgressPassive", [](TFtpClient& f, const TKill& kill) {
       f.OnProgress = [kill](TCustomFtpCli* s, int64_t, bool&) { kill(s); };
     }, true},
    {"DisplayFile", [](TFtpClient& f, const TKill& kill) { f.OnDisplayFile = KillOnText(kill, "line one"); },
     false, true},
    {"SessionClosed", [](TFtpClient& f, const TKill& kill) {
       f.OnSessionClosed = [kill](TCustomFtpCli* s, Word) { kill(s); };
     }},
    {"RequestDone", [](TFtpClient& f, const TKill& kill) {
       f.OnRequestDone = [kill](TCustomFtpCli* s, TFtpRequest, Word) { kill(s); };
     }},
    {"ReadyToTransmit", [](TFtpClient& f, const TKill& kill) {
       f.OnReadyToTransmit = [kill](TCustomFtpCli* s, bool&) { kill(s); };
     }, false, false, true},
    {"UploadProgress", [](TFtpClient& f, const TKill& kill) {
       f.OnProgress = [kill](TCustomFtpCli* s, int64_t, bool&) { kill(s); };
     }, false, false, true},
    {"Error", [](TFtpClient& f, const TKill& kill) {
       f.SetUserName("");
       f.OnError = [kill](TCustomFtpCli* s, std::string&) { kill(s); };
     }},
    {"BgException", [](TFtpClient& f, const TKill& kill) {
       f.OnRequestDone = [](TCustomFtpCli*, TFtpRequest, Word) { throw std::runtime_error("handler failed"); };
       f.OnBgException = [kill](TCustomFtpCli* s, const std::exception&, bool&) { kill(s); };
     }},
};

INSTANTIATE_TEST_SUITE_P(Events, FtpDestroyInEvent, ::testing::ValuesIn(kDestroyCases),
                         [](const ::testing::TestParamInfo<DestroyCase>& info) { return info.param.name; });

// The server closes the control connection in the ways a session can end:
// OnSessionClosed is told once, each request is reported once and its
// report sees the ready state, and the client ends ready.
TEST(FtpEvents, ControlConnectionClosedIsToldOnce) {
  struct Case {
    const char* name;
    std::function<void(ScriptedConnection&)> script;  // after the greeting
    std::function<void(TFtpClient&)> start;           // after the connect
    std::vector<std::pair<TFtpRequest, Word>> done;   // after the connect's
  } cases[] = {
      {"idle", [](ScriptedConnection&) {}, [](TFtpClient&) {}, {}},
      {"before a reply",
       [](ScriptedConnection& c) { c.ReadUntil("\r\n"); },
       [](TFtpClient& f) { f.Syst(); },
       {{ftpRqSyst, 500}}},
      {"after QUIT",
       [](ScriptedConnection& c) {
         c.ReadUntil("\r\n");
         c.Send("221 bye\r\n");
       },
       [](TFtpClient& f) { f.Quit(); },
       {{ftpRqQuit, 0}}},
      {"during a download",
       [](ScriptedConnection& c) {
         testing::ScriptedFtpData channel;
         std::string cmd = c.ReadUntil("\r\n");
         channel.Answer(c, cmd.substr(0, cmd.size() - 2));
         c.ReadUntil("\r\n");  // RETR
         int fd = channel.Open();
         c.Send("150 here it comes\r\n");
         testing::WriteAll(fd, std::string(1000, 'x'));
         testing::CloseFd(fd);
       },
       [](TFtpClient& f) { f.Get(); },
       {{ftpRqGet, 500}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedServer server([&](ScriptedConnection& c) {
      c.Send("220 ready\r\n");
      k.script(c);
      c.Close();
    });
    TempDir local;
    TFtpClient ftp;
    int closed = 0;
    std::vector<std::pair<TFtpRequest, Word>> done;
    ftp.OnSessionClosed = [&](TCustomFtpCli*, Word) { ++closed; };
    ftp.OnRequestDone = [&](TCustomFtpCli* s, TFtpRequest rq, Word error) {
      EXPECT_EQ(s->State(), ftpReady) << int{rq};
      done.emplace_back(rq, error);
    };
    ftp.SetHostName("127.0.0.1");
    ftp.SetPort(server.PortText());
    ftp.SetHostFileName("f");
    ftp.SetLocalFileName(local.File("f"));
    ftp.Connect();
    ASSERT_TRUE(RunUntil([&] { return done.size() == 1; }));
    done.clear();
    k.start(ftp);
    EXPECT_TRUE(RunUntil([&] { return closed > 0 && done.size() >= k.done.size() && ftp.State() == ftpReady; }));
    // A second close or report would come from the same event loop turn or
    // the posted report right after it.
    testing::RunFor(50);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(done, k.done);
    EXPECT_EQ(ftp.State(), ftpReady);
  }
}

// Each operation against a server that accepts everything: the commands it
// sends, and its events in order (C: OnSessionConnected, the reply codes of
// OnResponse, S: OnSessionClosed, Dn:e: OnRequestDone with request n and
// error e). Operations that need a logged-in client start after Open.
TEST(FtpEvents, OperationsSendTheirCommandsAndTellTheirEvents) {
  using TOp = void (TCustomFtpCli::*)();
  struct Case {
    const char* name;
    TOp op;
    bool open_first;
    std::vector<std::string> commands;
    std::string events;
    std::string local_after = "";  // the local file afterwards ("": not checked)
    std::string stored = "";       // what the server received ("": nothing)
  };
  const std::string login = "R220 C R331 R230 R250";  // greeting, USER, PASS, CWD
  const Case cases[] = {
      {"Transmit", &TCustomFtpCli::Transmit, false,
       {"USER u", "PASS p", "CWD d", "TYPE I", "EPSV", "STOR f", "QUIT"},
       login + " R200 R229 R150 R226 R221 S D36:0", "", "upload"},
      {"AppendFile", &TCustomFtpCli::AppendFile, false,
       {"USER u", "PASS p", "CWD d", "TYPE I", "EPSV", "APPE f", "QUIT"},
       login + " R200 R229 R150 R226 R221 S D36:0", "", "upload"},
      {"RestartPut", &TCustomFtpCli::RestartPut, true, {"EPSV", "REST 2", "STOR f"}, "R229 R350 R150 R226 D41:0", "",
       "load"},
      {"RestartReceive", &TCustomFtpCli::RestartReceive, false,
       {"USER u", "PASS p", "CWD d", "TYPE I", "EPSV", "REST 6", "RETR f", "QUIT"},
       login + " R200 R229 R350 R150 R226 R221 S D40:0", "uploadmote"},
      {"Directory", &TCustomFtpCli::Directory, false, {"USER u", "PASS p", "CWD d", "EPSV", "LIST f", "QUIT"},
       login + " R229 R150 R226 R221 S D11:0", "the remote"},
      {"List", &TCustomFtpCli::List, false, {"USER u", "PASS p", "CWD d", "EPSV", "NLST f", "QUIT"},
       login + " R229 R150 R226 R221 S D12:0", "the remote"},
      {"Mkdir", &TCustomFtpCli::Mkdir, false, {"USER u", "PASS p", "CWD d", "MKD f", "QUIT"},
       login + " R257 R221 S D30:0"},
      {"Rmdir", &TCustomFtpCli::Rmdir, false, {"USER u", "PASS p", "CWD d", "RMD f", "QUIT"},
       login + " R250 R221 S D31:0"},
      {"Delete", &TCustomFtpCli::Delete, false, {"USER u", "PASS p", "CWD d", "DELE f", "QUIT"},
       login + " R250 R221 S D29:0"},
      {"RenameFile", &TCustomFtpCli::RenameFile, false,
       {"USER u", "PASS p", "CWD d", "RNFR f", "RNTO SITE X", "QUIT"}, login + " R350 R250 R221 S D24:0"},
      {"DoQuote", &TCustomFtpCli::DoQuote, false, {"USER u", "PASS p", "CWD d", "SITE X", "QUIT"},
       login + " R200 R221 S D35:0"},
      {"CDup", &TCustomFtpCli::CDup, true, {"CDUP"}, "R250 D34:0"},
      {"TypeAscii", &TCustomFtpCli::TypeAscii, true, {"TYPE A"}, "R200 D37:0"},
      {"TypeBinary", &TCustomFtpCli::TypeBinary, true, {"TYPE I"}, "R200 D37:0"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string stored;
    std::optional<ScriptedServer> server(std::in_place,
                                         [&](ScriptedConnection& c) { ServeEverything(c, "the remote", stored); });
    TempDir local;
    testing::WriteFile(local.File("f"), "upload");
    TFtpClient ftp;
    std::vector<std::string> commands;
    std::string events;
    size_t reports = 0;
    auto note = [&](const std::string& e) { events += (events.empty() ? "" : " ") + e; };
    ftp.OnSessionConnected = [&](TCustomFtpCli*, Word) { note("C"); };
    ftp.OnResponse = [&](TCustomFtpCli* s) { note("R" + std::to_string(s->StatusCode())); };
    ftp.OnSessionClosed = [&](TCustomFtpCli*, Word) { note("S"); };
    ftp.OnRequestDone = [&](TCustomFtpCli*, TFtpRequest rq, Word e) {
      ++reports;
      note("D" + std::to_string(rq) + ":" + std::to_string(e));
    };
    ftp.OnCommand = [&](TCustomFtpCli*, std::string& cmd) { commands.push_back(cmd); };
    ftp.SetHostName("127.0.0.1");
    ftp.SetPort(server->PortText());
    ftp.SetUserName("u");
    ftp.SetPassWord("p");
    ftp.SetHostDirName("d");
    ftp.SetHostFileName("f");
    ftp.SetPassive(true);
    if (k.open_first) {
      ftp.Open();
      ASSERT_TRUE(RunUntil([&] { return reports == 1; }));
      events.clear();
      commands.clear();
    }
    ftp.SetLocalFileName(k.op == &TCustomFtpCli::RenameFile || k.op == &TCustomFtpCli::DoQuote ? "SITE X"
                                                                                                : local.File("f"));
    // RestartPut's offset; RestartReceive takes the local file's size.
    if (k.op == &TCustomFtpCli::RestartPut) ftp.SetResumeAt(2);
    const size_t before = reports;
    (ftp.*k.op)();
    ASSERT_TRUE(RunUntil([&] { return reports > before; }));
    EXPECT_EQ(commands, k.commands);
    EXPECT_EQ(events, k.events);
    ftp.Abort();
    server.reset();  // its scripts have ended
    if (!k.local_after.empty()) {
      EXPECT_EQ(testing::ReadFile(local.File("f")), k.local_after);
    }
    EXPECT_EQ(stored, k.stored);
  }
}

}  // namespace
}  // namespace quillon
