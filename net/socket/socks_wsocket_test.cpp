// SOCKS negotiation against a scripted SOCKS server: replies in pieces, data
// behind the reply and every failure code. The tests against real SOCKS
// servers are in tests/servers/socks_servers_test.cpp.
#include "net/socket/socks_wsocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/event_wait.h"
#include "tests/support/gate.h"
#include "tests/support/scripted_server.h"
#include "tests/support/socks_client.h"

namespace quillon {
namespace {

using namespace testing;

// ---- Scripted SOCKS server -------------------------------------------------------

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int x : b) s.push_back(static_cast<char>(x));
  return s;
}

// Reads a level-5 method request and a connect request for a domain.
std::string ReadLevel5Connect(ScriptedConnection& c) {
  std::string hello = c.Read(3);
  c.Send(Bytes({5, 0}));
  std::string head = c.Read(5);
  if (head.size() < 5) return hello + head;
  std::string rest = c.Read(static_cast<unsigned char>(head[4]) + 2);
  return hello + head + rest;
}

TEST(SocksScripted, Level5ReplyInPiecesWithDataBehindIt) {
  testing::Gate go;
  std::string request;
  ScriptedServer proxy([&](ScriptedConnection& c) {
    request = ReadLevel5Connect(c);
    c.Send(Bytes({5, 0, 0}));
    go.Wait();
    c.Send(Bytes({1, 10, 0, 0, 7, 0x1F, 0x90}) + "early data");
    c.ReadToEnd();
  });
  SocksClient c;
  c.Connect("5", proxy.port(), "example.test", 8080);
  // The first three bytes of the reply are held until the rest comes.
  ASSERT_TRUE(RunUntil([&] { return request.size() == 3 + 5 + 12 + 2; }));
  RunFor(30);
  EXPECT_EQ(c.events, std::vector<std::string>{"socks connected 0"});
  go.Open();
  ASSERT_TRUE(RunUntil([&] { return c.data == "early data"; }));
  EXPECT_EQ(c.events, (std::vector<std::string>{"socks connected 0", "connected 0", "data"}));
  EXPECT_EQ(request, Bytes({5, 1, 0, 5, 1, 0, 3, 12}) + "example.test" + Bytes({0x1F, 0x90}));
  EXPECT_EQ(c.s.SocksBoundAddr(), "10.0.0.7");
  EXPECT_EQ(c.s.SocksBoundPort(), "8080");
}

// An IPv6 target travels as address type 4; the reply's bound address may be
// one too.
TEST(SocksScripted, Level5IPv6TargetAndReply) {
  std::string request;
  ScriptedServer proxy([&](ScriptedConnection& c) {
    request = c.Read(3);
    c.Send(Bytes({5, 0}));
    request += c.Read(4 + 16 + 2);
    c.Send(Bytes({5, 0, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7, 0x1F, 0x90}) + "behind");
    c.ReadToEnd();
  });
  SocksClient c;
  c.Connect("5", proxy.port(), "[2001:db8::1]", 8080);
  ASSERT_TRUE(RunUntil([&] { return c.data == "behind"; }));
  EXPECT_EQ(request, Bytes({5, 1, 0, 5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1F,
                            0x90}));
  EXPECT_EQ(c.s.SocksBoundAddr(), "2001:db8::7");
  EXPECT_EQ(c.s.SocksBoundPort(), "8080");
}

TEST(SocksScripted, DomainReplyAndLevel4DataBehindReply) {
  ScriptedServer proxy5([](ScriptedConnection& c) {
    ReadLevel5Connect(c);
    c.Send(Bytes({5, 0, 0, 3, 4}) + "host" + Bytes({0, 80}) + "x");
    c.ReadToEnd();
  });
  SocksClient c5;
  c5.Connect("5", proxy5.port(), "127.0.0.1", 80);
  ASSERT_TRUE(RunUntil([&] { return c5.data == "x"; }));
  EXPECT_EQ(c5.s.SocksBoundAddr(), "host");
  EXPECT_EQ(c5.s.SocksBoundPort(), "80");

  std::string request;
  ScriptedServer proxy4([&](ScriptedConnection& c) {
    request = c.ReadUntil(std::string(1, '\0') + "example.test" + std::string(1, '\0'));
    c.Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "first bytes");
    c.ReadToEnd();
  });
  SocksClient c4;
  c4.s.SetSocksUsercode("me");
  c4.Connect("4A", proxy4.port(), "example.test", 21);
  ASSERT_TRUE(RunUntil([&] { return c4.data == "first bytes"; }));
  EXPECT_EQ(request, Bytes({4, 1, 0, 21, 0, 0, 0, 1}) + "me" + std::string(1, '\0') + "example.test" +
                         std::string(1, '\0'));
}

// The proxy answers the request of one stage with a given reply.
enum class Stage { kMethod, kAuth, kConnect };
struct FailureCase {
  std::string level;
  Stage stage;
  std::string reply;
  int code;
  std::string message;
};

void ExpectFailure(const FailureCase& f) {
  SCOPED_TRACE(f.message);
  ScriptedServer proxy([&](ScriptedConnection& c) {
    if (f.level == "4") {
      c.ReadUntil(std::string(1, '\0'));
    } else {
      c.Read(3);
      if (f.stage == Stage::kAuth) {
        c.Send(Bytes({5, 2}));
        c.Read(5);  // 1, 1, "u", 1, "p"
      } else if (f.stage == Stage::kConnect) {
        c.Send(Bytes({5, 0}));
        c.Read(5 + 9 + 2);
      }
    }
    c.Send(f.reply);
    c.ReadToEnd();
  });
  SocksClient c;
  if (f.stage == Stage::kAuth) {
    c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode("u");
    c.s.SetSocksPassword("p");
  }
  c.Connect(f.level, proxy.port(), "127.0.0.1", 9);
  ASSERT_TRUE(RunUntil([&] { return c.closed; }));
  EXPECT_EQ(c.socks_error, f.code);
  EXPECT_EQ(c.socks_msg, f.message);
  ASSERT_GE(c.events.size(), 3u);
  EXPECT_EQ(c.events[c.events.size() - 3], "socks error " + std::to_string(f.code));
  EXPECT_EQ(c.events[c.events.size() - 2], "connected " + std::to_string(f.code));
  EXPECT_EQ(c.events.back(), "closed " + std::to_string(f.code));
  EXPECT_EQ(c.s.State(), wsClosed);
}

TEST(SocksScripted, EveryFailureCode) {
  const std::vector<FailureCase> cases = {
      {"5", Stage::kMethod, Bytes({5, 255}), 20003, "authentification method not acceptable"},
      {"5", Stage::kMethod, Bytes({4, 0}), 20002, "socks version error"},
      {"5", Stage::kConnect, Bytes({5, 1}), 20004, "general SOCKS server failure"},
      {"5", Stage::kConnect, Bytes({5, 2}), 20005, "connection not allowed by ruleset"},
      {"5", Stage::kConnect, Bytes({5, 3}), 20006, "network unreachable"},
      {"5", Stage::kConnect, Bytes({5, 4}), 20007, "host unreachable"},
      {"5", Stage::kConnect, Bytes({5, 5}), 20008, "connection refused"},
      {"5", Stage::kConnect, Bytes({5, 6}), 20009, "time to live expired"},
      {"5", Stage::kConnect, Bytes({5, 7}), 20010, "command not supported"},
      {"5", Stage::kConnect, Bytes({5, 8}), 20011, "address type not supported"},
      {"5", Stage::kConnect, Bytes({5, 9}), 20012, "unassigned error #9"},
      {"5", Stage::kConnect, Bytes({5, 0, 0, 5, 1}), 20011, "address type not supported"},
      {"5", Stage::kConnect, Bytes({6, 0}), 20002, "socks version error"},
      {"5", Stage::kAuth, Bytes({1, 1}), 20015, "socks authentication failed"},
      {"5", Stage::kAuth, Bytes({2, 0}), 20002, "socks version error"},
      {"5", Stage::kAuth, Bytes({1, 0, 0}), 20001, "too much data availaible"},
      {"4", Stage::kConnect, Bytes({0, 91, 0, 0, 0, 0, 0, 0}), 20016, "request rejected or failed"},
      {"4", Stage::kConnect, Bytes({0, 92, 0, 0, 0, 0, 0, 0}), 20008, "connection refused"},
      {"4", Stage::kConnect, Bytes({0, 93, 0, 0, 0, 0, 0, 0}), 20015, "authentification failed"},
      {"4", Stage::kConnect, Bytes({0, 94, 0, 0, 0, 0, 0, 0}), 20012, "unassigned error #94"},
      {"4", Stage::kConnect, Bytes({1, 90, 0, 0, 0, 0, 0, 0}), 20002, "socks version error"},
  };
  for (const FailureCase& f : cases) ExpectFailure(f);
}

TEST(SocksScripted, MethodNoneLeadsStraightToTheConnectRequest) {
  std::string request;
  ScriptedServer proxy([&](ScriptedConnection& c) {
    request = ReadLevel5Connect(c);
    c.Send(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 9}));
    c.ReadToEnd();
  });
  SocksClient c;
  c.s.SetSocksAuthentication(socksAuthenticateUsercode);  // asked, not required
  c.s.SetSocksUsercode("u");
  c.Connect("5", proxy.port(), "h", 9);
  ASSERT_TRUE(RunUntil([&] { return c.events.size() >= 3; }));
  EXPECT_EQ(c.events, (std::vector<std::string>{"socks connected 0", "auth 3", "connected 0"}));
  EXPECT_EQ(request, Bytes({5, 1, 2, 5, 1, 0, 3, 1, 'h', 0, 9}));
}

TEST(SocksScripted, ClosedDuringAuthenticationReportsAuthFailed) {
  ScriptedServer proxy([](ScriptedConnection& c) {
    c.Read(3);
    c.Send(Bytes({5, 2}));
    c.Read(5);
    c.Close();
  });
  SocksClient c;
  c.s.SetSocksAuthentication(socksAuthenticateUsercode);
  c.s.SetSocksUsercode("u");
  c.s.SetSocksPassword("p");
  c.Connect("5", proxy.port(), "127.0.0.1", 9);
  ASSERT_TRUE(RunUntil([&] { return c.closed; }));
  EXPECT_EQ(c.events, (std::vector<std::string>{"socks connected 0", "auth 0", "auth 2", "closed 0"}));
}

TEST(SocksScripted, OverlongValuesAreRefusedWithoutOverflow) {
  struct Case {
    std::string level;
    std::string host, user, password;
    bool auth;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"5", std::string(122, 'h'), "", "", false, "host name too long"},
      {"4", "127.0.0.1", std::string(120, 'u'), "", false, "user code too long"},
      {"4A", std::string(60, 'h'), std::string(59, 'u'), "", false, "user code and host name too long"},
      {"5", "127.0.0.1", std::string(63, 'u'), std::string(63, 'p'), true, "user code and password too long"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.message);
    std::string received;
    std::atomic<bool> done{false};
    ScriptedServer proxy([&](ScriptedConnection& c) {
      if (k.level == "5") {
        received = c.Read(3);
        c.Send(Bytes({5, static_cast<char>(k.auth ? 2 : 0)}));
      }
      received += c.ReadToEnd();
      done = true;
    });
    SocksClient c;
    if (k.auth) c.s.SetSocksAuthentication(socksAuthenticateUsercode);
    c.s.SetSocksUsercode(k.user);
    c.s.SetSocksPassword(k.password);
    c.Connect(k.level, proxy.port(), k.host, 9);
    ASSERT_TRUE(RunUntil([&] { return c.closed && done; }));
    EXPECT_EQ(c.socks_error, 20014);
    EXPECT_EQ(c.socks_msg, k.message);
    EXPECT_EQ(received.size(), k.level == "5" ? 3u : 0u) << "no request was sent";
  }

  // The longest values that fit are sent whole.
  std::string request;
  ScriptedServer proxy([&](ScriptedConnection& c) {
    request = ReadLevel5Connect(c);
    c.ReadToEnd();
  });
  SocksClient c;
  c.Connect("5", proxy.port(), std::string(121, 'h'), 9);
  ASSERT_TRUE(RunUntil([&] { return request.size() == 3 + 5 + 121 + 2; }));
  c.s.Close();
}

TEST(SocksScripted, SettingsRules) {
  TWSocket s;
  auto refused = [](const std::function<void()>& call, const char* text) {
    try {
      call();
      ADD_FAILURE() << "no exception: " << text;
    } catch (const ESocketException& e) {
      EXPECT_STREQ(e.what(), text);
    }
  };
  refused([&] { s.SetSocksLevel("6"); }, "Invalid socks level. Must be 4, 4A or 5.");
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
  s.SetSocksServer(" 127.0.0.1 ");
  EXPECT_EQ(s.SocksServer(), "127.0.0.1");
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  refused([&] { s.Listen(); }, "Listening is not supported thru socks server");
  s.SetProto("udp");
  refused([&] { s.Connect(); }, "tcp is the only protocol supported thru socks server");

  // After a close the SOCKS settings are gone: the next Connect goes direct.
  ScriptedServer direct([](ScriptedConnection& c) {
    c.Send("direct");
    c.ReadToEnd();
  });
  ScriptedServer proxy([](ScriptedConnection& c) { c.ReadToEnd(); });
  SocksClient c;
  c.Connect("5", proxy.port(), "127.0.0.1", direct.port());
  ASSERT_TRUE(RunUntil([&] { return proxy.Accepted() == 1; }));
  EXPECT_THROW(c.s.SetSocksServer("127.0.0.2"), ESocketException);
  c.s.Close();
  EXPECT_EQ(c.s.SocksServer(), "");
  EXPECT_EQ(c.s.SocksLevel(), "5");
  c.s.SetAddr("127.0.0.1");
  c.s.SetPort(direct.PortText());
  c.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return c.data == "direct"; }));
}

}  // namespace
}  // namespace quillon
