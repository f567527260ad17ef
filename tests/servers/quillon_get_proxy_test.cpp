// Which way each hop of a redirected download takes: quillon-get against a
// scripted origin and a scripted proxy (HTTP, or SOCKS 5 when the client
// speaks it) that answer every hop themselves and record how it came. Names
// under .invalid resolve nowhere: a hop to one works only when a proxy gets
// it as a name.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/quillon_get_run.h"
#include "tests/support/scripted_server.h"

namespace quillon {
namespace {

using namespace testing;

// Hop N is asked for as ".../N" and redirects to hop N + 1; the last serves
// the file. Each is recorded as "<peer> [<name the SOCKS server got>] <method>
// <target> [+proxy-auth]", a TLS handshake as "<peer> TLS".
struct Hops {
  std::vector<std::string> chain, seen;
  std::mutex mutex;

  void Serve(ScriptedConnection& c, const std::string& peer) {
    std::string first = c.Read(1), name;
    if (first == "\x05") {  // SOCKS 5, without authentication, to a name
      c.Read(static_cast<unsigned char>(c.Read(1)[0]));
      c.Send(std::string("\x05\x00", 2));
      const std::string ask = c.Read(5);
      name = " " + c.Read(static_cast<unsigned char>(ask[4]));
      name += ":" + std::to_string(c.Read(2)[1] & 0xFF);  // ports below 256
      c.Send(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
      first = c.Read(1);
    }
    const std::string head = first == "\x16" ? "TLS" : first + c.ReadUntil("\r\n\r\n");
    const std::string request = head.substr(0, head.find(' ', head.find(' ') + 1));
    const bool auth = head.find("\r\nProxy-Authorization: ") != std::string::npos;
    std::lock_guard<std::mutex> lock(mutex);
    seen.push_back(peer + name + " " + request + (auth ? " +proxy-auth" : ""));
    if (first == "\x16" || request.starts_with("CONNECT")) return;
    const size_t hop = std::stoul(request.substr(request.rfind('/') + 1));
    c.Send(hop + 1 < chain.size() ? "HTTP/1.0 302 Found\r\nLocation: " + chain[hop + 1] + "\r\n\r\n"
                                  : "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  }
};

TEST_F(QuillonGet, EachHopChoosesItsProxy) {
  std::atomic<Hops*> hops = nullptr;
  auto peer = [&hops](const char* name) { return [&hops, name](ScriptedConnection& c) { hops.load()->Serve(c, name); }; };
  ScriptedServer origin(peer("direct")), proxy(peer("proxy")), proxy6(peer("proxy6"), true);
  const std::string o = "http://127.0.0.1:" + origin.PortText(), p = "127.0.0.1:" + proxy.PortText(),
                    p6 = "[::1]:" + proxy6.PortText();
  struct Case {
    std::string env;  // variables, or options
    std::vector<std::string> chain, seen;
  } cases[] = {
      {"http_proxy=" + p + " no_proxy=127.0.0.1", {o + "/0", "http://b.invalid/1"},
       {"direct GET /0", "proxy GET http://b.invalid/1"}},
      {"http_proxy=http://ann:pw@" + p + " no_proxy=127.0.0.1", {"http://a.invalid/0", o + "/1"},
       {"proxy GET http://a.invalid/0 +proxy-auth", "direct GET /1"}},
      {"http_proxy=" + p, {"http://a.invalid/0", "https" + o.substr(4) + "/1"}, {"proxy GET http://a.invalid/0", "direct TLS"}},
      {"https_proxy=" + p + " no_proxy=127.0.0.1", {o + "/0", "https://b.invalid/1"},
       {"direct GET /0", "proxy CONNECT b.invalid:443"}},
      {"all_proxy=socks5h://" + p + " no_proxy=127.0.0.1", {o + "/0", "http://b.invalid/1", o + "/2"},
       {"direct GET /0", "proxy b.invalid:80 GET /1", "direct GET /2"}},
      {"http_proxy=http://" + p6, {"http://a.invalid/0"}, {"proxy6 GET http://a.invalid/0"}},
      {"--proxy http://" + p6, {"http://a.invalid/0"}, {"proxy6 GET http://a.invalid/0"}},
      {"--socks " + p6, {"http://a.invalid/0"}, {"proxy6 a.invalid:80 GET /0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env + " " + c.chain[0]);
    Hops now;
    now.chain = c.chain;
    hops = &now;
    const bool option = c.env.starts_with("--");
    Outcome out = Run((option ? c.env + " " : "") + c.chain[0] + " " + Target(),
                      "env -u http_proxy -u https_proxy -u all_proxy -u no_proxy " + (option ? "" : c.env + " "));
    std::lock_guard<std::mutex> lock(now.mutex);
    EXPECT_EQ(now.seen, c.seen) << out.err;
  }
}

}  // namespace
}  // namespace quillon
