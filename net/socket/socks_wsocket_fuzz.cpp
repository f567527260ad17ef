// libFuzzer entry point: the bytes are a SOCKS proxy's replies, played by a
// peer on loopback to a socket connecting through it at level 4, 4A or 5.
//
// Input: byte 0 chooses the level (value % 3: 5, 4, 4A), user-code
// authentication (bit 2) and the target (bits 3-4: a name, an IPv6 or an
// IPv4 address; level 4 always names an address, which is never looked up);
// bytes 1 and 2 are the lengths of the first two replies, the rest is the
// third. Each reply is sent after the socket's next request (or when none
// comes), then the proxy ends the connection.
//
// Checked: the socket reports its connection at most once and its close
// exactly once, a failure with a SOCKS error and a text, and data only as
// the proxy sent it.
#include <QCoreApplication>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/event_loop.h"
#include "tests/support/paced_peer.h"
#include "tests/support/socks_client.h"
#include "fuzz_check.h"

namespace {

using namespace quillon;
using quillon::testing::PacedPeer;
using quillon::testing::SocksClient;

using fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t how = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);
  std::string_view replies[3];
  replies[0] = rest.substr(0, std::min<size_t>(data[1], rest.size()));
  rest.remove_prefix(replies[0].size());
  replies[1] = rest.substr(0, std::min<size_t>(data[2], rest.size()));
  rest.remove_prefix(replies[1].size());
  replies[2] = rest;

  static const char* const kLevels[] = {"5", "4", "4A"};
  static const char* const kTargets[] = {"target.test", "::1", "127.0.0.1"};
  const std::string level = kLevels[how % 3];
  const std::string target = level == "4" ? "127.0.0.1" : kTargets[((how >> 3) & 3) % 3];

  static PacedPeer peer;
  SocksClient client;
  if (how & 4) {
    client.s.SetSocksAuthentication(socksAuthenticateUsercode);
    client.s.SetSocksUsercode("user");
    client.s.SetSocksPassword("secret");
  }
  int closes = 0, connects = 0;
  client.s.OnSessionClosed = [&](TCustomWSocket*, Word) {
    client.closed = true;
    ++closes;
  };
  client.s.OnSessionConnected = [&](TCustomWSocket*, Word) { ++connects; };
  client.Connect(level, static_cast<uint16_t>(std::stoi(peer.PortText())), target, 80);

  if (peer.Accept([&] { return client.closed; })) {
    for (std::string_view reply : replies) {
      peer.Read();
      peer.Send(reply);
    }
    peer.Finish();
  }
  PacedPeer::Pump([&] { return client.closed; });
  for (int i = 0; i < PacedPeer::kPatience; ++i) platform::ProcessMessages();

  Check(closes == 1, "the close reported other than once");
  Check(connects <= 1, "the connection reported more than once");
  Check(client.socks_error == 0 || !client.socks_msg.empty(), "a SOCKS error without a text");
  const std::string_view sent(reinterpret_cast<const char*>(data) + 3, size - 3);
  Check(sent.find(client.data) != std::string_view::npos, "data that the proxy did not send");
  return 0;
}
