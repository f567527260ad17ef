// Close and Abort called from inside every event handler of every layer of the
// socket chain (core, SOCKS, TLS, line mode), also while the socket is
// already closing: after a peer's reset, from OnSessionClosed, and from the
// close that a failed send starts. Each connection ends with exactly one
// OnSessionClosed, no recursion and nothing touched after it was freed.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/sync_wsocket.h"
#include "tests/support/event_wait.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_pki.h"

namespace quillon {
namespace {

using namespace testing;

enum class Layer { kCore, kSocks, kTls, kLine };

const char* LayerName(Layer l) {
  switch (l) {
    case Layer::kCore: return "core";
    case Layer::kSocks: return "SOCKS";
    case Layer::kTls: return "TLS";
    case Layer::kLine: return "line mode";
  }
  return "";
}

// The peer: the SOCKS or TLS part of its layer, then "hello\r\nrest", then it
// reads the client's "ping\r\n" and resets the connection. (The client answers
// the hello: a reset may drop what the client has not read yet.)
void ServeThenReset(ScriptedConnection& c, Layer layer, const TestPki::Leaf& leaf, std::atomic<bool>& reset) {
  std::unique_ptr<testing::TlsPeer> tls;
  if (layer == Layer::kSocks) {
    c.Read(3);
    c.Send(std::string("\x05\x00", 2));
    std::string head = c.Read(5);
    if (head.size() < 5) return;
    c.Read(static_cast<unsigned char>(head[4]) + 2);
    c.Send(std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
  } else if (layer == Layer::kTls) {
    tls = std::make_unique<testing::TlsPeer>(c.fd(), leaf);
    if (!tls->Accept()) return;
  }
  if (tls) {
    tls->Write("hello\r\nrest");
    tls->ReadUntil("ping\r\n");
  } else {
    c.Send("hello\r\nrest");
    c.ReadUntil("ping\r\n");
  }
  c.Reset();
  reset = true;
}

// The socket of a layer: the whole chain, with only that layer's part on.
void Configure(TWSocket& s, Layer layer, uint16_t port, const std::string& ca_file) {
  s.SetPort(std::to_string(port));
  if (layer == Layer::kSocks) {
    s.SetAddr("example.test");
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(port));
    s.SetSocksLevel("5");
  } else {
    s.SetAddr("127.0.0.1");
  }
  if (layer == Layer::kTls) {
    s.SetSslEnable(true);
    s.SetSslServerName("localhost");
    s.SetSslCAFile(ca_file);
  }
  if (layer == Layer::kLine) {
    s.SetLineMode(true);
    s.SetLineLimit(3);  // "rest" has no line end and is over the limit
  }
}

// The events a handler can be placed in; each arms the handler on the socket.
struct Event {
  const char* name;
  std::function<void(TWSocket&, std::function<void()>)> arm;
};

const std::vector<Event>& Events() {
  static const std::vector<Event> events = {
      {"OnChangeState(wsConnected)",
       [](TWSocket& s, std::function<void()> act) {
         s.OnChangeState = [act](TCustomWSocket*, TSocketState, TSocketState n) {
           if (n == wsConnected) act();
         };
       }},
      {"OnChangeState(wsClosed)",
       [](TWSocket& s, std::function<void()> act) {
         s.OnChangeState = [act](TCustomWSocket*, TSocketState, TSocketState n) {
           if (n == wsClosed) act();
         };
       }},
      {"OnSocksConnected", [](TWSocket& s, std::function<void()> act) {
         s.OnSocksConnected = [act](TCustomWSocket*, Word) { act(); };
       }},
      {"OnSessionConnected", [](TWSocket& s, std::function<void()> act) {
         s.OnSessionConnected = [act](TCustomWSocket*, Word) { act(); };
       }},
      {"OnSendData", [](TWSocket& s, std::function<void()> act) {
         s.OnSendData = [act](TCustomWSocket*, int) { act(); };
       }},
      {"OnDataSent", [](TWSocket& s, std::function<void()> act) {
         s.OnDataSent = [act](TCustomWSocket*, Word) { act(); };
       }},
      {"OnDataAvailable", [](TWSocket& s, std::function<void()> act) {
         auto own = s.OnDataAvailable;
         s.OnDataAvailable = [own, act](TCustomWSocket* x, Word e) {
           own(x, e);
           act();
         };
       }},
      {"OnLineLimitExceeded", [](TWSocket& s, std::function<void()> act) {
         s.OnLineLimitExceeded = [act](TCustomWSocket*, int, bool&) { act(); };
       }},
      {"OnSessionClosed after the peer's reset", [](TWSocket& s, std::function<void()> act) {
         auto own = s.OnSessionClosed;
         s.OnSessionClosed = [own, act](TCustomWSocket* x, Word e) {
           own(x, e);
           act();
         };
       }},
  };
  return events;
}

bool Applies(Layer layer, const std::string& event) {
  if (event == "OnSocksConnected") return layer == Layer::kSocks;
  if (event == "OnLineLimitExceeded") return layer == Layer::kLine;
  return true;
}

class CloseReentryTest : public LocalhostPkiTest {};

TEST_F(CloseReentryTest, CloseAndAbortFromEveryHandlerOfEveryLayer) {
  struct Action {
    const char* name;
    std::function<void(TWSocket&)> run;
  };
  const Action actions[] = {
      {"Close", [](TWSocket& s) { s.Close(); }},
      {"Abort", [](TWSocket& s) { s.Abort(); }},
      {"Close, then Close and Abort again", [](TWSocket& s) {
         s.Close();
         s.Close();
         s.Abort();
       }},
  };
  for (Layer layer : {Layer::kCore, Layer::kSocks, Layer::kTls, Layer::kLine}) {
    for (const Event& event : Events()) {
      if (!Applies(layer, event.name)) continue;
      for (const Action& action : actions) {
        SCOPED_TRACE(std::string(LayerName(layer)) + ", " + event.name + ", " + action.name);
        std::atomic<bool> reset{false};
        const TestPki::Leaf leaf = leaf_;
        ScriptedServer peer([layer, leaf, &reset](ScriptedConnection& c) { ServeThenReset(c, layer, leaf, reset); });
        TWSocket s;
        int closed = 0;
        bool acted = false;
        s.OnDataAvailable = [](TCustomWSocket* x, Word) {
          if (x->ReceiveString().find("hello") != std::string::npos) x->SendString("ping\r\n");
        };
        s.OnSessionClosed = [&closed](TCustomWSocket*, Word) { ++closed; };
        event.arm(s, [&] {
          // Every time the event fires: a re-entrant call must be harmless too.
          acted = true;
          action.run(s);
        });
        Configure(s, layer, peer.port(), pki_.CaFile());
        s.Connect();
        ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed && closed > 0; }));
        EXPECT_TRUE(acted);
        EXPECT_EQ(closed, 1);
      }
    }
  }
}

// A send that finds the connection reset closes the socket and reports the
// close; a handler of that close calls Close and Abort again.
TEST_F(CloseReentryTest, CloseFromTheCloseOfAFailedSend) {
  for (Layer layer : {Layer::kCore, Layer::kSocks, Layer::kTls, Layer::kLine}) {
    SCOPED_TRACE(LayerName(layer));
    std::atomic<bool> reset{false};
    const TestPki::Leaf leaf = leaf_;
    ScriptedServer peer([layer, leaf, &reset](ScriptedConnection& c) { ServeThenReset(c, layer, leaf, reset); });
    TWSocket s;
    int closed = 0;
    Word close_error = 0;
    bool hello = false;
    s.OnDataAvailable = [&](TCustomWSocket* x, Word) {
      if (x->ReceiveString().find("hello") == std::string::npos) return;
      hello = true;
      x->SendString("ping\r\n");
      x->Pause();  // the reset is found by the next send, not by the event loop
    };
    s.OnSessionClosed = [&](TCustomWSocket* x, Word e) {
      ++closed;
      close_error = e;
      x->Close();
      x->Abort();
      x->Close();
    };
    Configure(s, layer, peer.port(), pki_.CaFile());
    s.Connect();
    ASSERT_TRUE(RunUntil([&] { return hello && reset; }));
    // Wait until the reset reached this end of the connection.
    ASSERT_TRUE(RunUntil([&] {
      pollfd p{s.HSocket(), 0, 0};
      return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0;
    }));
    s.SendString("more\r\n");
    ASSERT_TRUE(RunUntil([&] { return s.State() == wsClosed && closed > 0; }));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(close_error, 10054);
  }
}

}  // namespace
}  // namespace quillon
