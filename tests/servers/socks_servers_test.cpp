// SOCKS negotiation against real servers on loopback: dante for levels 4,
// 4A and 5, microsocks for level 5 with user name and password.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/event_wait.h"
#include "tests/support/loopback.h"
#include "tests/support/real_servers.h"
#include "tests/support/scripted_server.h"
#include "tests/support/server_process.h"
#include "tests/support/socks_client.h"

namespace quillon {
namespace {

using namespace testing;

// The destination behind the proxy: greets at once, then echoes one line.
ScriptedServer::Script Greeter() {
  return [](ScriptedConnection& c) {
    c.Send("hello from target\n");
    std::string line = c.ReadUntil("\n");
    c.Send("echo:" + line);
    c.ReadToEnd();
  };
}

// ---- Real servers --------------------------------------------------------------

TEST(SocksRealServers, DanteLevels5And4) {
  testing::DanteServer dante;
  ASSERT_TRUE(dante.Start()) << dante.Failure();
  ScriptedServer target(Greeter());
  const struct {
    const char* level;
    const char* usercode;
    const char* bound;  // only level 5 reports the address bound for the connection
  } cases[] = {{"5", "", "127.0.0.1"}, {"4", "someone", ""}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.level);
    SocksClient c;
    c.s.SetSocksUsercode(k.usercode);
    c.Connect(k.level, dante.port(), "127.0.0.1", target.port());
    ASSERT_TRUE(RunUntil([&] { return c.data == "hello from target\n"; })) << c.socks_msg;
    c.s.SendString("ping\n");
    ASSERT_TRUE(RunUntil([&] { return c.data == "hello from target\necho:ping\n"; }));
    EXPECT_EQ(c.events, (std::vector<std::string>{"socks connected 0", "connected 0", "data"}));
    EXPECT_EQ(c.s.SocksBoundAddr(), k.bound);
    c.s.Close();
    EXPECT_EQ(c.s.SocksServer(), "");  // SOCKS settings are gone with the connection
  }
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

TEST(SocksRealServers, MicrosocksUserAndPassword) {
  testing::MicrosocksServer proxy;
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

}  // namespace
}  // namespace quillon
