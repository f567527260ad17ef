// The TLS layer of the socket chain against scripted TLS peers on loopback:
// the order of events, bytes sent during the handshake, line mode on
// decrypted data, close-notify in both directions, the names a certificate
// is checked against, old protocol versions, and a peer that speaks no TLS
// at all. (https through the HTTP client is tested with the download job.)
#include "net/socket/ssl_wsocket.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/socket/sync_wsocket.h"
#include "tests/support/event_wait.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_pki.h"

namespace quillon {
namespace {

using namespace testing;

struct TlsClient {
  TWSocket s;
  std::vector<std::string> events;
  std::string data;
  bool closed = false;
  Word close_error = 0;

  TlsClient(uint16_t port, const std::string& ca_file, bool line_mode = false) {
    s.OnSessionConnected = [this](TCustomWSocket*, Word e) {
      events.push_back("connected " + std::to_string(e) + (e == 0 ? " " + s.SslVersion() : ""));
    };
    s.OnDataAvailable = [this, line_mode](TCustomWSocket*, Word) {
      std::string got = s.ReceiveString();
      if (got.empty()) return;
      data += got;
      if (line_mode) events.push_back("line " + got);
    };
    s.OnSessionClosed = [this](TCustomWSocket*, Word e) {
      closed = true;
      close_error = e;
      events.push_back("closed " + std::to_string(e));
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.SetSslEnable(true);
    s.SetSslServerName("localhost");
    s.SetSslCAFile(ca_file);
    s.SetLineMode(line_mode);
  }
};

class SslWSocketTest : public LocalhostPkiTest {};

TEST_F(SslWSocketTest, ConnectedAfterHandshakeEarlyBytesAndLinesThenCloseNotify) {
  const TestPki::Leaf leaf = leaf_;
  std::atomic<int> peer_end{0};  // 1: ended with close-notify, 2: without
  ScriptedServer server([leaf, &peer_end](ScriptedConnection& c) {
    testing::TlsPeer tls(c.fd(), leaf);
    if (!tls.Accept()) return;
    std::string hello = tls.ReadUntil("\n");
    tls.Write("one\r\ntw");
    tls.Write("o\r\nthree\r\n" + hello);
    bool clean = false;
    tls.ReadToEnd(&clean);
    peer_end = clean ? 1 : 2;
  });
  TlsClient c(server.port(), pki_.CaFile(), true);
  bool sent = false;
  c.s.OnSendData = [&](TCustomWSocket*, int) {
    // Sent while the handshake runs: held back and encrypted after it.
    if (!sent && c.s.SslNegotiating()) {
      sent = true;
      c.s.SendString("hi\r\n");
    }
  };
  c.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return c.data.size() >= 21; }));
  EXPECT_EQ(c.events, (std::vector<std::string>{"connected 0 TLSv1.3", "line one\r\n", "line two\r\n",
                                                "line three\r\n", "line hi\r\n"}));
  EXPECT_EQ(c.s.SslCipher().substr(0, 4), "TLS_");
  EXPECT_TRUE(sent);
  c.s.Close();
  EXPECT_EQ(c.events.back(), "closed 0");
  ASSERT_TRUE(RunUntil([&] { return peer_end != 0; }));
  EXPECT_EQ(peer_end, 1);
}

TEST_F(SslWSocketTest, PeerEndingWithAndWithoutCloseNotify) {
  // kNotifyKeepOpenPaused: the client pauses when the data comes (with the
  // close-notify behind it, as a rule) and resumes later.
  enum End { kNotifyAndClose, kNotifyKeepOpen, kNotifyKeepOpenPaused, kCloseOnly };
  const char* const names[] = {"close-notify", "close-notify, TCP kept open",
                               "close-notify, TCP kept open, client paused", "truncated"};
  for (End end : {kNotifyAndClose, kNotifyKeepOpen, kNotifyKeepOpenPaused, kCloseOnly}) {
    SCOPED_TRACE(names[end]);
    const bool keep_open = end == kNotifyKeepOpen || end == kNotifyKeepOpenPaused;
    const TestPki::Leaf leaf = leaf_;
    std::atomic<int> peer_end{0};  // 1: the client answered with close-notify, 2: without
    ScriptedServer server([leaf, end, &peer_end](ScriptedConnection& c) {
      testing::TlsPeer tls(c.fd(), leaf);
      if (!tls.Accept()) return;
      tls.Write("last words");
      if (end != kCloseOnly) tls.Shutdown();
      if (end == kNotifyKeepOpen || end == kNotifyKeepOpenPaused) {
        // The connection stays open until the client ends it.
        bool clean = false;
        tls.ReadToEnd(&clean);
        peer_end = clean ? 1 : 2;
      }
      c.Close();
    });
    TlsClient c(server.port(), pki_.CaFile());
    if (end == kNotifyKeepOpenPaused) {
      auto read = c.s.OnDataAvailable;
      c.s.OnDataAvailable = [&c, read](TCustomWSocket* x, Word e) {
        read(x, e);
        if (c.data == "last words") c.s.Pause();
      };
    }
    c.s.Connect();
    if (end == kNotifyKeepOpenPaused) {
      ASSERT_TRUE(RunUntil([&] { return c.s.Paused(); }));
      c.s.Resume();
    }
    ASSERT_TRUE(RunUntil([&] { return c.closed; }));
    EXPECT_EQ(c.data, "last words");
    EXPECT_EQ(c.close_error, end == kCloseOnly ? kSslTruncatedError : 0);
    EXPECT_EQ(c.s.SslErrorText(), end == kCloseOnly ? "connection closed without TLS close-notify (localhost)" : "");
    EXPECT_EQ(c.s.State(), wsClosed);
    if (keep_open) {
      ASSERT_TRUE(RunUntil([&] { return peer_end != 0; }));
      EXPECT_EQ(peer_end, 1);
    }
  }
}

// Bytes OpenSSL has read but the owner has not (it reads a little and pauses)
// are invisible to the socket's readiness: a pause holds them at once, and
// Resume delivers them without the server sending anything more.
TEST_F(SslWSocketTest, PauseHoldsDecryptedBytesAndResumeDeliversThem) {
  const TestPki::Leaf leaf = leaf_;
  const std::string message(3000, 'm');
  ScriptedServer server([leaf, message](ScriptedConnection& c) {
    testing::TlsPeer tls(c.fd(), leaf);
    if (!tls.Accept()) return;
    tls.Write(message);
    tls.ReadUntil("\n");  // the connection stays open and silent meanwhile
  });
  TlsClient c(server.port(), pki_.CaFile());
  c.s.OnDataAvailable = [&c](TCustomWSocket*, Word) {
    char piece[100];
    int n = c.s.Receive(piece, sizeof piece);
    if (n > 0) c.data.append(piece, static_cast<size_t>(n));
    if (c.data.size() == 100) c.s.Pause();
  };
  c.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return c.s.Paused(); }));
  EXPECT_EQ(c.data.size(), 100u);
  c.s.Resume();
  ASSERT_TRUE(RunUntil([&] { return c.data.size() == message.size(); }));
  EXPECT_EQ(c.data, message);
  c.s.SendString("done\n");
  c.s.Close();
}

// The certificate must name the server in a subject alternative name; a
// trailing dot of the name is not part of it, and never reaches the SNI.
TEST_F(SslWSocketTest, ServerNamesAreCheckedAgainstAltNamesOnly) {
  struct Case {
    const char* name;
    TestPki::Leaf leaf;
    const char* server_name;
    std::string failure;  // SslErrorText; "" for an accepted server
    const char* sni;      // what the peer saw
  };
  const std::vector<Case> cases = {
      {"common name only", pki_.CommonNameOnly("cn-only", "localhost"), "localhost",
       "certificate verify failed: hostname mismatch (localhost)", "localhost"},
      {"trailing dot", leaf_, "localhost.", "", "localhost"},
      {"wildcard", pki_.Server("wildcard", {"*.example.test"}), "www.example.test", "", "www.example.test"},
      {"partial wildcard", pki_.Server("partial", {"w*.example.test"}), "www.example.test",
       "certificate verify failed: hostname mismatch (www.example.test)", "www.example.test"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TestPki::Leaf leaf = c.leaf;
    std::string sni;
    {
      ScriptedServer server([leaf, &sni](ScriptedConnection& conn) {
        testing::TlsPeer tls(conn.fd(), leaf);
        bool accepted = tls.Accept();
        sni = tls.ServerName();
        if (!accepted) return;
        tls.Write("hello");
        bool clean = false;
        tls.ReadToEnd(&clean);
      });
      TlsClient client(server.port(), pki_.CaFile());
      client.s.SetSslServerName(c.server_name);
      client.s.Connect();
      ASSERT_TRUE(RunUntil([&] { return client.closed || client.data == "hello"; }));
      EXPECT_EQ(client.s.SslErrorText(), c.failure);
      EXPECT_EQ(client.events.front(),
                c.failure.empty() ? "connected 0 TLSv1.3" : "connected " + std::to_string(kSslVerifyError));
      client.s.Close();
    }  // the peer's thread has ended
    EXPECT_EQ(sni, c.sni);
  }
}

// A server of TLS 1.0 and 1.1 only is refused for its version, also when the
// system's OpenSSL configuration allows those versions: the client sets its
// own minimum. That case runs this test again as a child process whose
// environment names a permissive configuration, which OpenSSL reads when it
// starts.
TEST_F(SslWSocketTest, OldProtocolVersionsAreRefusedWhateverTheSystemAllows) {
  const char* kChildMark = "QUILLON_TLS_PERMISSIVE_CHILD";
  if (std::getenv(kChildMark) != nullptr) {
    // The configuration is in effect: a new context takes its minimum.
    SSL_CTX* probe = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(probe), TLS1_VERSION);
    SSL_CTX_free(probe);
  }
  const TestPki::Leaf leaf = leaf_;
  ScriptedServer server([leaf](ScriptedConnection& c) {
    testing::TlsPeer tls(c.fd(), leaf);
    tls.OnlyOldVersions();
    tls.Accept();
  });
  TlsClient c(server.port(), pki_.CaFile());
  c.s.Connect();
  ASSERT_TRUE(RunUntil([&] { return c.closed; }));
  EXPECT_EQ(c.events.front(), "connected " + std::to_string(kSslHandshakeError));
  EXPECT_EQ(c.s.SslErrorText(), "TLS handshake failed: tlsv1 alert protocol version (localhost)");
  if (std::getenv(kChildMark) != nullptr) return;

  const std::string conf = dir_.File("permissive.cnf");
  testing::WriteFile(conf,
                     "openssl_conf = openssl_init\n"
                     "[openssl_init]\nssl_conf = ssl_section\n"
                     "[ssl_section]\nsystem_default = system_default_section\n"
                     "[system_default_section]\nMinProtocol = TLSv1\nCipherString = DEFAULT@SECLEVEL=0\n");
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string output = dir_.File("child.txt");
  const std::string command = std::string(kChildMark) + "=1 OPENSSL_CONF='" + conf + "' '" + self +
                              "' --gtest_filter='" + test->test_suite_name() + "." + test->name() + "' >'" +
                              output + "' 2>&1";
  const int status = std::system(command.c_str());
  const std::string child = testing::ReadFile(output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << child;
  EXPECT_NE(child.find("[  PASSED  ] 1 test"), std::string::npos) << child;
}

// A handshake that fails reports OnSessionConnected and OnSessionClosed with
// the same code: a TLS failure, or the socket error of a reset.
TEST_F(SslWSocketTest, HandshakeEndedByThePeer) {
  struct Case {
    const char* name;
    bool reset;
    Word code;
    std::string text;  // the beginning of SslErrorText
  };
  const Case cases[] = {
      {"peer without TLS", false, kSslHandshakeError, "TLS handshake failed: "},
      {"reset", true, 10054, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const bool reset = k.reset;
    ScriptedServer server([reset](ScriptedConnection& c) {
      c.Read(5);
      if (reset) return c.Reset();
      c.Send("HTTP/1.0 400 Bad Request\r\n\r\n");
    });
    TlsClient c(server.port(), pki_.CaFile());
    c.s.Connect();
    ASSERT_TRUE(RunUntil([&] { return c.closed; }));
    EXPECT_EQ(c.events, (std::vector<std::string>{"connected " + std::to_string(k.code),
                                                  "closed " + std::to_string(k.code)}));
    EXPECT_EQ(c.s.SslErrorText().substr(0, k.text.size()), k.text) << c.s.SslErrorText();
    EXPECT_EQ(c.data, "");  // nothing of the plain answer reaches the owner
  }
}

}  // namespace
}  // namespace quillon
