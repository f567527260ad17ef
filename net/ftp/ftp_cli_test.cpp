// The FTP client against scripted servers: reply assembly and judging,
// greetings, sequences and their special rules, the data connection's edge
// cases and the faults the client guards against.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>

#include "base/memory_stream.h"
#include "tests/support/ftp_test_harness.h"
#include "tests/support/ftp_script.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using namespace testing;

// One command line from the client, without CR LF.
std::string Command(ScriptedConnection& c) {
  std::string line = c.ReadUntil("\r\n");
  if (line.size() >= 2) line.resize(line.size() - 2);
  return line;
}

// A port of 127.0.0.1 that refuses connections: bound and kept open, never
// listening, so no other test can take it meanwhile.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sin), len) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sin), &len) == 0)
      port_ = ntohs(sin.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  std::string PortText() const { return std::to_string(port_); }

 private:
  int fd_;
  uint16_t port_ = 0;
};

// Serves one RETR: answers PORT/PASV, reads RETR, sends the data and the
// replies in the given order.
void ServeRetr(ScriptedConnection& c, const std::string& data, bool reply_before_close,
               const std::string& pasv_suffix = "") {
  ScriptedFtpData channel;
  channel.Answer(c, Command(c), pasv_suffix);
  std::string retr = Command(c);
  if (retr.rfind("RETR", 0) != 0) return;
  int fd = channel.Open();
  c.Send("150 Opening BINARY mode data connection\r\n");
  if (reply_before_close) c.Send("226 Transfer complete\r\n");
  testing::WriteAll(fd, data);
  testing::CloseFd(fd);
  if (!reply_before_close) c.Send("226 Transfer complete\r\n");
}

class FtpScriptedTest : public ::testing::Test {
 protected:
  // Starts server with script and connects the client (greeting 220 is the
  // script's first line).
  void ConnectTo(ScriptedServer& server) {
    h.ftp.SetPort(server.PortText());
    ASSERT_EQ(h.Run([&] { h.ftp.Connect(); }, ftpRqConnect), 0) << h.ftp.LastResponse();
  }
  FtpHarness h;
  TempDir local;
};

TEST(FtpReplyTest, ParsingHelpers) {
  EXPECT_EQ(FtpReplyCode(" 213 5"), 213);
  // Codes outside 100-599 are failures, never success.
  for (const char* odd : {"000 Completed.", "099 x", "600 x", "65536 Completed.", "-226 x"})
    EXPECT_EQ(FtpReplyCode(odd), 500) << odd;
  EXPECT_TRUE(FtpReplyIsFinal("220 ready"));
  EXPECT_TRUE(FtpReplyIsFinal("123 continuation that looks final"));
  EXPECT_FALSE(FtpReplyIsFinal("220-more"));
  EXPECT_FALSE(FtpReplyIsFinal(" 220 leading blank"));
  EXPECT_EQ(FtpSizeFromReply("213 5000000000"), int64_t{5000000000});
  EXPECT_EQ(FtpSizeFromReply("213"), 0);
  EXPECT_EQ(FtpDirFromReply("257 \"/a \"\"quoted\"\" dir\" is current"), "/a \"quoted\" dir");
  EXPECT_EQ(FtpDirFromReply("257 \"/open"), "/open");
  EXPECT_EQ(FtpDirFromReply("250 Directory changed"), "");

  std::string addr;
  int port = 0;
  EXPECT_TRUE(FtpParsePasvReply("227 Entering Passive Mode (127,0,0,1,19,137).", addr, port));
  EXPECT_EQ(addr, "127.0.0.1");
  EXPECT_EQ(port, 5001);
  EXPECT_FALSE(FtpParsePasvReply("227 Entering Passive Mode 127,0,0,1,19,137", addr, port));
  EXPECT_FALSE(FtpParsePasvReply("227 Entering Passive Mode (127,0,0,1,19)", addr, port));
  EXPECT_FALSE(FtpParsePasvReply("227 (127,0,0,1,19,x)", addr, port));
  EXPECT_FALSE(FtpParsePasvReply("227 (127,0,0,1,19,137,5)", addr, port));

  EXPECT_TRUE(FtpParseEpsvReply("229 Entering Extended Passive Mode (|||5001|)", port));
  EXPECT_EQ(port, 5001);
  EXPECT_TRUE(FtpParseEpsvReply("229 ok (!!!65535!).", port));
  EXPECT_EQ(port, 65535);
  for (const char* bad : {"229 (|||0|)", "229 (|||65536|)", "229 (||||)", "229 (|||50x|)", "229 (|!|5001|)",
                          "229 (|||5001|", "229 |||5001|", "229 (111151111)", "229 (|||1234567|)"})
    EXPECT_FALSE(FtpParseEpsvReply(bad, port)) << bad;
  EXPECT_EQ(FtpEprtCommand("127.0.0.1", 5001), "EPRT |1|127.0.0.1|5001|");
  EXPECT_EQ(FtpEprtCommand("::1", 5001), "EPRT |2|::1|5001|");
  EXPECT_EQ(FtpPortCommand("127.0.0.1", 0x0A000005, 5001), "PORT 127,0,0,1,19,137");
  EXPECT_EQ(FtpPortCommand("192.0.2.1", 0xC0A80102, 5001), "PORT 192,168,1,2,19,137");
  EXPECT_EQ(FtpTransferRate(40000, 2000), 20000);
  EXPECT_EQ(FtpTransferRate(1000, 3), 333333);
}

TEST_F(FtpScriptedTest, MultiLineRepliesAreJudgedOnTheirLastLine) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220-Welcome\r\n220-second line\r\n220 ready\r\n");
    Command(c);  // USER
    c.Send("230-hello\r\n123 a continuation that looks final\r\n230 logged in\r\n");
    c.ReadToEnd();
  });
  ConnectTo(server);
  EXPECT_TRUE(h.Displayed("< 220-Welcome"));
  EXPECT_TRUE(h.Displayed("< 220-second line"));
  EXPECT_TRUE(h.Displayed("< 220 ready"));
  EXPECT_EQ(h.ftp.StatusCode(), 220);
  h.ftp.SetUserName("u");
  EXPECT_EQ(h.Run([&] { h.ftp.User(); }, ftpRqUser), 123);
  RunUntil([&] { return h.Displayed("< 230 logged in"); }, 5000);
  EXPECT_TRUE(h.Displayed("< 230 logged in"));  // shown, not judged again
  EXPECT_EQ(h.done.size(), 2u);
}

TEST_F(FtpScriptedTest, BareLineFeedReplies) {
  for (bool accept_lf : {true, false}) {
    SCOPED_TRACE(accept_lf);
    std::promise<void> go;
    std::future<void> released = go.get_future();
    ScriptedServer server([&](ScriptedConnection& c) {
      c.Send("220 hello\n");
      released.wait_for(std::chrono::seconds(10));
      c.Send("220 again\r\n");
      c.ReadToEnd();
    });
    FtpHarness client;
    if (!accept_lf) client.ftp.SetOptions({});
    client.ftp.SetPort(server.PortText());
    client.ftp.Connect();
    if (accept_lf) {
      ASSERT_TRUE(RunUntil([&] { return !client.done.empty(); }));
      EXPECT_EQ(client.ftp.LastResponse(), "220 hello");
    } else {
      // The bare LF does not end the line: nothing is reported until CR LF.
      ASSERT_TRUE(RunUntil([&] { return client.ftp.ControlSocket()->ReadCount() == 10; }));
      EXPECT_TRUE(client.done.empty());
      go.set_value();
      ASSERT_TRUE(RunUntil([&] { return !client.done.empty(); }));
      EXPECT_EQ(client.ftp.LastResponse(), "220 hello\n220 again");
    }
    EXPECT_EQ(client.done[0].second, 0);
    if (accept_lf) go.set_value();
    client.ftp.Abort();
  }
}

TEST_F(FtpScriptedTest, GreetingOtherThan220ClosesAndReportsItsCode) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("421 Too many users\r\n");
    c.ReadToEnd();
  });
  h.ftp.SetPort(server.PortText());
  EXPECT_EQ(h.Run([&] { h.ftp.Connect(); }, ftpRqConnect), 421);
  EXPECT_EQ(h.ftp.ErrorMessage(), "421 Too many users");
  EXPECT_FALSE(h.ftp.Connected());
  EXPECT_EQ(h.ftp.State(), ftpReady);
  RunFor(100);
  EXPECT_EQ(h.done.size(), 1u);
}

TEST_F(FtpScriptedTest, OverlongReplyLineEndsTheConnection) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send(std::string(5000, '2'));
    c.ReadToEnd();
  });
  h.ftp.SetPort(server.PortText());
  EXPECT_EQ(h.Run([&] { h.ftp.Connect(); }, ftpRqConnect), 500);
  EXPECT_EQ(h.ftp.ErrorMessage(), "500 Control connection closed.");
  EXPECT_FALSE(h.ftp.Connected());
}

TEST_F(FtpScriptedTest, RestRefusedLeavesTheLocalFileUntouched) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    ScriptedFtpData channel;
    channel.Answer(c, Command(c));
    Command(c);  // REST
    c.Send("502 REST not implemented\r\n");
    c.ReadToEnd();
  });
  ConnectTo(server);
  const std::string part(3000, 'p');
  WriteFile(local.File("part.bin"), part);
  h.ftp.SetPassive(true);
  h.ftp.SetHostFileName("file.bin");
  h.ftp.SetLocalFileName(local.File("part.bin"));
  EXPECT_EQ(h.Run([&] { h.ftp.RestartGet(); }, ftpRqRestartGet), 502);
  EXPECT_EQ(ReadFile(local.File("part.bin")), part);
  EXPECT_EQ(h.commands.back(), "REST 3000");
  EXPECT_EQ(h.ftp.ErrorMessage(), "502 REST not implemented");
}

TEST_F(FtpScriptedTest, TransferReplyBeforeDataCloseWaitsForTheData) {
  for (bool passive : {false, true}) {
    SCOPED_TRACE(passive);
    const std::string data(200000, 'd');
    // The passive reply carries a full stop after its parenthesis.
    ScriptedServer server([&](ScriptedConnection& c) {
      c.Send("220 ready\r\n");
      ServeRetr(c, data, true, ".");
      c.ReadToEnd();
    });
    FtpHarness client;
    client.ftp.SetPort(server.PortText());
    client.ftp.SetPassive(passive);
    ASSERT_EQ(client.Run([&] { client.ftp.Connect(); }, ftpRqConnect), 0);
    client.ftp.SetHostFileName("file.bin");
    client.ftp.SetLocalFileName(local.File("file.bin"));
    EXPECT_EQ(client.Run([&] { client.ftp.Get(); }, ftpRqGet), 0) << client.ftp.ErrorMessage();
    EXPECT_TRUE(ReadFile(local.File("file.bin")) == data);
    // The extended command first; this server refuses it.
    ASSERT_GE(client.commands.size(), 2u);
    if (passive) {
      EXPECT_EQ(client.commands[0], "EPSV");
      EXPECT_EQ(client.commands[1], "PASV");
    } else {
      ASSERT_EQ(client.commands[0].rfind("EPRT |1|127.0.0.1|", 0), 0u) << client.commands[0];
      // Loopback control connection: the loopback address, then the port.
      ASSERT_EQ(client.commands[1].rfind("PORT 127,0,0,1,", 0), 0u) << client.commands[1];
      EXPECT_GT(testing::PortFromCommand(client.commands[1]), 0);
    }
    RunFor(100);
    EXPECT_EQ(client.done.size(), 2u);
  }
}

// Over IPv4 the extended commands go first; a 5xx refusal makes the client
// use PASV / PORT for the rest of the connection, any other refusal fails.
TEST_F(FtpScriptedTest, ExtendedDataCommandsAndTheirFallback) {
  struct Case {
    bool passive;
    const char* refusal;  // "" : the server knows EPSV / EPRT
    int result;
    std::vector<std::string> verbs;  // the data commands of two downloads
  } cases[] = {
      {true, "", 0, {"EPSV", "EPSV"}},
      {false, "", 0, {"EPRT", "EPRT"}},
      {true, "500 unknown", 0, {"EPSV", "PASV", "PASV"}},
      {true, "550 Permission denied.", 0, {"EPSV", "PASV", "PASV"}},
      {false, "502 not implemented", 0, {"EPRT", "PORT", "PORT"}},
      {true, "421 going away", 421, {"EPSV"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.passive ? "passive " : "active ") + k.refusal);
    ScriptedServer server([&](ScriptedConnection& c) {
      c.Send("220 ready\r\n");
      for (int i = 0; i < 2; ++i) {
        ScriptedFtpData channel(true);
        std::string cmd = Command(c);
        if (*k.refusal && (cmd == "EPSV" || cmd.rfind("EPRT", 0) == 0)) {
          c.Send(std::string(k.refusal) + "\r\n");
          if (k.result != 0) break;
          cmd = Command(c);
        }
        channel.Answer(c, cmd);
        if (Command(c).rfind("RETR", 0) != 0) break;
        int fd = channel.Open();
        c.Send("150 ok\r\n");
        testing::WriteAll(fd, "payload");
        testing::CloseFd(fd);
        c.Send("226 done\r\n");
      }
      c.ReadToEnd();
    });
    FtpHarness client;
    client.ftp.SetPort(server.PortText());
    client.ftp.SetPassive(k.passive);
    ASSERT_EQ(client.Run([&] { client.ftp.Connect(); }, ftpRqConnect), 0);
    client.ftp.SetHostFileName("f");
    for (int i = 0; i < (k.result ? 1 : 2); ++i) {
      client.ftp.SetLocalFileName(local.File("f" + std::to_string(i) + k.refusal));
      EXPECT_EQ(client.Run([&] { client.ftp.Get(); }, ftpRqGet), k.result) << client.ftp.ErrorMessage();
      if (k.result == 0) {
        EXPECT_EQ(ReadFile(local.File("f" + std::to_string(i) + k.refusal)), "payload");
      }
    }
    std::vector<std::string> verbs;
    for (const std::string& cmd : client.commands)
      if (cmd.rfind("RETR", 0) != 0) verbs.push_back(cmd.substr(0, 4));
    EXPECT_EQ(verbs, k.verbs);
    if (k.result != 0) {
      EXPECT_EQ(client.ftp.ErrorMessage(), k.refusal);
    }
    client.ftp.Abort();
  }
}

TEST_F(FtpScriptedTest, EmptyRemoteFile) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    ServeRetr(c, "", false);
    c.ReadToEnd();
  });
  ConnectTo(server);
  h.ftp.SetHostFileName("empty.bin");
  h.ftp.SetLocalFileName(local.File("empty.bin"));
  EXPECT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 0);
  EXPECT_TRUE(testing::FileExists(local.File("empty.bin")));
  EXPECT_EQ(ReadFile(local.File("empty.bin")), "");
  EXPECT_TRUE(h.Displayed("! 0 bytes received/sent in "));
}

TEST_F(FtpScriptedTest, DirResultAndAcceptedCodes) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    Command(c);  // PWD
    c.Send("257 \"/a \"\"quoted\"\" dir\" is current directory\r\n");
    Command(c);  // CWD
    c.Send("250 Directory changed\r\n");
    Command(c);  // SITE ONE
    c.Send("499 odd but below 500\r\n");
    Command(c);  // SITE TWO
    c.Send("500 refused\r\n");
    Command(c);  // SIZE
    c.Send("213 5000000000\r\n");
    c.ReadToEnd();
  });
  ConnectTo(server);
  EXPECT_EQ(h.Run([&] { h.ftp.Pwd(); }, ftpRqPwd), 0);
  EXPECT_EQ(h.ftp.DirResult(), "/a \"quoted\" dir");
  h.ftp.SetHostDirName("x");
  EXPECT_EQ(h.Run([&] { h.ftp.Cwd(); }, ftpRqCwd), 0);
  EXPECT_EQ(h.ftp.DirResult(), "");
  h.ftp.SetLocalFileName("SITE ONE");
  EXPECT_EQ(h.Run([&] { h.ftp.Quote(); }, ftpRqQuote), 0);
  h.ftp.SetLocalFileName("SITE TWO");
  EXPECT_EQ(h.Run([&] { h.ftp.Quote(); }, ftpRqQuote), 500);
  EXPECT_EQ(h.ftp.ErrorMessage(), "500 refused");
  EXPECT_EQ(h.commands.back(), "SITE TWO");
  h.ftp.SetHostFileName("huge.iso");
  EXPECT_EQ(h.Run([&] { h.ftp.Size(); }, ftpRqSize), 0);
  EXPECT_EQ(h.ftp.SizeResult(), int64_t{5000000000});
}

// MDTM fills MdtmResult from a 213 and clears it on a refusal; a download
// that passes DownloadLimit stops at once with the bytes up to the limit.
TEST_F(FtpScriptedTest, MdtmAndDownloadLimit) {
  const std::string data(300000, 'd');
  ScriptedServer server([&](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    Command(c);  // MDTM
    c.Send("213  20240101120000 \r\n");
    Command(c);  // MDTM
    c.Send("550 No such file\r\n");
    ScriptedFtpData channel;
    channel.Answer(c, Command(c));
    Command(c);  // RETR
    int fd = channel.Open();
    c.Send("150 Opening BINARY mode data connection\r\n");
    testing::WriteAll(fd, data);
    testing::CloseFd(fd);
    c.Send("226 Transfer complete\r\n");
    c.ReadToEnd();
  });
  ConnectTo(server);
  h.ftp.SetHostFileName("file.bin");
  EXPECT_EQ(h.Run([&] { h.ftp.Mdtm(); }, ftpRqMdtm), 0);
  EXPECT_EQ(h.commands.back(), "MDTM file.bin");
  EXPECT_EQ(h.ftp.MdtmResult(), "20240101120000");
  EXPECT_EQ(h.Run([&] { h.ftp.Mdtm(); }, ftpRqMdtm), 550);
  EXPECT_EQ(h.ftp.MdtmResult(), "");
  h.ftp.SetLocalFileName(local.File("file.bin"));
  h.ftp.SetDownloadLimit(100000);
  EXPECT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 552);
  EXPECT_TRUE(h.ftp.LimitPassed());
  EXPECT_EQ(h.ftp.ErrorMessage(), "552 More than 100000 bytes received.");
  EXPECT_TRUE(ReadFile(local.File("file.bin")) == data.substr(0, 100000));
  EXPECT_FALSE(h.ftp.Connected());
}

TEST_F(FtpScriptedTest, ServerDroppingBothConnectionsReportsOnce) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    ScriptedFtpData channel;
    channel.Answer(c, Command(c));
    Command(c);  // RETR
    int fd = channel.Open();
    c.Send("150 here it comes\r\n");
    testing::WriteAll(fd, std::string(1000, 'x'));
    testing::CloseFd(fd);
    c.Close();
  });
  ConnectTo(server);
  h.ftp.SetHostFileName("f");
  h.ftp.SetLocalFileName(local.File("f"));
  // No final reply came: the hang-up is a failure, reported once.
  EXPECT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 500);
  EXPECT_EQ(h.ftp.ErrorMessage(), "500 Control connection closed.");
  RunFor(200);
  EXPECT_EQ(h.done.size(), 2u);
  EXPECT_FALSE(h.ftp.Connected());
}

TEST_F(FtpScriptedTest, ActiveModeTurnsAwayStrangers) {
  std::atomic<bool> stranger_closed{false};
  const std::string data = "the real data";
  ScriptedServer server([&](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    int port = testing::PortFromCommand(Command(c));
    c.Send("200 PORT ok\r\n");
    Command(c);  // RETR
    // A caller from another address of the host comes first.
    int stranger = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
    ::bind(stranger, reinterpret_cast<sockaddr*>(&from), sizeof from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(stranger, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
      stranger_closed = testing::ReadToEnd(stranger, 5000).empty();
    ::close(stranger);
    int fd = testing::ConnectLoopback(static_cast<uint16_t>(port));
    c.Send("150 ok\r\n");
    testing::WriteAll(fd, data);
    testing::CloseFd(fd);
    c.Send("226 done\r\n");
    c.ReadToEnd();
  });
  ConnectTo(server);
  h.ftp.SetHostFileName("f");
  h.ftp.SetLocalFileName(local.File("f"));
  EXPECT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 0) << h.ftp.ErrorMessage();
  EXPECT_TRUE(stranger_closed);
  EXPECT_TRUE(h.Displayed("! Data connection from 127.0.0.2 refused"));
  EXPECT_EQ(ReadFile(local.File("f")), data);
}

TEST_F(FtpScriptedTest, PassiveModeConnectsToTheServerNotToTheReplyAddress) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    Command(c);  // PASV
    testing::LoopbackListener listener;  // on 127.0.0.1 only
    int port = listener.port();
    c.Send("227 Entering Passive Mode (127,0,0,2," + std::to_string(port / 256) + "," + std::to_string(port % 256) +
           ")\r\n");
    Command(c);  // RETR
    int fd = listener.Accept(5000);
    c.Send("150 ok\r\n");
    testing::WriteAll(fd, "payload");
    testing::CloseFd(fd);
    c.Send("226 done\r\n");
    c.ReadToEnd();
  });
  ConnectTo(server);
  h.ftp.SetPassive(true);
  h.ftp.SetHostFileName("f");
  h.ftp.SetLocalFileName(local.File("f"));
  EXPECT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 0) << h.ftp.ErrorMessage();
  EXPECT_EQ(ReadFile(local.File("f")), "payload");
}

TEST_F(FtpScriptedTest, MalformedPassiveRepliesFailWith550) {
  for (const char* reply : {"227 Entering Passive Mode 127,0,0,1,4,1", "227 Entering Passive Mode (127,0,0,1,4)"}) {
    SCOPED_TRACE(reply);
    std::string text = reply;
    ScriptedServer server([&](ScriptedConnection& c) {
      c.Send("220 ready\r\n");
      Command(c);  // PASV
      c.Send(text + "\r\n");
      c.ReadToEnd();
    });
    FtpHarness client;
    client.ftp.SetPort(server.PortText());
    ASSERT_EQ(client.Run([&] { client.ftp.Connect(); }, ftpRqConnect), 0);
    client.ftp.SetPassive(true);
    client.ftp.SetHostFileName("f");
    client.ftp.SetLocalFileName(local.File("f"));
    EXPECT_EQ(client.Run([&] { client.ftp.Get(); }, ftpRqGet), 550);
    EXPECT_EQ(client.ftp.ErrorMessage(), "Unable to establish data connection");
    EXPECT_EQ(client.commands.size(), 1u);  // no RETR
    EXPECT_TRUE(client.ftp.Connected());
    client.ftp.Abort();
  }
}

TEST_F(FtpScriptedTest, FailingAcceptFailsWith550) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    const std::string port = Command(c);
    c.Send(port.rfind("PORT", 0) == 0 || port.rfind("EPRT", 0) == 0 ? "200 PORT ok\r\n" : "500 ?\r\n");
    Command(c);  // RETR
    c.Send("150 ok\r\n");
    c.ReadToEnd();
  });
  ConnectTo(server);
  // When RETR goes out, the listening handle is shut down: it reports
  // readiness, and accepting on it fails.
  h.ftp.OnCommand = [&](TCustomFtpCli* sender, std::string& cmd) {
    if (cmd.rfind("RETR", 0) == 0) ::shutdown(sender->DataSocket()->HSocket(), SHUT_RD);
  };
  h.ftp.SetHostFileName("f");
  h.ftp.SetLocalFileName(local.File("f"));
  EXPECT_EQ(h.Run([&] { h.ftp.Get(); }, ftpRqGet), 550);
  EXPECT_EQ(h.ftp.ErrorMessage(), "Unable to establish data connection");
  EXPECT_EQ(h.ftp.DataSocket()->State(), wsClosed);
  EXPECT_TRUE(h.ftp.Connected());
  h.ftp.Abort();
}

TEST_F(FtpScriptedTest, UsageErrorInsideASequenceEndsItWithAReport) {
  for (bool with_handler : {false, true}) {
    SCOPED_TRACE(with_handler);
    ScriptedServer server([](ScriptedConnection& c) {
      c.Send("220 ready\r\n");
      c.ReadToEnd();
    });
    FtpHarness client;
    if (with_handler) client.ftp.OnError = [&](TCustomFtpCli*, std::string& msg) { client.errors.push_back(msg); };
    client.ftp.SetPort(server.PortText());
    client.ftp.SetUserName("");
    EXPECT_EQ(client.Run([&] { client.ftp.Open(); }, ftpRqOpen), 500);
    EXPECT_EQ(client.ftp.ErrorMessage(), "UserName emtpy");
    EXPECT_EQ(client.errors, with_handler ? std::vector<std::string>{"UserName emtpy"} : std::vector<std::string>{});
    EXPECT_EQ(client.ftp.State(), ftpReady);
    EXPECT_TRUE(client.ftp.Connected());  // the first failing step ends the sequence; no QUIT
    client.ftp.Abort();
  }
}

TEST_F(FtpScriptedTest, UsageErrorsOutsideRequests) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    c.ReadToEnd();
  });
  EXPECT_THROW(h.ftp.ExecGet(), FtpException);
  try {
    h.ftp.User();
  } catch (const FtpException& e) {
    EXPECT_STREQ(e.what(), "UserName emtpy");
  }
  ConnectTo(server);
  h.ftp.OnError = [&](TCustomFtpCli*, std::string& msg) { h.errors.push_back(msg); };
  h.ftp.Connect();
  h.ftp.SetConnectionType(ftpSocks5);
  h.ftp.SetHostFileName("");
  h.ftp.ExecPut();
  EXPECT_EQ(h.errors, (std::vector<std::string>{"FTP component already connected", "FTP component connected",
                                                "LocalFileName empty"}));
  EXPECT_EQ(h.ftp.ConnectionType(), ftpDirect);
  // Abort while idle reports nothing.
  h.ftp.Abort();
  RunFor(100);
  EXPECT_EQ(h.done.size(), 1u);
  EXPECT_FALSE(h.ftp.Connected());
  // QUIT and ABOR skip the checks; without a connection they end at once.
  EXPECT_EQ(h.Run([&] { h.ftp.Quit(); }, ftpRqQuit), 0);
  EXPECT_EQ(h.Run([&] { h.ftp.Abor(); }, ftpRqAbor), 500);
  EXPECT_EQ(h.ftp.ErrorMessage(), "500 Control connection closed.");
}

TEST_F(FtpScriptedTest, ExceptionFromRequestDoneHandlerAbortsThePendingRequest) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    c.ReadToEnd();  // SIZE is never answered
  });
  int bg_exceptions = 0;
  h.ftp.OnBgException = [&](TCustomFtpCli*, const std::exception& e, bool& can_close) {
    ++bg_exceptions;
    EXPECT_STREQ(e.what(), "handler failed");
    EXPECT_TRUE(can_close);
  };
  h.ftp.OnRequestDone = [&](TCustomFtpCli* sender, TFtpRequest rq, Word error) {
    h.done.emplace_back(rq, error);
    if (rq == ftpRqConnect) {
      sender->Size();
      throw std::runtime_error("handler failed");
    }
  };
  h.ftp.SetPort(server.PortText());
  h.ftp.Connect();
  ASSERT_TRUE(RunUntil([&] { return h.done.size() >= 2; }));
  EXPECT_EQ(bg_exceptions, 1);
  EXPECT_EQ(h.done[1], (std::pair<TFtpRequest, Word>{ftpRqSize, 426}));
  EXPECT_EQ(h.ftp.ErrorMessage(), "426 Operation aborted.");
}

// A download with StopAt closes its data connection at that length and
// takes the server's 2xx or 4xx that follows as its end: the session serves
// the next piece. A 5xx still fails.
TEST_F(FtpScriptedTest, StopAtEndsTheTransferAndKeepsTheSession) {
  const std::string data = std::string(200000, 'a') + std::string(200000, 'b');
  const struct {
    int64_t from;
    std::string reply;
    Word error;
  } cases[] = {{0, "226 Transfer complete", 0},
               {150000, "426 Failure writing network stream.", 0},
               {390000, "451 Aborted", 0},
               {1000, "550 Failed", 550}};
  ScriptedServer server([&](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    for (const auto& k : cases) {
      ScriptedFtpData channel;
      channel.Answer(c, Command(c));
      if (k.from > 0) {
        Command(c);  // REST
        c.Send("350 Restarting\r\n");
      }
      Command(c);  // RETR
      int fd = channel.Open();
      c.Send("150 ok\r\n");
      testing::WriteAll(fd, data.substr(static_cast<size_t>(k.from)));
      testing::ReadN(fd, 1);  // until the client closes
      testing::CloseFd(fd);
      c.Send(k.reply + "\r\n");
    }
    c.ReadToEnd();
  });
  ConnectTo(server);
  h.ftp.SetHostFileName("file.bin");
  h.ftp.SetLocalFileName(local.File("file.bin"));
  h.ftp.SetOptions({ftpAcceptLF, ftpNoAutoResumeAt});
  for (const auto& k : cases) {
    SCOPED_TRACE(k.reply);
    TStringStream piece;
    h.ftp.SetLocalStream(&piece);
    h.ftp.SetResumeAt(k.from);
    h.ftp.SetStopAt(std::min<int64_t>(k.from + 100000, static_cast<int64_t>(data.size())));
    EXPECT_EQ(h.Run([&] { h.ftp.RestartGet(); }, ftpRqRestartGet), k.error) << h.ftp.ErrorMessage();
    EXPECT_TRUE(h.ftp.StopReached());
    EXPECT_TRUE(piece.DataString() == data.substr(static_cast<size_t>(k.from), 100000));
    EXPECT_TRUE(h.ftp.Connected());
  }
}

TEST_F(FtpScriptedTest, RestartBeyondTwoGigabytes) {
  const int64_t offset = int64_t{3} << 30;
  std::string rest_line;
  ScriptedServer server([&](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    ScriptedFtpData channel;
    channel.Answer(c, Command(c));
    rest_line = Command(c);
    c.Send("350 Restarting\r\n");
    Command(c);  // RETR
    int fd = channel.Open();
    c.Send("150 ok\r\n");
    testing::WriteAll(fd, "tail");
    testing::CloseFd(fd);
    c.Send("226 done\r\n");
    c.ReadToEnd();
  });
  ConnectTo(server);
  // A sparse local file of 3 GiB.
  WriteFile(local.File("big"), "");
  ASSERT_EQ(::truncate(local.File("big").c_str(), offset), 0);
  h.ftp.SetHostFileName("big");
  h.ftp.SetLocalFileName(local.File("big"));
  EXPECT_EQ(h.Run([&] { h.ftp.RestartGet(); }, ftpRqRestartGet), 0) << h.ftp.ErrorMessage();
  EXPECT_EQ(rest_line, "REST 3221225472");
  ASSERT_FALSE(h.progress.empty());
  EXPECT_EQ(h.progress.front(), offset);
  struct stat st;
  ASSERT_EQ(::stat(local.File("big").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, offset + 4);
}

TEST_F(FtpScriptedTest, LoginWithoutPasswordSkipsPass) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    Command(c);  // USER
    c.Send("230 no password needed\r\n");
    Command(c);  // SYST
    c.Send("215 UNIX\r\n");
    Command(c);  // QUIT
    c.Send("221 bye\r\n");
    c.ReadToEnd();
  });
  h.ftp.SetPort(server.PortText());
  h.ftp.SetUserName("u");
  h.ftp.SetPassWord("p");
  EXPECT_EQ(h.Run([&] { h.ftp.System(); }, ftpRqSystem), 0) << h.ftp.ErrorMessage();
  EXPECT_EQ(h.commands, (std::vector<std::string>{"USER u", "SYST", "QUIT"}));
  EXPECT_EQ(h.ftp.LastResponse(), "215 UNIX");  // the reply before QUIT
  EXPECT_FALSE(h.ftp.Connected());
  EXPECT_EQ(h.done.size(), 1u);
}

TEST_F(FtpScriptedTest, RefusedConnection) {
  RefusingPort refusing;
  h.ftp.SetPort(refusing.PortText());
  EXPECT_EQ(h.Run([&] { h.ftp.Open(); }, ftpRqOpen), 10061);
  EXPECT_EQ(h.ftp.LastResponse(), "500 " + SocketErrorText(10061) + " (Winsock error #10061)");
  EXPECT_EQ(h.ftp.StatusCode(), 500);
  EXPECT_EQ(h.ftp.State(), ftpReady);
  RunFor(100);
  EXPECT_EQ(h.done.size(), 1u);
}

TEST_F(FtpScriptedTest, StatesOfAConnect) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    c.ReadToEnd();
  });
  std::vector<TFtpState> states;
  h.ftp.OnStateChange = [&](TCustomFtpCli* sender) { states.push_back(sender->State()); };
  ConnectTo(server);
  EXPECT_EQ(states, (std::vector<TFtpState>{ftpDnsLookup, ftpWaitingBanner, ftpConnected, ftpReady}));
}

TEST_F(FtpScriptedTest, UploadCancelledByTheApplication) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    ScriptedFtpData channel;
    channel.Answer(c, Command(c));
    c.ReadToEnd();
  });
  ConnectTo(server);
  WriteFile(local.File("up"), "data");
  h.ftp.SetLocalFileName(local.File("up"));
  h.ftp.SetHostFileName("up");
  h.ftp.OnReadyToTransmit = [](TCustomFtpCli*, bool& cancel) { cancel = true; };
  EXPECT_EQ(h.Run([&] { h.ftp.Put(); }, ftpRqPut), 426);
  EXPECT_EQ(h.ftp.ErrorMessage(), "426 Transmit cancelled by application");
  EXPECT_TRUE(h.Displayed("! 426 Transmit cancelled by application"));
  EXPECT_EQ(h.commands.size(), 2u);  // EPRT (refused) and PORT only, no STOR
  EXPECT_EQ(h.ftp.DataSocket()->State(), wsClosed);
}

TEST_F(FtpScriptedTest, SynchronizeAndWaitUntilReady) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("220 ready\r\n");
    Command(c);  // SYST
    c.Send("215 UNIX Type: L8\r\n");
    c.ReadToEnd();  // SIZE is never answered
  });
  h.ftp.SetPort(server.PortText());
  EXPECT_TRUE(h.ftp.Synchronize(&TCustomFtpCli::Connect));
  EXPECT_TRUE(h.ftp.Synchronize(&TCustomFtpCli::Syst));
  EXPECT_EQ(h.ftp.LastResponse(), "215 UNIX Type: L8");
  EXPECT_FALSE(h.ftp.Synchronize(&TCustomFtpCli::Connect));  // raises: already connected
  h.ftp.SetTimeout(1);
  EXPECT_FALSE(h.ftp.Synchronize(&TCustomFtpCli::Size));
  EXPECT_EQ(h.ftp.ErrorMessage(), "426 Timeout");
  EXPECT_EQ(h.ftp.StatusCode(), 426);
  EXPECT_FALSE(h.ftp.Connected());
  // Each report names the request that ended, though the next one had
  // started before the report was delivered.
  ASSERT_TRUE(RunUntil([&] { return h.done.size() == 3; }));
  EXPECT_EQ(h.done, (std::vector<std::pair<TFtpRequest, Word>>{{ftpRqConnect, 0}, {ftpRqSyst, 0}, {ftpRqSize, 426}}));
}

}  // namespace
}  // namespace quillon
