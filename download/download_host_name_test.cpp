// Host names in any script: the network sees their ASCII form (lookup, Host
// field, TLS server name and certificate), the user reads them in their own.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "download/download_job.h"
#include "download/proxy_settings.h"
#include "platform/dns_lookup.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "tests/support/timed_job.h"

namespace quillon {
namespace {

using testing::ScriptedConnection;
using testing::ScriptedServer;

TEST(DownloadHostNameTest, UnicodeNamesReachTheNetworkInTheirAsciiForm) {
  testing::TempDir dir;
  testing::TestPki pki(dir.path());
  const testing::TestPki::Leaf leaf = pki.Server("idn", {"xn--bcher-kva.example"});
  struct Case {
    const char* name;
    std::string url;       // PORT stands for the server's port
    bool tls;
    std::string redirect;  // the first answer's Location; empty: none
    std::string host;      // the Host field the server must see
    std::string status;
  } cases[] = {
      {"plain", "http://bücher.example:PORT/f.bin", false, "", "xn--bcher-kva.example:PORT", "Download Complete."},
      {"upper case, mapped", "http://BÜCHER.example:PORT/f.bin", false, "", "xn--bcher-kva.example:PORT",
       "Download Complete."},
      {"a redirection's Location", "http://127.0.0.1:PORT/old", false, "http://bücher.example:PORT/f.bin",
       "xn--bcher-kva.example:PORT", "Download Complete."},
      {"tls: server name and certificate", "https://bücher.example:PORT/f.bin", true, "",
       "xn--bcher-kva.example:PORT", "Download Complete."},
      {"unresolved, told in its own script", "http://nirgendwö.example:PORT/f.bin", false, "", "",
       "Download failed: can't resolve host name nirgendwö.example"},
      {"an ASCII form told in its own script", "http://xn--nirgendw-u4a.example:PORT/f.bin", false, "", "",
       "Download failed: can't resolve host name nirgendwö.example"},
      // Latin with one Cyrillic "а": told as browsers show it, in its ASCII form.
      {"a name that mixes scripts", "http://p\xD0\xB0ypal.example:PORT/f.bin", false, "", "",
       "Download failed: can't resolve host name xn--pypal-4ve.example"},
      {"an ASCII form that mixes scripts", "http://xn--pypal-4ve.example:PORT/f.bin", false, "", "",
       "Download failed: can't resolve host name xn--pypal-4ve.example"},
      {"a certificate for another name", "https://nirgendwö.example:PORT/f.bin", true, "", "",
       "Download failed: certificate verify failed: hostname mismatch (nirgendwö.example)"},
      {"not a name, over ftp", "ftp://b\xFC" "cher.example:PORT/f.bin", false, "", "",
       "Download failed: the host name b\xFC" "cher.example is not valid."},
      {"not a name", "http://b\xFC" "cher.example:PORT/f.bin", false, "", "",
       "Download failed: the host name b\xFC" "cher.example is not valid."},
      {"not a name, in a Location", "http://127.0.0.1:PORT/old", false, "http://\xCC\x81" "b.example/f.bin",
       "", "Download failed: the host name \xCC\x81" "b.example is not valid."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::mutex mutex;
    std::string seen_host;
    std::string redirect;  // k.redirect with the server's port
    int requests = 0;
    ScriptedServer server([&](ScriptedConnection& conn) {
      std::string request;
      std::unique_ptr<testing::TlsPeer> tls;
      if (k.tls) {
        tls = std::make_unique<testing::TlsPeer>(conn.fd(), leaf);
        if (!tls->Accept()) return;
        request = tls->ReadUntil("\r\n\r\n");
      } else {
        request = conn.ReadUntil("\r\n\r\n");
      }
      std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (++requests == 1 && !redirect.empty())
          answer = "HTTP/1.0 302 Found\r\nLocation: " + redirect + "\r\n\r\n";
        else if (const size_t at = request.find("\r\nHost: "); at != std::string::npos)
          seen_host = request.substr(at + 8, request.find("\r\n", at + 8) - at - 8);
      }
      if (tls) {
        tls->Write(answer);
        tls->Shutdown();
      } else {
        conn.Send(answer);
      }
    });
    auto with_port = [&](std::string text) {
      for (size_t at; (at = text.find("PORT")) != std::string::npos;) text.replace(at, 4, server.PortText());
      return text;
    };
    platform::SetNameOverridesForTesting(
        {{"xn--bcher-kva.example", {"127.0.0.1"}}, {"xn--nirgendw-u4a.example", k.tls ? std::vector<std::string>{"127.0.0.1"} : std::vector<std::string>{}}});
    const std::string file = dir.File("f.bin");
    const std::string url = with_port(k.url);
    testing::TimedJob j(url, file);
    j.job.OnHttpClientCreated = [&](TDownloadJob*, THttpCli* http) { http->SetSslCAFile(pki.CaFile()); };
    redirect = with_port(k.redirect);
    ASSERT_TRUE(j.Run());
    platform::SetNameOverridesForTesting({});
    EXPECT_EQ(j.job.Status(), k.status);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(seen_host, with_port(k.host));
    std::remove(file.c_str());
  }
}

// Through a SOCKS 5 proxy the name goes to the proxy, in its ASCII form, and
// is never looked up here (only the proxy's network may know it); the
// proxy's refusal is told in its words.
TEST(DownloadHostNameTest, ASocksProxyIsAskedForTheAsciiName) {
  for (const char* url : {"http://bücher.example/f.bin", "ftp://bücher.example/f.bin"}) {
    SCOPED_TRACE(url);
    testing::TempDir dir;
    std::mutex mutex;
    std::string asked;
    ScriptedServer proxy([&](ScriptedConnection& conn) {
      if (conn.Read(3) != std::string("\x05\x01\x00", 3)) return;
      conn.Send(std::string("\x05\x00", 2));
      const std::string head = conn.Read(5);  // VER CMD RSV ATYP LEN
      if (head.size() != 5 || head[3] != '\x03') return;
      const std::string name = conn.Read(static_cast<unsigned char>(head[4]));
      conn.Read(2);  // the port
      {
        std::lock_guard<std::mutex> lock(mutex);
        asked = name;
      }
      conn.Send(std::string("\x05\x04\x00\x01\x00\x00\x00\x00\x00\x00", 10));  // host unreachable
    });
    TProxySettings proxies;
    proxies.Override(TProxyUrl{}, ParseProxyUrl("socks5h://127.0.0.1:" + proxy.PortText()));
    testing::TimedJob j(url, dir.File("f.bin"));
    j.job.OnHttpClientCreated = [&](TDownloadJob*, THttpCli* http) { proxies.ApplyTo(*http); };
    j.job.OnFtpClientCreated = [&](TDownloadJob*, TFtpClient* ftp) { proxies.ApplyTo(*ftp); };
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.job.Status(), "Download failed: the SOCKS proxy reports: host unreachable");
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(asked, "xn--bcher-kva.example");
  }
}

}  // namespace
}  // namespace quillon
