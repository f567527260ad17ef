// THttpCli against scripted servers on loopback: the request it writes, how
// it reads odd responses, redirections, aborts and the ways a request fails.
#include "net/http/http_cli.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/memory_stream.h"
#include "net/http/url.h"
#include "tests/support/delete_once.h"
#include "tests/support/event_wait.h"
#include "tests/support/gate.h"
#include "tests/support/loopback.h"
#include "platform/dns_lookup.h"
#include "tests/support/scripted_server.h"
#include "tests/support/silent_listener.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace quillon {
namespace {

using testing::ScriptedConnection;
using testing::ScriptedServer;
using testing::TestPki;

// A client with every interesting event recorded.
struct Client {
  THttpCli http;
  TMemoryStream body;
  std::vector<std::string> events;
  int done = 0;
  THttpRequest done_type = hrNone;
  Word done_error = 0xFFFF;
  int doc_data_sum = 0;

  Client() {
    http.SetRcvdStream(&body);
    http.OnHeaderBegin = [this](THttpCli*) { events.push_back("HeaderBegin"); };
    http.OnHeaderEnd = [this](THttpCli*) { events.push_back("HeaderEnd"); };
    http.OnDocBegin = [this](THttpCli*) { events.push_back("DocBegin"); };
    http.OnDocData = [this](THttpCli*, const void*, int len) {
      doc_data_sum += len;
      if (events.empty() || events.back() != "DocData") events.push_back("DocData");
    };
    http.OnDocEnd = [this](THttpCli*) { events.push_back("DocEnd"); };
    http.OnLocationChange = [this](THttpCli* c) { events.push_back("Location " + c->Location()); };
    http.OnRequestDone = [this](THttpCli* c, THttpRequest type, Word error) {
      ++done;
      done_type = type;
      done_error = error;
      events.push_back("Done");
      EXPECT_EQ(c->State(), hsReady);
    };
  }
  bool Fetch(const std::string& url) {
    http.SetURL(url);
    http.GetAsync();
    return Wait();
  }
  bool Wait() { return testing::RunUntil([this] { return done > 0; }); }
  std::string Body() { return std::string(body.Memory(), static_cast<size_t>(body.Size())); }
};

// Records the request header a script read.
struct Requests {
  std::mutex mutex;
  std::vector<std::string> list;
  void Add(const std::string& r) {
    std::lock_guard<std::mutex> lock(mutex);
    list.push_back(r);
  }
  std::string At(size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return i < list.size() ? list[i] : std::string();
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return list.size();
  }
};

// A server that answers every request with the same bytes and closes.
std::unique_ptr<ScriptedServer> Answering(Requests& requests, std::string response) {
  return std::make_unique<ScriptedServer>([&requests, response](ScriptedConnection& c) {
    requests.Add(c.ReadUntil("\r\n\r\n"));
    c.Send(response);
  });
}

std::string Url(const ScriptedServer& s, const std::string& path) {
  return "http://127.0.0.1:" + s.PortText() + path;
}

// The EHttpException that request throws, as "CODE message"; "" when none.
std::string HttpExceptionOf(const std::function<void()>& request) {
  try {
    request();
  } catch (const EHttpException& e) {
    return std::to_string(e.ErrorCode()) + " " + e.what();
  }
  return "";
}

TEST(HttpRequest, HeaderLinesInOrder) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\n\r\nx");
  Client c;
  c.http.SetSender("me@example.test");
  c.http.SetReference("http://ref.test/");
  c.http.SetAcceptLanguage("en");
  c.http.SetNoCache(true);
  c.http.SetCookie("a=b");
  c.http.SetContentRangeBegin("10");
  TDateTime d = 0;
  ASSERT_TRUE(TryEncodeDate(1994, 11, 6, d));
  c.http.SetModifiedSince(d);
  ASSERT_TRUE(c.Fetch("http://ann:pw@127.0.0.1:" + server->PortText()));
  EXPECT_EQ(requests.At(0),
            "GET / HTTP/1.0\r\n"
            "From: me@example.test\r\n"
            "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
            "Referer: http://ref.test/\r\n"
            "Accept-Language: en\r\n"
            "User-Agent: Mozilla/3.0 (compatible)\r\n"
            "Host: 127.0.0.1:" + server->PortText() + "\r\n"
            "Pragma: no-cache\r\n"
            "If-Modified-Since: Sun, 06 Nov 1994 00:00:00 GMT\r\n"
            "Authorization: Basic " + EncodeBase64("ann:pw") + "\r\n"
            "Cookie: a=b\r\n"
            "Range: bytes=10-\r\n"
            "\r\n");
  EXPECT_EQ(c.http.Username(), "ann");
  EXPECT_EQ(c.http.Password(), "pw");
  EXPECT_EQ(c.http.ContentRangeBegin(), "");
  EXPECT_EQ(c.http.DocName(), "document.htm");
  EXPECT_EQ(c.done_error, 0);
}

// The Host field names the port unless it is the scheme's default, whether
// the request goes to the server, to a proxy or through a proxy's tunnel.
TEST(HttpRequest, HostNamesThePortUnlessItIsTheDefault) {
  testing::TempDir dir;
  TestPki pki(dir.path());
  const TestPki::Leaf leaf = pki.Server("server", {"localhost"});
  Requests requests;
  ScriptedServer server([&](ScriptedConnection& conn) {
    std::string request = conn.ReadUntil("\r\n\r\n");
    if (!request.starts_with("CONNECT ")) {
      requests.Add(request);
      conn.Send("HTTP/1.0 200 OK\r\n\r\n");
      return;
    }
    conn.Send("HTTP/1.0 200 Connection established\r\n\r\n");
    testing::TlsPeer tls(conn.fd(), leaf);
    if (!tls.Accept()) return;
    requests.Add(tls.ReadUntil("\r\n\r\n"));
    tls.Write("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    tls.Shutdown();
  });
  const std::string port = server.PortText();
  struct Case {
    std::string url;
    bool proxy;
    std::string host;
  } cases[] = {
      {Url(server, "/f"), false, "127.0.0.1:" + port},
      {"http://origin.test/f", true, "origin.test"},
      {"http://origin.test:80/f", true, "origin.test"},
      {"http://origin.test:8080/f", true, "origin.test:8080"},
      {"http://origin.test:443/f", true, "origin.test:443"},
      {"http://[2001:db8::1]/f", true, "[2001:db8::1]"},
      {"http://[2001:db8::1]:8080/f", true, "[2001:db8::1]:8080"},
      {"https://localhost/f", true, "localhost"},
      {"https://localhost:443/f", true, "localhost"},
      {"https://localhost:8443/f", true, "localhost:8443"},
      {"https://localhost:80/f", true, "localhost:80"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.url);
    Client c;
    c.http.SetSslCAFile(pki.CaFile());
    if (k.proxy) c.http.SetProxy("127.0.0.1:" + port);
    size_t before = requests.Count();
    ASSERT_TRUE(c.Fetch(k.url));
    EXPECT_EQ(c.done_error, 0) << c.http.ReasonPhrase();
    ASSERT_EQ(requests.Count(), before + 1);
    EXPECT_NE(requests.At(before).find("\r\nHost: " + k.host + "\r\n"), std::string::npos) << requests.At(before);
  }
}

// A name whose first address does not answer is fetched through its second
// address, well within the connect timeout that covers the whole attempt.
TEST(HttpRequest, NameWithASilentFirstAddress) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
  testing::SilentListener silent("127.0.0.2", server->port());
  ASSERT_TRUE(silent.ok());
  platform::SetNameOverridesForTesting({{"two.test", {"127.0.0.2", "127.0.0.1"}}});
  Client c;
  c.http.SetConnectTimeout(20);
  ASSERT_TRUE(c.Fetch("http://two.test:" + server->PortText() + "/f"));
  platform::SetNameOverridesForTesting({});
  EXPECT_EQ(c.done_error, 0) << c.http.ReasonPhrase();
  EXPECT_EQ(c.Body(), "ok");
  EXPECT_NE(requests.At(0).find("\r\nHost: two.test:" + server->PortText() + "\r\n"), std::string::npos);
}

TEST(HttpRequest, EventsCanEditTheHeader) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\n\r\n");
  Client c;
  c.http.SetAccept("");
  c.http.OnBeforeHeaderSend = [](THttpCli*, const std::string& method, std::vector<std::string>& lines) {
    EXPECT_EQ(method, "GET");
    lines.push_back("X-Extra: 1");
  };
  c.http.OnCommand = [](THttpCli*, std::string& s) {
    if (s.starts_with("User-Agent")) s = "User-Agent: test";
  };
  ASSERT_TRUE(c.Fetch(Url(*server, "/a/b.zip?x=1")));
  EXPECT_EQ(requests.At(0), "GET /a/b.zip?x=1 HTTP/1.0\r\nUser-Agent: test\r\nHost: 127.0.0.1:" + server->PortText() +
                                "\r\nX-Extra: 1\r\n\r\n");
  EXPECT_EQ(c.http.DocName(), "b.zip");
}

TEST(HttpRequest, PostSendsTheStreamWithItsLength) {
  std::string content(20000, 'p');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  std::string received;
  ScriptedServer server([&](ScriptedConnection& c) {
    std::string header = c.ReadUntil("\r\n\r\n");
    size_t at = header.find("Content-Length: ");
    size_t length = at == std::string::npos ? 0 : std::stoul(header.substr(at + 16));
    std::string data = c.Read(length);
    bool ok = header.starts_with("POST /form HTTP/1.0\r\n") &&
              header.find("Content-Type: application/x-www-form-urlencoded\r\n") != std::string::npos &&
              length == content.size() && data == content;
    c.Send(ok ? "HTTP/1.0 200 Checked\r\n\r\n" : "HTTP/1.0 400 Mismatch\r\n\r\n");
  });
  Client c;
  TStringStream post(content);
  post.Seek(0, TSeekOrigin::soEnd);  // sent from its beginning all the same
  int send_end = 0;
  c.http.OnSendEnd = [&](THttpCli*) { ++send_end; };
  c.http.SetSendStream(&post);
  c.http.SetURL(Url(server, "/form"));
  c.http.PostAsync();
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.http.StatusCode(), 200);
  EXPECT_EQ(c.http.ReasonPhrase(), "Checked");
  EXPECT_EQ(c.http.SentCount(), static_cast<int64_t>(content.size()));
  EXPECT_EQ(send_end, 1);
  EXPECT_EQ(c.done_type, hrPost);
}

TEST(HttpRequest, StartingRules) {
  Client c;
  EXPECT_EQ(HttpExceptionOf([&] { c.http.PostAsync(); }), "2 HTTP component has nothing to post");
  Requests requests;
  ScriptedServer server([&](ScriptedConnection& conn) {
    requests.Add(conn.ReadUntil("\r\n\r\n"));
    conn.Send("HTTP/1.0 200 OK\r\n\r\nfirst");
  });
  c.http.SetURL(Url(server, "/one"));
  c.http.GetAsync();
  c.http.SetURL(Url(server, "/two"));
  EXPECT_EQ(HttpExceptionOf([&] { c.http.GetAsync(); }), "1 HTTP component is busy");
  ASSERT_TRUE(c.Wait());
  EXPECT_EQ(c.Body(), "first");
  EXPECT_EQ(requests.Count(), 1u);
  EXPECT_TRUE(requests.At(0).starts_with("GET /one "));
}

// ---- Responses -------------------------------------------------------------------

TEST(HttpResponse, BodyEventsInOrder) {
  Requests requests;
  std::string body(100000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  auto server = Answering(requests, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nContent-Type: Text/Plain\r\n"
                                    "Accept-Ranges: bytes\r\nSet-Cookie: k=v\r\n\r\n" + body);
  Client c;
  std::string cookie;
  int states = 0;
  c.http.OnCookie = [&](THttpCli*, const std::string& data, bool& accept) {
    cookie = data;
    EXPECT_TRUE(accept);
  };
  c.http.OnStateChange = [&](THttpCli*) { ++states; };
  ASSERT_TRUE(c.Fetch(Url(*server, "/file.bin")));
  EXPECT_EQ(c.events, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "DocBegin", "DocData", "DocEnd", "Done"}));
  EXPECT_EQ(c.Body(), body);
  EXPECT_EQ(c.http.RcvdCount(), 100000);
  EXPECT_EQ(c.doc_data_sum, 100000);
  EXPECT_EQ(c.http.ContentLength(), 100000);
  EXPECT_EQ(c.http.ContentType(), "text/plain");
  EXPECT_EQ(c.http.AcceptRanges(), "bytes");
  EXPECT_EQ(cookie, "k=v");
  EXPECT_EQ(c.http.RcvdHeader().size(), 5u);
  EXPECT_EQ(c.http.RcvdHeader()[0], "HTTP/1.1 200 OK");
  EXPECT_EQ(c.done_type, hrGet);
  EXPECT_EQ(c.done_error, 0);
  // NotConnected, DnsLookup, DnsLookupDone, Connected, WaitingHeader,
  // WaitingBody, Ready.
  EXPECT_EQ(states, 7);
}

TEST(HttpResponse, HtmlWithoutHeaderArrivesByteForByte) {
  Requests requests;
  const std::string page = "<html>\r\n<body>hello</body>\n</html>\r\n";
  auto server = Answering(requests, page);
  Client c;
  ASSERT_TRUE(c.Fetch(Url(*server, "/page")));
  EXPECT_EQ(c.Body(), page);
  EXPECT_EQ(c.http.ContentType(), "text/html");
  EXPECT_EQ(c.http.StatusCode(), 0);
  EXPECT_EQ(c.events, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "DocBegin", "DocData", "DocEnd", "Done"}));
}

TEST(HttpResponse, CloseBeforeTheHeaderEnds) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\nContent-Le");
  Client c;
  ASSERT_TRUE(c.Fetch(Url(*server, "/")));
  EXPECT_EQ(c.events, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "Done"}));
  EXPECT_EQ(c.http.StatusCode(), 200);
  EXPECT_EQ(c.done_error, 0);
}

TEST(HttpResponse, ContentLengthZeroEndsAfterTheHeader) {
  // The server keeps the connection open: the response is complete anyway.
  ScriptedServer server(testing::AnswerAndHold("HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n"));
  Client c;
  ASSERT_TRUE(c.Fetch(Url(server, "/empty")));
  EXPECT_EQ(c.events, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "Done"}));
  EXPECT_EQ(c.http.StatusCode(), 204);
  EXPECT_EQ(c.http.ContentLength(), 0);
  // The client can go on at once with the next request.
  c.done = 0;
  ASSERT_TRUE(c.Fetch(Url(server, "/empty")));
  EXPECT_EQ(c.done_error, 0);
}

// Bytes after the announced length are not the document's, whether they come
// with the header or later, and the response ends with its last byte even
// when the server keeps the connection open.
TEST(HttpResponse, NothingPastTheContentLengthIsDelivered) {
  const std::string body(100000, 'b');
  const std::string header = "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n";
  struct Case {
    const char* name;
    bool later;      // the surplus is sent once the client has the whole body
    bool keep_open;  // the server then waits for the client to close
  } cases[] = {{"with the body, then close", false, false},
               {"with the body, kept open", false, true},
               {"later, kept open", true, true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::atomic<bool> has_body{false};
    std::atomic<bool> served{false};  // the server sent all (and saw the client close)
    ScriptedServer server([&](ScriptedConnection& conn) {
      conn.ReadUntil("\r\n\r\n");
      conn.Send(header + body + (k.later ? "" : "surplus"));
      if (k.later) {
        while (!has_body) std::this_thread::yield();
        conn.Send("surplus");
      }
      if (k.keep_open) conn.ReadToEnd();
      served = true;
    });
    Client c;
    c.http.OnDocData = [&](THttpCli* h, const void*, int len) {
      c.doc_data_sum += len;
      if (h->RcvdCount() >= 100000) has_body = true;
    };
    ASSERT_TRUE(c.Fetch(Url(server, "/f.bin")));
    has_body = true;
    ASSERT_TRUE(testing::RunUntil([&] { return served.load(); }));
    EXPECT_EQ(c.done, 1);
    EXPECT_EQ(c.done_error, 0);
    EXPECT_TRUE(c.Body() == body) << c.Body().size();
    EXPECT_EQ(c.doc_data_sum, 100000);
    EXPECT_EQ(c.http.RcvdCount(), 100000);
  }
}

TEST(HttpResponse, ErrorAnswerKeepsOnlyTheBodyThatCameWithTheHeader) {
  std::atomic<bool> client_closed{false};
  ScriptedServer server([&](ScriptedConnection& conn) {
    conn.ReadUntil("\r\n\r\n");
    conn.Send("HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n" + std::string(100, 'e'));
    conn.ReadToEnd();  // returns when the client closes
    client_closed = true;
    conn.Send(std::string(100000, 'f'));
  });
  Client c;
  c.http.SetURL(Url(server, "/missing.exe"));
  EXPECT_EQ(HttpExceptionOf([&] { c.http.Get(); }), "404 Not Found");
  EXPECT_EQ(c.http.State(), hsReady);
  EXPECT_EQ(c.Body(), std::string(100, 'e'));
  EXPECT_EQ(c.http.DocName(), "missing.htm");
  ASSERT_TRUE(c.Wait());  // OnRequestDone comes later, from the event loop
  EXPECT_TRUE(testing::RunUntil([&] { return client_closed.load(); }));
}

TEST(HttpResponse, DocNameAdjustment) {
  Requests requests;
  auto html = Answering(requests, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>");
  Client c;
  ASSERT_TRUE(c.Fetch(Url(*html, "/dl/setup.exe")));
  EXPECT_EQ(c.http.DocName(), "setup.htm");
  c.done = 0;
  ASSERT_TRUE(c.Fetch(Url(*html, "/dir/")));
  EXPECT_EQ(c.http.DocName(), "document.htm");
  c.done = 0;
  ASSERT_TRUE(c.Fetch(Url(*html, "/dl/notes.txt?v=2")));
  EXPECT_EQ(c.http.DocName(), "notes.txt");
}

// ---- Redirections ------------------------------------------------------------------

TEST(HttpRedirect, RelativeLocationIsFollowedOnce) {
  Requests requests;
  ScriptedServer server([&](ScriptedConnection& conn) {
    std::string request = conn.ReadUntil("\r\n\r\n");
    requests.Add(request);
    if (request.starts_with("GET /old "))
      conn.Send("HTTP/1.0 302 Found\r\nLocation: /new#part\r\n\r\nmoved");
    else
      conn.Send("HTTP/1.0 200 OK\r\n\r\nnew body");
  });
  Client c;
  ASSERT_TRUE(c.Fetch(Url(server, "/old")));
  testing::RunFor(50);
  EXPECT_EQ(c.done, 1);
  EXPECT_EQ(c.events, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "Location " + Url(server, "/new"),
                                                "HeaderBegin", "HeaderEnd", "DocBegin", "DocData", "DocEnd",
                                                "Done"}));
  EXPECT_EQ(c.Body(), "new body");
  EXPECT_TRUE(requests.At(1).starts_with("GET /new HTTP/1.0\r\n"));
  EXPECT_EQ(c.http.DocName(), "new");
}

// What the server is asked for: the URL read as curl reads it, and a
// relative location resolved by RFC 3986 section 5.2 (the rules' cases are
// in url_test.cpp; these show the client uses them).
TEST(HttpRedirect, RequestTargetsAndResolvedLocations) {
  struct Case {
    std::string url_tail;  // after "http://127.0.0.1:PORT"
    std::string location;  // of a first answer 302; "" : no redirection
    std::string want;      // the request line that gets the document
  };
  const Case cases[] = {
      {"#@127.0.0.2:1/x", "", "GET / HTTP/1.0"},
      {"/a b/c%20d.txt#frag", "", "GET /a%20b/c%20d.txt HTTP/1.0"},
      {"/a/b/c", "../../x", "GET /x HTTP/1.0"},
      {"/a/b/c", "./d/../e f#g", "GET /a/b/e%20f HTTP/1.0"},
      {"/a/b/c", "//127.0.0.1:PORT/net/../p", "GET /p HTTP/1.0"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.url_tail + " " + k.location);
    Requests requests;
    std::string location = k.location;
    ScriptedServer server([&](ScriptedConnection& conn) {
      requests.Add(conn.ReadUntil("\r\n\r\n"));
      if (!location.empty() && requests.Count() == 1)
        conn.Send("HTTP/1.0 302 Found\r\nLocation: " + location + "\r\n\r\n");
      else
        conn.Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    });
    if (size_t at = location.find("PORT"); at != std::string::npos) location.replace(at, 4, server.PortText());
    Client c;
    ASSERT_TRUE(c.Fetch("http://127.0.0.1:" + server.PortText() + k.url_tail));
    EXPECT_EQ(c.done_error, 0);
    EXPECT_EQ(c.Body(), "ok");
    ASSERT_EQ(requests.Count(), k.location.empty() ? 1u : 2u);
    const std::string request = requests.At(requests.Count() - 1);
    EXPECT_TRUE(request.starts_with(k.want + "\r\n")) << request;
    EXPECT_NE(request.find("\r\nHost: 127.0.0.1:" + server.PortText() + "\r\n"), std::string::npos) << request;
    EXPECT_EQ(request.find("Authorization"), std::string::npos) << request;
  }
}

// A location is followed when the connection closes before the header ends,
// but never from a response that broke.
TEST(HttpRedirect, HeaderCutShortOrBroken) {
  struct Case {
    std::string first_answer;
    Word error;
    size_t requests;
  } cases[] = {
      {"HTTP/1.0 302 Found\r\nLocation: /new\r\n", 0, 2},
      {"HTTP/1.0 302 Found\r\nLocation: /new\r\nContent-Length: x\r\n\r\n", 10053, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.first_answer);
    Requests requests;
    ScriptedServer server([&](ScriptedConnection& conn) {
      requests.Add(conn.ReadUntil("\r\n\r\n"));
      conn.Send(requests.Count() == 1 ? k.first_answer : "HTTP/1.0 200 OK\r\n\r\nnew body");
    });
    Client c;
    ASSERT_TRUE(c.Fetch(Url(server, "/old")));
    testing::RunFor(20);
    EXPECT_EQ(c.done, 1);
    EXPECT_EQ(c.done_error, k.error);
    EXPECT_EQ(requests.Count(), k.requests);
    EXPECT_EQ(c.Body(), k.requests == 2 ? "new body" : "");
    EXPECT_EQ(std::count(c.events.begin(), c.events.end(), "Location " + Url(server, "/new")), k.requests - 1);
  }
}

// A proxy's answer to CONNECT only opens the tunnel or refuses it, and only
// 301, 302, 303, 307 and 308 from the server redirect; a loop ends after 20.
TEST(HttpRedirect, OnlyRedirectionStatusesOfTheServerAreFollowed) {
  testing::TempDir dir;
  TestPki pki(dir.path());
  const TestPki::Leaf leaf = pki.Server("server", {"localhost"});
  struct Case {
    std::string name;
    bool tunnel;         // https through a proxy; else plain http, direct
    std::string answer;  // the proxy's to CONNECT, or the server's to GET /old
    std::string body;
    int status;
    Word error;
    std::string reason;
    int connections;
  };
  const std::string refused = "the proxy refused the tunnel: ";
  std::vector<Case> cases = {
      {"proxy 200 with a location", true,
       "HTTP/1.1 200 Connection established\r\nLocation: https://localhost:1/evil\r\nContent-Length: 0\r\n\r\n",
       "the server's file", 200, 0, "OK", 1},
      {"proxy 302", true, "HTTP/1.1 302 Found\r\nLocation: https://localhost:8443/new\r\n\r\nmoved", "", 404,
       kHttpTunnelRefused, refused + "HTTP/1.1 302 Found", 1},
      {"proxy 407", true,
       "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\nContent-Length: 6\r\n\r\ndenied",
       "", 404, kHttpTunnelRefused, refused + "HTTP/1.1 407 Proxy Authentication Required", 1},
      {"proxy closes in its answer", true, "HTTP/1.1 200 Connection established\r\n", "", 404, kHttpTunnelRefused,
       refused + "HTTP/1.1 200 Connection established", 1},
      {"server 200 with a location", false, "HTTP/1.0 200 OK\r\nLocation: /new\r\n\r\nthe file", "the file", 200,
       0, "OK", 1},
      {"server 300 with a location", false, "HTTP/1.0 300 Multiple Choices\r\nLocation: /new\r\n\r\nchoose",
       "choose", 300, 0, "Multiple Choices", 1},
      {"a loop", false, "HTTP/1.0 302 Found\r\nLocation: /old\r\n\r\n", "", 404, kHttpTooManyRedirects,
       "too many redirects.", 21},
  };
  for (std::string status : {"301 Moved Permanently", "302 Found", "303 See Other", "307 Temporary Redirect",
                             "308 Permanent Redirect"})
    cases.push_back({status, false, "HTTP/1.0 " + status + "\r\nLocation: /new\r\n\r\nmoved", "new body", 200, 0,
                     "OK", 2});
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedServer server([&](ScriptedConnection& conn) {
      std::string request = conn.ReadUntil("\r\n\r\n");
      if (request.starts_with("GET /new ")) {
        conn.Send("HTTP/1.0 200 OK\r\n\r\nnew body");
        return;
      }
      conn.Send(k.answer);
      if (!request.starts_with("CONNECT ") || !k.answer.starts_with("HTTP/1.1 200 ") ||
          !k.answer.ends_with("\r\n\r\n"))
        return;
      testing::TlsPeer tls(conn.fd(), leaf);
      if (!tls.Accept() || !tls.ReadUntil("\r\n\r\n").starts_with("GET /old ")) return;
      tls.Write("HTTP/1.0 200 OK\r\nContent-Length: 17\r\n\r\nthe server's file");
      tls.Shutdown();
    });
    Client c;
    if (k.tunnel) {
      c.http.SetProxy("127.0.0.1:" + server.PortText());
      c.http.SetSslCAFile(pki.CaFile());
    }
    ASSERT_TRUE(c.Fetch(k.tunnel ? "https://localhost:8443/old" : Url(server, "/old")));
    testing::RunFor(20);
    EXPECT_EQ(c.done, 1);
    EXPECT_EQ(c.Body(), k.body);
    EXPECT_EQ(c.http.StatusCode(), k.status);
    EXPECT_EQ(c.done_error, k.error);
    EXPECT_EQ(c.http.ReasonPhrase(), k.reason);
    EXPECT_EQ(server.Accepted(), k.connections);
  }
}

TEST(HttpRedirect, OtherSchemesAreNotFollowed) {
  for (std::string target : {"ftp://127.0.0.1/file", "file:///etc/passwd", "gopher+x://h/"}) {
    Requests requests;
    auto server = Answering(requests, "HTTP/1.0 302 Found\r\nLocation: " + target + "\r\n\r\nsee there");
    Client c;
    ASSERT_TRUE(c.Fetch(Url(*server, "/a")));
    EXPECT_EQ(c.http.StatusCode(), 302) << target;
    EXPECT_EQ(c.Body(), "see there");
    EXPECT_EQ(server->Accepted(), 1);
  }
}

TEST(HttpRedirect, ThroughAProxyTheRequestLineIsAbsolute) {
  Requests requests;
  ScriptedServer proxy([&](ScriptedConnection& conn) {
    std::string request = conn.ReadUntil("\r\n\r\n");
    requests.Add(request);
    if (requests.Count() == 1)
      conn.Send("HTTP/1.0 301 Moved\r\nLocation: /next\r\n\r\n");
    else
      conn.Send("HTTP/1.0 200 OK\r\n\r\nproxied");
  });
  Client c;
  c.http.SetProxy("127.0.0.1:" + proxy.PortText());
  c.http.SetProxyUsername("pu");
  c.http.SetProxyPassword("pp");
  ASSERT_TRUE(c.Fetch("http://origin.test:8080/x"));
  EXPECT_TRUE(requests.At(0).starts_with("GET http://origin.test:8080/x HTTP/1.0\r\n")) << requests.At(0);
  EXPECT_NE(requests.At(0).find("\r\nHost: origin.test:8080\r\n"), std::string::npos);
  EXPECT_NE(requests.At(0).find("\r\nProxy-Authorization: Basic " + EncodeBase64("pu:pp") + "\r\n"),
            std::string::npos);
  EXPECT_TRUE(requests.At(1).starts_with("GET http://origin.test:8080/next HTTP/1.0\r\n")) << requests.At(1);
  EXPECT_EQ(c.Body(), "proxied");
  EXPECT_EQ(c.http.Location(), "http://origin.test:8080/next");
}

// ---- Broken responses --------------------------------------------------------------

struct BrokenCase {
  std::string response;
  std::string reason;
};

TEST(HttpBroken, EndWithAnErrorAndTheReason) {
  std::string many_lines = "HTTP/1.0 200 OK\r\n";
  for (int i = 0; i < 1001; ++i) many_lines += "X-Line: " + std::to_string(i) + "\r\n";
  std::string big_header = "HTTP/1.0 200 OK\r\n";
  for (int i = 0; i < 40; ++i) big_header += "X-Big: " + std::string(8000, 'b') + "\r\n";
  const BrokenCase cases[] = {
      {"HTTP/1.0 200 OK\r\nX-Long: " + std::string(9000, 'x'), "HTTP line too long"},
      {many_lines + "\r\n", "HTTP header too long"},
      {big_header + "\r\n", "HTTP header too long"},
      {"HTTP/1.0 2x0 OK\r\n\r\n", "'2x0' is not a valid integer value"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 12abc\r\n\r\nbody", "'12abc' is not a valid integer value"},
      {"HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nbody",
       "'99999999999999999999' is not a valid integer value"},
  };
  for (const BrokenCase& bc : cases) {
    ScriptedServer server(testing::AnswerAndHold(bc.response));
    Client c;
    ASSERT_TRUE(c.Fetch(Url(server, "/"))) << bc.reason;
    testing::RunFor(20);
    EXPECT_EQ(c.done, 1);
    EXPECT_EQ(c.done_error, 10053) << bc.reason;
    EXPECT_EQ(c.http.RequestDoneError(), 10053);
    EXPECT_EQ(c.http.ReasonPhrase(), bc.reason);
    EXPECT_EQ(c.Body(), "");
  }
}

// Chunked bodies arrive decoded, or end the request as broken; interim
// answers are skipped.
TEST(HttpResponse, ChunkedBodiesAndInterimAnswers) {
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
  std::string interim;
  for (int i = 0; i <= kHttpMaxInterimAnswers; ++i) interim += "HTTP/1.1 100 Continue\r\n\r\n";
  struct Case {
    std::string response;
    bool close;                  // the server closes after the response
    Word error;
    std::string body_or_reason;  // the body without an error, else the reason
  };
  const Case cases[] = {
      {chunked + "Content-Length: 3\r\n\r\n5;name=value\r\nhello\r\n6 \r\n world\r\n0\r\nX-Sum: 1\r\n\r\n", false, 0,
       "hello world"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\nA\n0123456789\n00\n\n", false, 0, "0123456789"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: "
       "2\r\n\r\nok",
       false, 0, "ok"},
      {chunked + "\r\nzz\r\nhello\r\n0\r\n\r\n", false, 10053, "bad chunked body: chunk size line \"zz\""},
      {chunked + "\r\n3\r\nhello\r\n0\r\n\r\n", false, 10053, "bad chunked body: chunk data longer than its size"},
      {chunked + "\r\n5;" + std::string(5000, 'x') + "\r\nhello\r\n0\r\n\r\n", false, 10053,
       "bad chunked body: line too long"},
      {chunked + "\r\n10000000000000000\r\n", false, 10053, "bad chunked body: chunk size too large"},
      {chunked + "\r\n5\r\nhel", true, 10053, "the connection closed inside a chunked body."},
      {interim + "HTTP/1.1 200 OK\r\n\r\nok", false, 10053, "too many interim (1xx) answers"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.body_or_reason);
    ScriptedServer server([&](ScriptedConnection& conn) {
      conn.ReadUntil("\r\n\r\n");
      conn.Send(k.response);
      if (!k.close) conn.ReadToEnd();
    });
    Client c;
    ASSERT_TRUE(c.Fetch(Url(server, "/")));
    EXPECT_EQ(c.done_error, k.error);
    if (k.error != 0) {
      EXPECT_EQ(c.http.ReasonPhrase(), k.body_or_reason);
      continue;
    }
    EXPECT_EQ(c.Body(), k.body_or_reason);
    EXPECT_EQ(c.http.StatusCode(), 200);
    EXPECT_EQ(c.http.RcvdHeader().front(), "HTTP/1.1 200 OK");
    EXPECT_EQ(c.events, (std::vector<std::string>{"HeaderBegin", "HeaderEnd", "DocBegin", "DocData", "DocEnd", "Done"}));
    if (k.response.starts_with(chunked)) {
      EXPECT_EQ(c.http.ContentLength(), -1);
    }
  }
}

TEST(HttpBroken, LargeContentLengthFits) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\nContent-Length: 5000000000\r\n\r\n");
  Client c;
  c.http.SetURL(Url(*server, "/huge"));
  c.http.HeadAsync();
  ASSERT_TRUE(c.Wait());
  EXPECT_TRUE(requests.At(0).starts_with("HEAD /huge HTTP/1.0\r\n"));
  EXPECT_EQ(c.http.ContentLength(), 5000000000LL);
  EXPECT_EQ(c.done_type, hrHead);
  EXPECT_EQ(c.done_error, 0);
}

// A stream that accepts nothing.
class FullStream : public TMemoryStream {
 public:
  int64_t Write(const void*, int64_t) override { return 0; }
};

TEST(HttpBroken, FailedWriteAndThrowingHandlerEndTheRequest) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\n\r\n" + std::string(5000, 'd'));
  {
    Client c;
    FullStream full;
    c.http.SetRcvdStream(&full);
    ASSERT_TRUE(c.Fetch(Url(*server, "/")));
    EXPECT_EQ(c.done_error, 10053);
    EXPECT_EQ(c.http.ReasonPhrase(), "Stream write error");
  }
  {
    Client c;
    c.http.OnDocData = [](THttpCli*, const void*, int) { throw Exception("handler failed"); };
    ASSERT_TRUE(c.Fetch(Url(*server, "/")));
    EXPECT_EQ(c.done_error, 10053);
    EXPECT_EQ(c.http.ReasonPhrase(), "handler failed");
    EXPECT_EQ(c.http.StatusCode(), 200);
  }
  {
    // Even a handler of the very end of the document.
    Client c;
    c.http.OnDocEnd = [](THttpCli*) { throw Exception("late failure"); };
    ASSERT_TRUE(c.Fetch(Url(*server, "/")));
    EXPECT_EQ(c.done_error, 10053);
    EXPECT_EQ(c.http.ReasonPhrase(), "late failure");
  }
}

TEST(HttpBroken, RefusedConnection) {
  Client c;
  ASSERT_TRUE(c.Fetch("http://127.0.0.1:" + std::to_string(testing::ClosedPort()) + "/"));
  EXPECT_EQ(c.done_error, 10061);
  EXPECT_EQ(c.http.StatusCode(), 404);
  EXPECT_EQ(c.http.ReasonPhrase(), SocketErrorText(10061) + " (Error #10061)");
  EXPECT_EQ(c.done, 1);
}

TEST(HttpBroken, UnusableUrlsEndWithAnErrorAndTheReason) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 302 Found\r\nLocation: /next\x01\r\nX: y\r\n\r\n");
  const std::string port = server->PortText();
  struct Case {
    std::string url;
    Word error;
    std::string reason;  // a prefix of the reason
  };
  const Case cases[] = {
      // A port text that names no service: the socket's own message.
      {"http://127.0.0.1:nosuchservice/x", 10022, "can't connect: connect: WSocketResolvePort: Cannot convert port"},
      // Control bytes in the URL: refused before anything is sent.
      {"http://127.0.0.1:" + port + "/a\r\nX-Injected: 1", 10022, "invalid URL."},
      {"http://127.0.0.1:" + port + "/a\tb", 10022, "invalid URL."},
      {"http://", 10022, "the URL names no host."},
      // A location holding one is never followed.
      {"http://127.0.0.1:" + port + "/moved", 10053, "invalid URL."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.url);
    Client c;
    ASSERT_TRUE(c.Fetch(k.url));
    testing::RunFor(20);
    EXPECT_EQ(c.done, 1);
    EXPECT_EQ(c.done_error, k.error);
    EXPECT_EQ(c.http.ReasonPhrase().substr(0, k.reason.size()), k.reason) << c.http.ReasonPhrase();
  }
  // Only the answer with the bad location was ever asked for.
  EXPECT_EQ(requests.Count(), 1u);
  EXPECT_TRUE(requests.At(0).starts_with("GET /moved HTTP/1.0\r\n"));
}

// ---- Abort -----------------------------------------------------------------------

TEST(HttpAbort, InEachState) {
  std::atomic<bool> release{false};
  std::atomic<int> got_request{0};
  ScriptedServer server([&](ScriptedConnection& conn) {
    std::string request = conn.ReadUntil("\r\n\r\n");
    ++got_request;
    if (request.starts_with("GET /body "))
      conn.Send("HTTP/1.0 200 OK\r\n\r\n" + std::string(1000, 'b'));
    conn.ReadToEnd();
  });
  auto expect_aborted = [](Client& c, const std::string& where) {
    EXPECT_EQ(c.http.State(), hsReady) << where;
    ASSERT_TRUE(c.Wait()) << where;
    testing::RunFor(20);
    EXPECT_EQ(c.done, 1) << where;
    EXPECT_EQ(c.done_error, 3) << where;
    EXPECT_EQ(c.http.StatusCode(), 404) << where;
    EXPECT_EQ(c.http.ReasonPhrase(), "Connection aborted on request") << where;
  };
  {
    Client c;  // a name lookup runs
    c.http.SetURL("http://localhost:" + server.PortText() + "/");
    c.http.GetAsync();
    ASSERT_EQ(c.http.State(), hsDnsLookup);
    c.http.Abort();
    expect_aborted(c, "lookup");
  }
  {
    Client c;  // connecting
    c.http.SetURL(Url(server, "/"));
    c.http.GetAsync();
    ASSERT_EQ(c.http.State(), hsDnsLookupDone);
    c.http.Abort();
    expect_aborted(c, "connecting");
  }
  {
    Client c;
    int before = got_request;
    c.http.SetURL(Url(server, "/wait"));
    c.http.GetAsync();
    ASSERT_TRUE(testing::RunUntil([&] { return got_request > before; }));
    EXPECT_EQ(c.http.State(), hsWaitingHeader);
    c.http.Abort();
    expect_aborted(c, "header");
  }
  {
    Client c;
    c.http.SetURL(Url(server, "/body"));
    c.http.GetAsync();
    ASSERT_TRUE(testing::RunUntil([&] { return c.http.RcvdCount() == 1000; }));
    EXPECT_EQ(c.http.State(), hsWaitingBody);
    c.http.Abort();
    expect_aborted(c, "body");
    EXPECT_EQ(c.events.back(), "Done");
    EXPECT_EQ(c.events[c.events.size() - 2], "DocEnd");
  }
  {
    Client c;  // ready: nothing to end, no event
    c.http.Abort();
    testing::RunFor(20);
    EXPECT_EQ(c.done, 0);
  }
  release = true;
}

// Abort from a handler of the response ends the request there: the abort's
// status and reason stay, and no event of the response follows but the end
// of the part it cut short.
TEST(HttpAbort, FromAHandlerOfTheResponse) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\nX-A: 1\r\nX-B: 2\r\n\r\nbody");
  auto page = Answering(requests, "<HTML>\r\n<p>\r\n");  // no header at all
  struct Case {
    const char* name;
    THttpNotifyEvent THttpCli::*event;
    std::vector<std::string> after;  // the events after the abort
    bool headerless = false;
  } cases[] = {
      {"OnHeaderBegin", &THttpCli::OnHeaderBegin, {"HeaderEnd", "Done"}},
      {"OnHeaderData", &THttpCli::OnHeaderData, {"HeaderEnd", "Done"}},
      {"OnHeaderEnd", &THttpCli::OnHeaderEnd, {"Done"}},
      {"OnHeaderEnd of a page", &THttpCli::OnHeaderEnd, {"Done"}, true},
      {"OnDocBegin", &THttpCli::OnDocBegin, {"DocEnd", "Done"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Client c;
    c.http.OnHeaderData = [&c](THttpCli*) { c.events.push_back("HeaderData"); };
    const THttpNotifyEvent record = c.http.*k.event;
    bool aborted = false;
    c.http.*k.event = [&c, record, &aborted](THttpCli* h) {
      record(h);
      if (aborted) return;
      aborted = true;
      c.events.push_back("Abort");
      h->Abort();
    };
    ASSERT_TRUE(c.Fetch(Url(k.headerless ? *page : *server, "/")));
    testing::RunFor(20);  // nothing follows
    const auto abort_at = std::find(c.events.begin(), c.events.end(), "Abort");
    ASSERT_NE(abort_at, c.events.end());
    EXPECT_EQ(std::vector<std::string>(abort_at + 1, c.events.end()), k.after);
    EXPECT_EQ(c.done_error, httperrAborted);
    EXPECT_EQ(c.http.StatusCode(), 404);
    EXPECT_EQ(c.http.ReasonPhrase(), "Connection aborted on request");
  }
}

// The states a request passes through, as OnStateChange reports them, with
// the events that end its parts: each change fires once, in this order.
TEST(HttpState, EachChangeFiresOnceInOrder) {
  testing::TempDir dir;
  TestPki pki(dir.path());
  const TestPki::Leaf leaf = pki.Server("server", {"localhost"});
  ScriptedServer server([&](ScriptedConnection& conn) {
    const std::string request = conn.ReadUntil("\r\n\r\n");
    if (request.starts_with("CONNECT localhost:1 ")) {
      conn.Send("HTTP/1.1 403 Forbidden\r\n\r\n");
    } else if (request.starts_with("CONNECT localhost:2 ")) {
      conn.Send("HTTP/1.1 200 Connection established\r\n");
      conn.ReadToEnd();
    } else if (request.starts_with("CONNECT ")) {
      conn.Send("HTTP/1.1 200 Connection established\r\n\r\n");
      testing::TlsPeer tls(conn.fd(), leaf);
      if (!tls.Accept()) return;
      tls.ReadUntil("\r\n\r\n");
      tls.Write("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
      tls.Shutdown();
    } else if (request.starts_with("GET /old ")) {
      conn.Send("HTTP/1.0 302 Found\r\nLocation: /doc\r\n\r\n");
    } else if (request.starts_with("GET /empty ")) {
      conn.Send("HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n");
    } else if (request.starts_with("GET /doc ")) {
      conn.Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    } else {
      conn.ReadToEnd();  // /wait: the client aborts
    }
  });
  const std::string start = "NotConnected DnsLookup DnsLookupDone Connected WaitingHeader ";
  // Abort once the request was sent (kRequestSent) or the proxy's first line
  // of its answer to CONNECT arrived (kProxyLineRead).
  enum Abort { kNone, kRequestSent, kProxyLineRead };
  struct Case {
    std::string url;
    bool proxy;
    Abort abort;
    std::string log;
    Word error;
  } cases[] = {
      {Url(server, "/doc"), false, kNone, start + "WaitingBody HeaderEnd DocEnd Ready Done", 0},
      {Url(server, "/empty"), false, kNone, start + "HeaderEnd Ready Done", 0},
      {Url(server, "/old"), false, kNone,
       start + "HeaderEnd Location DnsLookup DnsLookupDone Connected WaitingHeader WaitingBody HeaderEnd DocEnd "
               "Ready Done",
       0},
      {Url(server, "/wait"), false, kRequestSent, start + "Aborting Ready Done", httperrAborted},
      {"http://127.0.0.1:" + std::to_string(testing::ClosedPort()) + "/", false, kNone,
       "NotConnected DnsLookup DnsLookupDone Ready Done", 10061},
      {Url(server, "/a\tb"), false, kNone, "NotConnected Ready Done", 10022},
      {"https://localhost/doc", true, kNone,
       start + "Connected WaitingHeader WaitingBody HeaderEnd DocEnd Ready Done", 0},
      {"https://localhost:1/doc", true, kNone, start + "Ready Done", kHttpTunnelRefused},
      {"https://localhost:2/doc", true, kProxyLineRead, start + "Aborting Ready Done", httperrAborted},
  };
  const char* const names[] = {"Ready",         "NotConnected",  "Connected", "DnsLookup",
                               "DnsLookupDone", "WaitingHeader", "WaitingBody", "Aborting"};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.url);
    Client c;
    std::string log;
    auto add = [&log](const std::string& s) { log += (log.empty() ? "" : " ") + s; };
    c.http.SetSslCAFile(pki.CaFile());
    if (k.proxy) c.http.SetProxy("127.0.0.1:" + server.PortText());
    c.http.OnStateChange = [&](THttpCli* h) { add(names[h->State()]); };
    c.http.OnHeaderEnd = [&](THttpCli*) { add("HeaderEnd"); };
    c.http.OnDocEnd = [&](THttpCli*) { add("DocEnd"); };
    c.http.OnLocationChange = [&](THttpCli*) { add("Location"); };
    c.http.OnRequestDone = [&](THttpCli*, THttpRequest, Word) {
      add("Done");
      ++c.done;
    };
    c.http.SetURL(k.url);
    c.http.GetAsync();
    if (k.abort != kNone) {
      ASSERT_TRUE(testing::RunUntil([&] {
        return k.abort == kRequestSent ? log.ends_with("WaitingHeader") : !c.http.RcvdHeader().empty();
      }));
      c.http.Abort();
    }
    ASSERT_TRUE(c.Wait());
    EXPECT_EQ(log, k.log);
    EXPECT_EQ(c.http.RequestDoneError(), k.error) << c.http.ReasonPhrase();
    if (k.abort != kNone) {
      EXPECT_EQ(c.http.ReasonPhrase(), "Connection aborted on request");
    }
  }
}

// Every event of the client may destroy it: the code that fired the event
// must not touch the client again. Each case deletes the client from inside
// one event (at its first firing) of a request against a scripted server.
struct DestroyCase {
  const char* name;
  std::string path;  // "/form" is posted, any other path fetched with GetAsync
  std::function<void(THttpCli&, const std::function<void(THttpCli*)>& kill)> arm;
  bool sync = false;  // started with Get instead
};

std::function<void(THttpCli&, const std::function<void(THttpCli*)>&)> AtState(THttpState state) {
  return [state](THttpCli& h, const std::function<void(THttpCli*)>& kill) {
    h.OnStateChange = [state, kill](THttpCli* c) {
      if (c->State() == state) kill(c);
    };
  };
}

// Arms one event of the client: its handler kills the client.
template <class... Args>
std::function<void(THttpCli&, const std::function<void(THttpCli*)>&)> At(
    std::function<void(THttpCli*, Args...)> THttpCli::*event) {
  return [event](THttpCli& h, const std::function<void(THttpCli*)>& kill) {
    h.*event = [kill](THttpCli* c, Args...) { kill(c); };
  };
}

// Fetches http://<host>/doc through the server as a SOCKS 5 proxy and arms
// OnSocksConnected or OnSocksError.
std::function<void(THttpCli&, const std::function<void(THttpCli*)>&)> ThroughSocks(std::string host,
                                                                                    bool connected) {
  return [host, connected](THttpCli& h, const std::function<void(THttpCli*)>& kill) {
    const std::string url = h.URL();
    const size_t colon = url.rfind(':');
    h.SetSocksServer("127.0.0.1");
    h.SetSocksPort(url.substr(colon + 1, url.find('/', colon) - colon - 1));
    h.SetURL("http://" + host + "/doc");
    if (connected)
      h.OnSocksConnected = [kill](THttpCli* c, Word) { kill(c); };
    else
      h.OnSocksError = [kill](THttpCli* c, int, const std::string&) { kill(c); };
  };
}

class HttpDestroyInEvent : public ::testing::TestWithParam<DestroyCase> {};

TEST_P(HttpDestroyInEvent, TouchesNothingAfterwards) {
  const DestroyCase& k = GetParam();
  ScriptedServer server([](ScriptedConnection& conn) {
    std::string first = conn.Read(1);
    if (first == "\x05") {
      // A SOCKS 5 server: no authentication; it connects to "ok.test"
      // (itself) and refuses any other host.
      conn.Read(2);
      conn.Send(std::string("\x05\x00", 2));
      const std::string ask = conn.Read(5);  // version, command, 0, name type, name length
      const std::string host = conn.Read(ask.size() == 5 ? static_cast<unsigned char>(ask[4]) : 0);
      conn.Read(2);
      const bool ok = host == "ok.test";
      conn.Send(std::string(ok ? "\x05\x00" : "\x05\x05", 2) + std::string("\x00\x01\x7f\x00\x00\x01\x00\x50", 8));
      if (!ok) return;
      first = conn.Read(1);
    }
    const std::string request = first + conn.ReadUntil("\r\n\r\n");
    auto is = [&](const char* start) { return request.starts_with(start); };
    if (is("POST ")) conn.Read(4);
    if (is("GET /old "))
      conn.Send("HTTP/1.0 302 Found\r\nLocation: /doc\r\n\r\n");
    else if (is("GET /old-cut "))
      conn.Send("HTTP/1.0 302 Found\r\nLocation: /doc\r\n");
    else if (is("GET /cut "))
      conn.Send("HTTP/1.0 200 OK\r\nX: y\r\n");
    else if (is("GET /html "))
      conn.Send("<HTML>\r\nhi\r\n");
    else if (is("GET /empty "))
      conn.Send("HTTP/1.0 204 No Content\r\nContent-Length: 0\r\n\r\n");
    else if (is("GET /to-close "))
      conn.Send("HTTP/1.0 200 OK\r\n\r\nbody");
    else if (is("GET /kept ")) {
      conn.Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody");
      conn.ReadToEnd();
    }
    else
      conn.Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\nSet-Cookie: a=b\r\n\r\nbody");
  });
  const int sockets = TCustomWSocket::LivingSocketCount();
  TStringStream post("form");
  TMemoryStream body;
  bool freed = false;
  auto* http = new THttpCli;
  http->SetRcvdStream(&body);
  http->SetSendStream(&post);
  http->SetURL(Url(server, k.path));
  k.arm(*http, testing::DeleteOnce<THttpCli>(freed));
  if (k.sync)
    http->Get();
  else if (k.path == "/form")
    http->PostAsync();
  else
    http->GetAsync();
  ASSERT_TRUE(testing::RunUntil([&] { return freed; }));
  testing::RunFor(20);  // posted messages and socket events of the dead client
  EXPECT_EQ(TCustomWSocket::LivingSocketCount(), sockets);
}

const DestroyCase kDestroyCases[] = {
    {"StateNotConnected", "/doc", AtState(hsNotConnected)},
    {"StateNotConnectedInGet", "/doc", AtState(hsNotConnected), true},
    {"StateDnsLookup", "/doc", AtState(hsDnsLookup)},
    {"StateDnsLookupDone", "/doc", AtState(hsDnsLookupDone)},
    {"StateConnected", "/doc", AtState(hsConnected)},
    {"StateWaitingHeader", "/doc", AtState(hsWaitingHeader)},
    {"StateWaitingBody", "/doc", AtState(hsWaitingBody)},
    {"StateWaitingBodyOfHtml", "/html", AtState(hsWaitingBody)},
    {"StateReady", "/doc", AtState(hsReady)},
    {"StateReadyForAnInvalidUrl", "/a\tb", AtState(hsReady)},
    {"StateAborting", "/doc",
     [](THttpCli& h, const std::function<void(THttpCli*)>& kill) {
       AtState(hsAborting)(h, kill);
       h.OnHeaderBegin = [](THttpCli* c) { c->Abort(); };
     }},
    {"SessionConnected", "/doc", At(&THttpCli::OnSessionConnected)},
    {"RequestHeaderBegin", "/doc", At(&THttpCli::OnRequestHeaderBegin)},
    {"BeforeHeaderSend", "/doc", At(&THttpCli::OnBeforeHeaderSend)},
    {"Command", "/doc", At(&THttpCli::OnCommand)},
    {"RequestHeaderEnd", "/doc", At(&THttpCli::OnRequestHeaderEnd)},
    {"CommandOfATunnel", "/doc",
     [](THttpCli& h, const std::function<void(THttpCli*)>& kill) {
       const std::string server = h.URL().substr(7, h.URL().find('/', 7) - 7);  // the proxy
       h.SetProxy(server);
       h.SetURL("https://localhost/");
       h.OnCommand = [kill](THttpCli* c, std::string& line) {
         if (line.starts_with("CONNECT ")) kill(c);
       };
     }},
    {"SendBegin", "/form", At(&THttpCli::OnSendBegin)},
    {"SendData", "/form", At(&THttpCli::OnSendData)},
    {"SendEnd", "/form", At(&THttpCli::OnSendEnd)},
    {"HeaderBegin", "/doc", At(&THttpCli::OnHeaderBegin)},
    {"HeaderData", "/doc", At(&THttpCli::OnHeaderData)},
    {"Cookie", "/doc", At(&THttpCli::OnCookie)},
    {"HeaderEnd", "/doc", At(&THttpCli::OnHeaderEnd)},
    {"HeaderEndWithoutBody", "/empty", At(&THttpCli::OnHeaderEnd)},
    {"HeaderEndOfARedirection", "/old", At(&THttpCli::OnHeaderEnd)},
    {"HeaderEndCutShort", "/cut", At(&THttpCli::OnHeaderEnd)},
    {"HeaderEndOfHtml", "/html", At(&THttpCli::OnHeaderEnd)},
    {"LocationChange", "/old", At(&THttpCli::OnLocationChange)},
    {"LocationChangeAfterACutHeader", "/old-cut", At(&THttpCli::OnLocationChange)},
    {"DocBegin", "/doc", At(&THttpCli::OnDocBegin)},
    {"DocData", "/doc", At(&THttpCli::OnDocData)},
    {"DocEndAtLength", "/doc", At(&THttpCli::OnDocEnd)},
    {"DocEndAtClose", "/to-close", At(&THttpCli::OnDocEnd)},
    {"RequestDone", "/doc", At(&THttpCli::OnRequestDone)},
    {"RequestDoneOfAKeptConnection", "/kept",
     [](THttpCli& h, const std::function<void(THttpCli*)>& kill) {
       h.SetKeepAlive(true);
       At(&THttpCli::OnRequestDone)(h, kill);
     }},
    {"ChooseProxyOfARedirection", "/old",
     [](THttpCli& h, const std::function<void(THttpCli*)>& kill) {
       h.OnChooseProxy = [kill](THttpCli* c, const std::string& url) {
         if (url.ends_with("/doc")) kill(c);
       };
     }},
    {"SocksConnected", "/doc", ThroughSocks("ok.test", true)},
    {"SocksError", "/doc", ThroughSocks("no.test", false)},
    {"SocketError", "/doc",
     [](THttpCli& h, const std::function<void(THttpCli*)>& kill) {
       h.SetURL("http://127.0.0.1:nosuchservice/");
       h.OnSocketError = kill;
     }},
};

INSTANTIATE_TEST_SUITE_P(Each, HttpDestroyInEvent, ::testing::ValuesIn(kDestroyCases),
                         [](const ::testing::TestParamInfo<DestroyCase>& info) { return info.param.name; });

TEST(HttpLifetime, NextRequestFromRequestDone) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\n\r\nagain");
  Client c;
  int rounds = 0;
  c.http.OnRequestDone = [&](THttpCli* sender, THttpRequest, Word error) {
    EXPECT_EQ(error, 0);
    if (++rounds < 3) sender->GetAsync();
  };
  c.http.SetURL(Url(*server, "/"));
  c.http.GetAsync();
  ASSERT_TRUE(testing::RunUntil([&] { return rounds == 3; }));
  EXPECT_EQ(c.Body(), "againagainagain");
}

// A request started as soon as the state is ready: each request still gets
// its own OnRequestDone with its own kind and error.
TEST(HttpLifetime, NextRequestFromTheReadyState) {
  Requests requests;
  auto server = Answering(requests, "HTTP/1.0 200 OK\r\n\r\nnext");
  Client c;
  std::vector<std::pair<THttpRequest, Word>> done;
  c.http.OnStateChange = [&](THttpCli* sender) {
    if (sender->State() != hsReady || requests.Count() > 0) return;
    sender->SetURL(Url(*server, "/"));
    sender->HeadAsync();
  };
  c.http.OnRequestDone = [&](THttpCli*, THttpRequest type, Word error) { done.emplace_back(type, error); };
  c.http.SetURL("http://127.0.0.1:" + std::to_string(testing::ClosedPort()) + "/");
  c.http.GetAsync();
  ASSERT_TRUE(testing::RunUntil([&] { return done.size() == 2; }));
  EXPECT_EQ(done, (std::vector<std::pair<THttpRequest, Word>>{{hrGet, 10061}, {hrHead, 0}}));
}

// Silence ends a request with the idle timeout's error and reason, in any
// phase: before the status line (404 then) and in the middle of a body (the
// status stays).
TEST(HttpCliTimeoutTest, SilenceEndsTheRequest) {
  struct Case {
    std::string sent;
    int status;
  } cases[] = {
      {"", 404},
      {"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n0123456789", 200},
  };
  for (const Case& c : cases) {
    ScriptedServer server(testing::AnswerAndHold(c.sent));
    Client client;
    client.http.SetIdleTimeout(1);
    EXPECT_EQ(client.http.ConnectTimeout(), 30);
    ASSERT_TRUE(client.Fetch("http://127.0.0.1:" + server.PortText() + "/"));
    EXPECT_EQ(client.done_error, kIdleTimeoutError);
    EXPECT_EQ(client.http.StatusCode(), c.status);
    EXPECT_EQ(client.http.ReasonPhrase(), "no data for 1 second.");
  }
}

// A synchronous request ends at its total deadline however the server
// stalls (silent, or a byte now and then, which never trips the idle limit),
// and sleeps while it waits (both pumps): the process's processor time stays
// under a tenth of the wait.
TEST(HttpSyncRequest, DeadlineEndsAQuietWait) {
  const auto cpu_us = [] {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
  };
  for (const bool trickle : {false, true}) {
    testing::Gate finished;
    ScriptedServer server([&](ScriptedConnection& conn) {
      conn.ReadUntil("\r\n\r\n");
      if (trickle) conn.Send("HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n");
      while (!finished.Wait(250) && (!trickle || conn.Send("x"))) {
      }
    });
    Client client;
    client.http.SetMultiThreaded(trickle);
    client.http.SetIdleTimeout(5);
    client.http.SetTotalTimeout(2);
    client.http.SetURL(Url(server, "/"));
    const long cpu_before = cpu_us();
    const auto start = std::chrono::steady_clock::now();
    try {
      client.http.Get();
    } catch (const EHttpException&) {
    }
    const long waited = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(cpu_us() - cpu_before, waited / 10) << "a wait of " << waited << " us";
    finished.Open();
    EXPECT_EQ(client.http.RequestDoneError(), kHttpDeadlinePassed);
    EXPECT_EQ(client.http.StatusCode(), trickle ? 200 : 404);
    EXPECT_EQ(client.http.ReasonPhrase(), "no complete answer within 2 seconds.");
  }
  EXPECT_EQ(THttpCli::DeadlineText(120), "no complete answer within 2 minutes.");
}

// ---- Persistent connections ------------------------------------------------------

// Two ranged GETs with KeepAlive. The peer answers the n-th request it reads
// (on any connection) with replies[n], then keeps reading, closes, resets, or
// waits until the client is idle and closes or sends a stray line.
TEST(HttpKeepAlive, SecondRangeOnTheKeptConnection) {
  enum Then { kHold, kClose, kReset, kIdleClose, kIdleStray };
  const std::string ok = "HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\n";
  const std::pair<std::string, Then> first{ok + "first", kHold}, second{ok + "secnd", kHold}, cut{"", kClose};
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, Then>> replies;
    int accepts, closes;  // connections the client made, and closed
    bool elsewhere = false;  // the second request goes to another port
  } cases[] = {
      {"length", {first, second}, 1, 0},
      {"chunked",
       {{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nfi\r\n3\r\nrst\r\n0\r\n\r\n", kHold}, second}, 1, 0},
      {"204", {{"HTTP/1.1 204 No Content\r\n\r\n", kHold}, second}, 1, 0},
      {"HTTP/1.0 keep-alive", {{"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 5\r\n\r\nfirst", kHold},
                               second}, 1, 0},
      {"Connection: close",
       {{"HTTP/1.1 200 OK\r\nConnection: x, Close\r\nContent-Length: 5\r\n\r\nfirst", kHold}, second}, 2, 1},
      {"HTTP/1.0", {{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nfirst", kHold}, second}, 2, 1},
      {"no length", {{"HTTP/1.1 200 OK\r\n\r\nfirst", kClose}, second}, 2, 0},
      {"bytes past the length", {{ok + "firstx", kHold}, second}, 2, 1},
      {"another port", {first, second}, 2, 1, true},
      {"closed while idle", {{ok + "first", kIdleClose}, second}, 2, 0},
      {"stray line while idle", {{ok + "first", kIdleStray}, second}, 2, 1},
      {"closed before the answer: retried", {first, cut, second}, 2, 0},
      {"reset before the answer: retried", {first, {"", kReset}, second}, 2, 0},
      {"closed again: fails", {first, cut, cut}, 2, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Requests requests;
    testing::Gate idle;
    std::atomic<int> closes{0};
    auto script = [&](ScriptedConnection& conn) {
      for (std::string request; !(request = conn.ReadUntil("\r\n\r\n")).empty();) {
        requests.Add(request);
        const auto& [bytes, then] = requests.Count() <= k.replies.size() ? k.replies[requests.Count() - 1] : cut;
        conn.Send(bytes);
        if (then >= kIdleClose && idle.Wait() && then == kIdleStray) conn.Send("junk\r\n");
        if (then == kReset) conn.Reset();
        if (then != kHold && then != kIdleStray) return;
      }
      ++closes;
    };
    ScriptedServer server(script), other(script);
    Client c;
    int strays = 0;
    c.http.OnStrayData = [&](THttpCli* h, Word) { strays += h->Connected() ? 100 : 1; };
    c.http.SetKeepAlive(true);
    auto fetch = [&](const ScriptedServer& to, const char* first_byte, const char* last_byte) {
      c.done = 0;
      c.http.SetContentRangeBegin(first_byte);
      c.http.SetContentRangeEnd(last_byte);
      return c.Fetch(Url(to, "/f"));
    };
    ASSERT_TRUE(fetch(server, "0", "4"));
    idle.Open();
    if (k.replies[0].second >= kIdleClose) {
      ASSERT_TRUE(testing::RunUntil([&] { return !c.http.Connected(); }));
      EXPECT_EQ(c.events.back(), "Done");  // no event of the idle close
    }
    ASSERT_TRUE(fetch(k.elsewhere ? other : server, "5", "9"));
    const bool answered = k.replies.back() == second;
    EXPECT_EQ(c.http.StatusCode(), answered ? 206 : 0);
    EXPECT_TRUE(c.Body().ends_with(answered ? "secnd" : "first") && c.http.Connected() == answered) << c.Body();
    EXPECT_EQ(server.Accepted() + other.Accepted(), k.accepts);
    EXPECT_TRUE(testing::RunUntil([&] { return closes.load() == k.closes; }));
    EXPECT_EQ(strays, k.replies[0].second == kIdleStray ? 1 : 0);
    for (size_t i = 0; i < requests.Count(); ++i)
      EXPECT_TRUE(requests.At(i).starts_with("GET /f HTTP/1.1\r\n") &&
                  requests.At(i).find("Connection") == std::string::npos &&
                  requests.At(i).find(i == 0 ? "Range: bytes=0-4\r\n" : "Range: bytes=5-9\r\n") != std::string::npos);
  }
}

}  // namespace
}  // namespace quillon
