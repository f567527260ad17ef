// Which way each hop of a redirected download takes: quillon-get against a
// scripted HTTP proxy, scripted SOCKS 5 and 4A servers and a scripted origin,
// each of which answers every hop itself and records how it came. Names
// under .invalid resolve nowhere: a hop to one works only when the proxy
// gets it as a name, never looked up here.
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

// The hops seen by every peer, in order; hop N of a chain is asked for as
// ".../N" and redirects to hop N + 1, the last one serves the file.
class Hops {
 public:
  explicit Hops(std::vector<std::string> chain) : chain_(std::move(chain)) {}

  void Add(const std::string& hop) {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(hop);
  }
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

  // Records "<via> <request line>" (and which proxy credentials came) and
  // answers the request whose head is `head`.
  void Serve(ScriptedConnection& c, const std::string& via, const std::string& head) {
    const std::string line = head.substr(0, head.find("\r\n"));
    const bool proxy_auth = head.find("\r\nProxy-Authorization: ") != std::string::npos;
    Add(via + " " + line.substr(0, line.rfind(' ')) + (proxy_auth ? " +proxy-auth" : ""));
    if (line.starts_with("CONNECT ")) {
      c.Send("HTTP/1.0 403 Forbidden\r\n\r\n");
      return;
    }
    const std::string target = line.substr(0, line.rfind(' '));
    const size_t hop = std::stoul(target.substr(target.rfind('/') + 1));
    if (hop + 1 < chain_.size())
      c.Send("HTTP/1.0 302 Found\r\nLocation: " + chain_[hop + 1] + "\r\nContent-Length: 0\r\n\r\n");
    else
      c.Send("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  }

  // A peer that answers HTTP directly (records a TLS handshake as "TLS").
  ScriptedServer::Script Origin(const std::string& via) {
    return [this, via](ScriptedConnection& c) {
      const std::string first = c.Read(1);
      if (first == "\x16") return Add(via + " TLS");
      Serve(c, via, first + c.ReadUntil("\r\n\r\n"));
    };
  }

  // A SOCKS 5 or 4A server that takes any target and answers as it: the
  // hop is recorded with the target as the server got it.
  ScriptedServer::Script Socks(const std::string& via) {
    return [this, via](ScriptedConnection& c) {
      std::string target;
      const std::string version = c.Read(1);
      if (version == "\x05") {
        c.Read(static_cast<unsigned char>(c.Read(1)[0]));
        c.Send(std::string("\x05\x00", 2));
        const std::string ask = c.Read(4);
        if (ask.size() < 4) return;
        if (ask[3] == 3) {
          target = c.Read(static_cast<unsigned char>(c.Read(1)[0]));
        } else {
          const std::string a = c.Read(ask[3] == 1 ? 4 : 16);
          target = "address of " + std::to_string(a.size()) + " bytes";
        }
        const std::string port = c.Read(2);
        target += ":" + std::to_string(static_cast<unsigned char>(port[0]) * 256 + static_cast<unsigned char>(port[1]));
        c.Send(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
      } else {
        const std::string ask = c.Read(7);  // command, port, address
        c.ReadUntil(std::string(1, '\0'));  // user
        target = c.ReadUntil(std::string(1, '\0'));
        target.pop_back();
        target += ":" + std::to_string(static_cast<unsigned char>(ask[1]) * 256 + static_cast<unsigned char>(ask[2]));
        c.Send(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
      }
      Serve(c, via + " " + target, c.ReadUntil("\r\n\r\n"));
    };
  }

  // An HTTP proxy that answers every request itself.
  ScriptedServer::Script Proxy(const std::string& via) {
    return [this, via](ScriptedConnection& c) { Serve(c, via, c.ReadUntil("\r\n\r\n")); };
  }

 private:
  std::vector<std::string> chain_;
  std::mutex mutex_;
  std::vector<std::string> seen_;
};

class QuillonGetProxyHops : public QuillonGet {};

TEST_F(QuillonGetProxyHops, EachHopChoosesItsProxy) {
  // The peers are made once; each case gives them its chain.
  std::atomic<Hops*> hops = nullptr;
  auto run = [&hops](ScriptedServer::Script (Hops::*kind)(const std::string&), std::string via) {
    return [&hops, kind, via](ScriptedConnection& c) { (hops.load()->*kind)(via)(c); };
  };
  ScriptedServer origin(run(&Hops::Origin, "direct")), proxy(run(&Hops::Proxy, "proxy")),
      socks(run(&Hops::Socks, "socks")), proxy6(run(&Hops::Proxy, "proxy6"), true),
      socks6(run(&Hops::Socks, "socks6"), true);
  const std::string o = "127.0.0.1:" + origin.PortText(), p = "127.0.0.1:" + proxy.PortText(),
                    s = "127.0.0.1:" + socks.PortText();
  struct Case {
    std::string env;  // variables, or options before the URL
    std::vector<std::string> chain;
    std::vector<std::string> seen;
    int status;  // -1: not checked
  } cases[] = {
      // A no_proxy host's redirection to another host goes through the proxy.
      {"http_proxy=" + p + " no_proxy=127.0.0.1",
       {"http://" + o + "/0", "http://b.invalid/1"},
       {"direct GET /0", "proxy GET http://b.invalid/1"},
       0},
      // A redirection to a no_proxy host goes direct, without the proxy's credentials.
      {"http_proxy=http://ann:pw@" + p + " no_proxy=127.0.0.1",
       {"http://a.invalid/0", "http://" + o + "/1"},
       {"proxy GET http://a.invalid/0 +proxy-auth", "direct GET /1"},
       0},
      // http to https takes https_proxy, unset here: direct.
      {"http_proxy=" + p, {"http://a.invalid/0", "https://" + o + "/1"}, {"proxy GET http://a.invalid/0", "direct TLS"}, -1},
      {"https_proxy=" + p + " no_proxy=127.0.0.1",
       {"http://" + o + "/0", "https://b.invalid/1"},
       {"direct GET /0", "proxy CONNECT b.invalid:443"},
       -1},
      // Remote resolution on every hop.
      {"all_proxy=socks5h://" + s + " no_proxy=127.0.0.1",
       {"http://" + o + "/0", "http://b.invalid/1", "http://" + o + "/2"},
       {"direct GET /0", "socks b.invalid:80 GET /1", "direct GET /2"},
       0},
      {"all_proxy=socks4a://" + s,
       {"http://a.invalid/0", "http://b.invalid:8080/1"},
       {"socks a.invalid:80 GET /0", "socks b.invalid:8080 GET /1"},
       0},
      // IPv6 proxy literals.
      {"http_proxy=http://[::1]:" + proxy6.PortText(), {"http://a.invalid/0"}, {"proxy6 GET http://a.invalid/0"}, 0},
      {"ALL_PROXY=socks5h://[::1]:" + socks6.PortText(), {"http://a.invalid/0"}, {"socks6 a.invalid:80 GET /0"}, 0},
      {"http_proxy=" + s + " --socks [::1]:" + socks6.PortText(), {"http://a.invalid/0"}, {"socks6 a.invalid:80 GET /0"}, 0},
      {"--proxy http://[::1]:" + proxy6.PortText(), {"http://a.invalid/0"}, {"proxy6 GET http://a.invalid/0"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env + " " + c.chain.front());
    Hops now(c.chain);
    hops = &now;
    const bool options = c.env.find(" --") != std::string::npos || c.env.starts_with("--");
    const std::string vars = options ? c.env.substr(0, c.env.find("--")) : c.env + " ";
    const std::string args = options ? c.env.substr(c.env.find("--")) + " " : "";
    Outcome out = Run(args + c.chain.front() + " " + Target(), "env -u http_proxy -u https_proxy -u all_proxy " +
                                                                 std::string("-u no_proxy -u HTTPS_PROXY -u ALL_PROXY ") +
                                                                 "-u NO_PROXY " + vars);
    if (c.status >= 0) {
      EXPECT_EQ(out.status, c.status) << out.err;
    }
    EXPECT_EQ(now.Seen(), c.seen) << out.err;
  }
  hops = nullptr;
}

}  // namespace
}  // namespace quillon
