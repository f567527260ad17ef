// SOCKS negotiation: against real servers on loopback (dante for levels 4, 4A
// and 5, microsocks for level 5 with user name and password) and against a
// scripted SOCKS server for replies in pieces, data behind the reply and
// every failure code.
#include "net/socket/socks_wsocket.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "net/socket/sync_wsocket.h"
#include "tests/support/event_wait.h"
#include "tests/support/loopback.h"
#include "tests/support/real_servers.h"
#include "tests/support/scripted_server.h"
#include "tests/support/server_process.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

using testing::RunFor;
using testing::RunUntil;
using testing::ScriptedConnection;
using testing::ScriptedServer;

// The destination behind the proxy: greets at once, then echoes one line.
ScriptedServer::Script Greeter() {
  return [](ScriptedConnection& c) {
    c.Send("hello from target\n");
    std::string line = c.ReadUntil("\n");
    c.Send("echo:" + line);
    c.ReadToEnd();
  };
}

// A socket going through a proxy, with everything it reports recorded.
struct SocksClient {
  TWSocket s;
  std::vector<std::string> events;
  std::string data;
  int socks_error = 0;
  std::string socks_msg;
  bool closed = false;

  SocksClient() {
    s.OnSocksConnected = [this](TCustomWSocket*, Word e) { events.push_back("socks connected " + std::to_string(e)); };
    s.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState a) {
      events.push_back("auth " + std::to_string(a));
    };
    s.OnSocksError = [this](TCustomWSocket*, int e, const std::string& m) {
      socks_error = e;
      socks_msg = m;
      events.push_back("socks error " + std::to_string(e));
    };
    s.OnSessionConnected = [this](TCustomWSocket*, Word e) { events.push_back("connected " + std::to_string(e)); };
    s.OnDataAvailable = [this](TCustomWSocket* sender, Word) {
      std::string got = sender->ReceiveString();
      if (!got.empty() && (events.empty() || events.back() != "data")) events.push_back("data");
      data += got;
    };
    s.OnSessionClosed = [this](TCustomWSocket*, Word e) {
      closed = true;
      events.push_back("closed " + std::to_string(e));
    };
  }

  void Connect(const std::string& level, uint16_t proxy_port, const std::string& host, uint16_t target_port) {
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxy_port));
    s.SetSocksLevel(level);
    s.SetAddr(host);
    s.SetPort(std::to_string(target_port));
    s.Connect();
  }
};

// ---- Real servers --------------------------------------------------------------

TEST(SocksRealServers, DanteLevel5) {
  testing::DanteServer dante;
  ASSERT_TRUE(dante.Start()) << dante.Failure();
  ScriptedServer target(Greeter());
  SocksClient c;
  c.Connect("5", dante.port(), "127.0.0.1", target.port());
  ASSERT_TRUE(RunUntil([&] { return c.data == "hello from target\n"; })) << c.socks_msg;
  c.s.SendString("ping\n");
  ASSERT_TRUE(RunUntil([&] { return c.data == "hello from target\necho:ping\n"; }));
  EXPECT_EQ(c.events, (std::vector<std::string>{"socks connected 0", "connected 0", "data"}));
  EXPECT_EQ(c.s.SocksBoundAddr(), "127.0.0.1");
  c.s.Close();
  EXPECT_EQ(c.s.SocksServer(), "");  // SOCKS settings are gone with the connection
}

TEST(SocksRealServers, DanteLevel4) {
  testing::DanteServer dante;
  ASSERT_TRUE(dante.Start()) << dante.Failure();
  ScriptedServer target(Greeter());
  SocksClient c;
  c.s.SetSocksUsercode("someone");
  c.Connect("4", dante.port(), "127.0.0.1", target.port());
  ASSERT_TRUE(RunUntil([&] { return c.data == "hello from target\n"; })) << c.socks_msg;
  c.s.SendString("ping\n");
  ASSERT_TRUE(RunUntil([&] { return c.data == "hello from target\necho:ping\n"; }));
  EXPECT_EQ(c.events, (std::vector<std::string>{"socks connected 0", "connected 0", "data"}));
}

TEST(SocksRealServers, DanteLevel4AIsRejectedByThisDante) {
  // dante 1.4 does not resolve names for level-4A requests: it tries the
  // placeholder address 0.0.0.1 and rejects. The request still has to be
  // well-formed enough for dante to answer it with "rejected".
  testing::DanteServer dante;
  ASSERT_TRUE(dante.Start()) << dante.Failure();
  ScriptedServer target(Greeter());
  SocksClient c;
  c.Connect("4a", dante.port(), "localhost", target.port());
  ASSERT_TRUE(RunUntil([&] { return c.closed; }));
  EXPECT_EQ(c.socks_error, 20016);
  EXPECT_EQ(c.socks_msg, "request rejected or failed");
  EXPECT_EQ(c.events, (std::vector<std::string>{"socks connected 0", "socks error 20016", "connected 20016",
                                                "closed 20016"}));
}

class Microsocks {
 public:
  bool Start(const std::string& user, const std::string& password) {
    port_ = testing::FreePort();
    return process_.Start({testing::FindProgram("microsocks"), "-i", "127.0.0.1", "-p", std::to_string(port_),
                           "-u", user, "-P", password},
                          dir_.File("microsocks.log")) &&
           process_.WaitForPort(port_);
  }
  uint16_t port() const { return port_; }
  std::string Failure() const { return process_.Failure(); }

 private:
  testing::TempDir dir_;
  testing::ServerProcess process_;
  uint16_t port_ = 0;
};

TEST(SocksRealServers, MicrosocksUserAndPassword) {
  Microsocks proxy;
  ASSERT_TRUE(proxy.Start("alice", "s3cret")) << proxy.Failure();
  ScriptedServer target(Greeter());

  SocksClient good;
  good.s.SetSocksAuthentication(socksAuthenticateUsercode);
  good.s.SetSocksUsercode("alice");
  good.s.SetSocksPassword("s3cret");
  good.Connect("5", proxy.port(), "127.0.0.1", target.port());
  ASSERT_TRUE(RunUntil([&] { return good.data == "hello from target\n"; })) << good.socks_msg;
  EXPECT_EQ(good.events,
            (std::vector<std::string>{"socks connected 0", "auth 0", "auth 1", "connected 0", "data"}));

  SocksClient bad;
  bad.s.SetSocksAuthentication(socksAuthenticateUsercode);
  bad.s.SetSocksUsercode("alice");
  bad.s.SetSocksPassword("wrong");
  bad.Connect("5", proxy.port(), "127.0.0.1", target.port());
  ASSERT_TRUE(RunUntil([&] { return bad.closed; }));
  EXPECT_EQ(bad.socks_error, 20015);
  EXPECT_EQ(bad.socks_msg, "socks authentication failed");
  EXPECT_EQ(bad.events, (std::vector<std::string>{"socks connected 0", "auth 0", "socks error 20015",
                                                  "connected 20015", "closed 20015"}));
}

TEST(SocksRealServers, MissingServerProgramIsReported) {
  testing::ServerProcess p;
  EXPECT_FALSE(p.Start({testing::FindProgram("no-such-server-program")}));
  EXPECT_NE(p.Failure().find("cannot start the server"), std::string::npos);
}

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
  std::atomic<bool> go{false};
  std::string request;
  ScriptedServer proxy([&](ScriptedConnection& c) {
    request = ReadLevel5Connect(c);
    c.Send(Bytes({5, 0, 0}));
    for (int i = 0; i < 5000 && !go; ++i) usleep(1000);
    c.Send(Bytes({1, 10, 0, 0, 7, 0x1F, 0x90}) + "early data");
    c.ReadToEnd();
  });
  SocksClient c;
  c.Connect("5", proxy.port(), "example.test", 8080);
  // The first three bytes of the reply are held until the rest comes.
  ASSERT_TRUE(RunUntil([&] { return request.size() == 3 + 5 + 12 + 2; }));
  RunFor(30);
  EXPECT_EQ(c.events, std::vector<std::string>{"socks connected 0"});
  go = true;
  ASSERT_TRUE(RunUntil([&] { return c.data == "early data"; }));
  EXPECT_EQ(c.events, (std::vector<std::string>{"socks connected 0", "connected 0", "data"}));
  EXPECT_EQ(request, Bytes({5, 1, 0, 5, 1, 0, 3, 12}) + "example.test" + Bytes({0x1F, 0x90}));
  EXPECT_EQ(c.s.SocksBoundAddr(), "10.0.0.7");
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
      {"5", Stage::kConnect, Bytes({5, 0, 0, 4, 1}), 20011, "address type not supported"},
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
  try {
    s.SetSocksLevel("6");
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Invalid socks level. Must be 4, 4A or 5.");
  }
  s.SetSocksLevel("4a");
  EXPECT_EQ(s.SocksLevel(), "4A");
  s.SetSocksServer(" 127.0.0.1 ");
  EXPECT_EQ(s.SocksServer(), "127.0.0.1");
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  try {
    s.Listen();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Listening is not supported thru socks server");
  }
  s.SetProto("udp");
  try {
    s.Connect();
    FAIL() << "no exception";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "tcp is the only protocol supported thru socks server");
  }

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
