// Line mode, line editing and echo, and waiting for a flag, over loopback.
#include "net/socket/line_wsocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "net/socket/sync_wsocket.h"
#include "tests/support/event_wait.h"
#include "tests/support/gate.h"
#include "tests/support/scripted_server.h"

namespace quillon {
namespace {

using namespace testing;

struct LineClient {
  TWSocket s;
  std::vector<std::string> lines;
  bool closed = false;

  explicit LineClient(const std::string& port) {
    s.SetLineMode(true);
    s.SetAddr("127.0.0.1");
    s.SetPort(port);
    s.OnDataAvailable = [this](TCustomWSocket* sender, Word) { lines.push_back(sender->ReceiveString()); };
    s.OnSessionClosed = [this](TCustomWSocket*, Word) { closed = true; };
  }
};

TEST(LineMode, OneEventPerLineAndTheRestAsLastLine) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("abc\r\nde");
    c.ReadUntil("close");
  });
  LineClient client(server.PortText());
  client.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return client.lines.size() == 1 && client.s.LineBufferCount() == 2; }));
  RunFor(30);
  EXPECT_EQ(client.lines, std::vector<std::string>{"abc\r\n"});
  client.s.SendString("close");
  ASSERT_TRUE(RunUntil([&] { return client.closed; }));
  EXPECT_EQ(client.lines, (std::vector<std::string>{"abc\r\n", "de"}));
  EXPECT_EQ(client.s.LineBufferCount(), 0);
}

TEST(LineMode, TerminatorSplitAcrossReadsIsFound) {
  testing::Gate go;
  ScriptedServer server([&](ScriptedConnection& c) {
    c.Send("first\r");
    go.Wait();
    c.Send("\nsecond\r\n");
    c.ReadToEnd();
  });
  LineClient client(server.PortText());
  client.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return client.s.LineBufferCount() == 6; }));
  EXPECT_TRUE(client.lines.empty());
  go.Open();
  ASSERT_TRUE(RunUntil([&] { return client.lines.size() == 2; }));
  EXPECT_EQ(client.lines, (std::vector<std::string>{"first\r\n", "second\r\n"}));
}

TEST(LineMode, SmallReadsTakeTheLineInPiecesAndOtherTerminators) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("hello world|x|");
    c.ReadToEnd();
  });
  LineClient client(server.PortText());
  client.s.SetLineEnd("|");
  client.s.OnDataAvailable = [&](TCustomWSocket* sender, Word) {
    char buf[5];
    int n = sender->Receive(buf, sizeof buf);
    if (n > 0) client.lines.emplace_back(buf, static_cast<size_t>(n));
  };
  client.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return client.lines.size() == 4; }));
  EXPECT_EQ(client.lines, (std::vector<std::string>{"hello", " worl", "d|", "x|"}));
  EXPECT_EQ(client.s.ReadCount(), 14);
}

TEST(LineMode, LineLimitReportsAndDiscards) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("0123456789A");
    c.ReadUntil("more");
    c.Send("ok\r\n");
    c.ReadToEnd();
  });
  LineClient client(server.PortText());
  client.s.SetLineLimit(10);
  int reported = 0;
  client.s.OnLineLimitExceeded = [&](TCustomWSocket* s, int length, bool& clear) {
    reported = length;
    EXPECT_TRUE(clear);
    s->SendString("more");
  };
  client.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return client.lines.size() == 1; }));
  EXPECT_EQ(reported, 11);
  EXPECT_EQ(client.lines[0], "ok\r\n");  // the 11 bytes were discarded
}

TEST(LineMode, LineEditAndEcho) {
  std::string echoed;
  testing::Gate go;
  std::atomic<bool> done{false};
  ScriptedServer server([&](ScriptedConnection& c) {
    c.Send("xy\bz\r\n");
    go.Wait();
    c.Send("abc\td\r\n");
    echoed = c.Read(8 + 11);
    done = true;
  });
  LineClient client(server.PortText());
  client.s.SetLineEdit(true);
  client.s.SetLineEcho(true);
  client.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return client.lines.size() == 1; }));
  EXPECT_EQ(client.lines[0], "xz\r\n");
  go.Open();
  ASSERT_TRUE(RunUntil([&] { return client.lines.size() == 2 && done; }));
  EXPECT_EQ(client.lines[1], "abc     d\r\n");  // a tab at position 3: 5 blanks
  // Echo: x y, BS blank BS for the backspace, z, CR LF, then the edited line.
  EXPECT_EQ(echoed, std::string("xy\b \bz\r\nabc     d\r\n"));
}

TEST(LineMode, SwitchingModeRedeliversBufferedBytes) {
  ScriptedServer server([](ScriptedConnection& c) {
    c.Send("line one\r\nrest without end");
    c.ReadToEnd();
  });
  LineClient client(server.PortText());
  client.s.OnDataAvailable = [&](TCustomWSocket* sender, Word) {
    client.lines.push_back(sender->ReceiveString());
    static_cast<TWSocket*>(sender)->SetLineMode(false);  // the rest raw
  };
  client.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return client.lines.size() == 2; }));
  EXPECT_EQ(client.lines, (std::vector<std::string>{"line one\r\n", "rest without end"}));
}

TEST(SyncWSocket, WaitUntilReadyReturnsWhenTheFlagIsSetOrTimesOut) {
  ScriptedServer server([](ScriptedConnection& c) { c.ReadToEnd(); });
  TWSocket s;
  bool connected = false;
  s.SetAddr("127.0.0.1");
  s.SetPort(server.PortText());
  s.OnSessionConnected = [&](TCustomWSocket*, Word) { connected = true; };
  EXPECT_EQ(s.Synchronize([&] { s.Connect(); }, connected), 0);
  EXPECT_EQ(s.State(), wsConnected);

  bool never = false;
  s.SetWaitTimeout(50);
  EXPECT_EQ(s.WaitUntilReady(never), 12001);
}

}  // namespace
}  // namespace quillon
