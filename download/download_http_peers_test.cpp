// What a download shows when an HTTP proxy or server answers in ways the
// transfer must not trust: a proxy's answer to CONNECT, a redirection loop, a
// body longer than announced, a continued request that is redirected.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "download/download_job.h"
#include "download/partial_file.h"
#include "net/http/http_cli.h"
#include "tests/support/scripted_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "tests/support/timed_job.h"

namespace quillon {
namespace {

using namespace testing;

TEST(DownloadHttpPeersTest, ProxyAnswersAndRedirectionLoops) {
  testing::TempDir dir;
  TestPki pki(dir.path());
  const TestPki::Leaf leaf = pki.Server("server", {"localhost"});
  const std::string file = Pattern(5000);
  struct Case {
    const char* name;
    std::string path;    // https through the proxy when it starts with "https"
    std::string answer;  // the proxy's to CONNECT, or the server's
    std::string status;
    std::string content;  // of the file; empty: no file
  } cases[] = {
      {"proxy 200 with a location", "https://localhost:8443/f.bin",
       "HTTP/1.1 200 Connection established\r\nLocation: https://localhost:8443/other.bin\r\n\r\n",
       "Download Complete.", file},
      {"proxy 407", "https://localhost:8443/f.bin",
       "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 6\r\n\r\ndenied",
       "Download failed: the proxy refused the tunnel: HTTP/1.1 407 Proxy Authentication Required", ""},
      {"a loop", "/f.bin", "HTTP/1.0 302 Found\r\nLocation: /f.bin\r\n\r\n", "Download failed: too many redirects.",
       ""},
      {"a body past its length", "/f.bin", "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + file + "surplus",
       "Download Complete.", file},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedServer server([&](ScriptedConnection& conn) {
      const bool connect = conn.ReadUntil("\r\n\r\n").starts_with("CONNECT ");
      conn.Send(k.answer);
      if (!connect || !k.answer.starts_with("HTTP/1.1 200 ")) return;
      testing::TlsPeer tls(conn.fd(), leaf);
      if (!tls.Accept() || !tls.ReadUntil("\r\n\r\n").starts_with("GET /f.bin ")) return;
      tls.Write("HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + file);
      tls.Shutdown();
    });
    const bool tunnel = k.path.starts_with("https");
    testing::TimedJob j(tunnel ? k.path : "http://127.0.0.1:" + server.PortText() + k.path, dir.File("f.bin"));
    j.job.OnHttpClientCreated = [&](TDownloadJob*, THttpCli* http) {
      http->SetSslCAFile(pki.CaFile());
      if (tunnel) http->SetProxy("127.0.0.1:" + server.PortText());
    };
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.job.Status(), k.status);
    if (k.content.empty())
      EXPECT_FALSE(FileExists(dir.File("f.bin")));
    else
      EXPECT_TRUE(ReadFile(dir.File("f.bin")) == k.content);
    EXPECT_FALSE(FileExists(dir.File("f.bin.part")));
    std::remove(dir.File("f.bin").c_str());
  }
}

// The rest of a partial file is asked for with its range and validator at the
// place the request is redirected to.
TEST(DownloadHttpPeersTest, ContinuedRequestKeepsItsRangeThroughARedirection) {
  const std::string whole = Pattern(10000);
  for (std::string status : {"301 Moved Permanently", "302 Found", "307 Temporary Redirect"}) {
    SCOPED_TRACE(status);
    std::mutex mutex;
    std::vector<std::string> requests;
    ScriptedServer server([&](ScriptedConnection& c) {
      std::string request = c.ReadUntil("\r\n\r\n");
      {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(request);
      }
      const bool ranged = request.find("\r\nRange: bytes=4000-\r\n") != std::string::npos &&
                          request.find("\r\nIf-Range: \"v1\"\r\n") != std::string::npos;
      if (request.starts_with("GET /f.bin "))
        c.Send("HTTP/1.0 " + status + "\r\nLocation: /mirror/f.bin\r\n\r\n");
      else if (ranged)
        c.Send("HTTP/1.0 206 Partial Content\r\nETag: \"v1\"\r\nContent-Range: bytes 4000-9999/10000\r\n"
               "Content-Length: 6000\r\n\r\n" +
               whole.substr(4000));
      else
        c.Send("HTTP/1.0 412 Precondition Failed\r\n\r\n");
    });
    testing::TempDir dir;
    const std::string url = "http://127.0.0.1:" + server.PortText() + "/f.bin";
    testing::WriteFile(dir.File("f.bin.part"), whole.substr(0, 4000));
    ASSERT_TRUE(WritePartInfo(dir.File("f.bin.part"), TPartInfo{url, 10000, "\"v1\""}));
    testing::TimedJob j(url, dir.File("f.bin"));
    j.answer.yes = true;
    ASSERT_TRUE(j.Run());
    EXPECT_EQ(j.job.Status(), "Download Complete.");
    EXPECT_TRUE(ReadFile(dir.File("f.bin")) == whole);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(requests.size(), 2u);
  }
}

}  // namespace
}  // namespace quillon
