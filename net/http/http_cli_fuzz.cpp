// libFuzzer entry point: the bytes are what a server sends to the HTTP client,
// which fetches through a proxy played by a peer on loopback (so that no name
// a response names is ever looked up). The status line and the header lines
// (content-length, content-range, location, ...) and the body
// all come from the input.
//
// Input: byte 0 chooses the request (bit 0: HEAD, bit 1: a byte range,
// bit 2: https, tunnelled by CONNECT; bits 3-5: the number of pieces each
// answer is sent in; bit 6: KeepAlive, and a second GET when the connection
// was kept); the rest is the answer to each request in turn, separated by
// "\n#next\n" (a redirection opens a new connection).
//
// Checked: each request ends once, in hsReady; the client never waits when the
// server has ended; the body delivered is within what was sent and the
// content-length, and is a run of bytes of one answer as sent (or, without a
// length, its bytes in order: a chunked body decoded); header lines
// are within their bounds.
#include <QCoreApplication>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/memory_stream.h"
#include "net/http/http_cli.h"
#include "platform/event_loop.h"
#include "tests/support/paced_peer.h"
#include "fuzz_check.h"

namespace {

using namespace quillon;
using quillon::testing::PacedPeer;

using fuzz::Check;

std::vector<std::string_view> Split(std::string_view rest, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = rest.find(separator);
    parts.push_back(rest.substr(0, at));
    if (at == std::string_view::npos) return parts;
    rest.remove_prefix(at + separator.size());
  }
}

// Sends the answer in `pieces` parts, letting the client read each.
void Answer(PacedPeer& peer, std::string_view answer, int pieces) {
  const size_t size = answer.size() / static_cast<size_t>(pieces) + 1;
  while (!answer.empty()) {
    const size_t n = std::min(size, answer.size());
    peer.Send(answer.substr(0, n));
    answer.remove_prefix(n);
    peer.Read();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t how = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<std::string_view> answers = Split(input, "\n#next\n");
  const int pieces = 1 + ((how >> 3) & 7);

  static PacedPeer peer;
  THttpCli http;
  TMemoryStream body;
  int done = 0, requests = 1;
  int64_t delivered = 0;
  http.SetURL((how & 4) ? "https://origin.test/dir/file.bin" : "http://origin.test/dir/file.bin");
  http.SetProxy("127.0.0.1");
  http.SetProxyPort(peer.PortText());
  if (how & 2) http.SetContentRangeBegin("100");
  http.SetRcvdStream(&body);
  http.SetKeepAlive((how & 64) != 0);
  http.OnRequestDone = [&](THttpCli*, THttpRequest, Word) { ++done; };
  http.OnHeaderBegin = [&](THttpCli*) { delivered = 0; };
  http.OnDocData = [&](THttpCli*, const void*, int len) {
    Check(len > 0, "an empty piece of body");
    delivered += len;
  };
  if (how & 1)
    http.HeadAsync();
  else
    http.GetAsync();

  size_t next = 0;
  while (peer.Accept([&] { return done >= requests; })) {
    for (int round = 0; round < 2; ++round) {
      peer.Read("\r\n\r\n");
      if (next < answers.size()) Answer(peer, answers[next++], pieces);
      for (int i = 0; http.KeepAlive() && i < PacedPeer::kPatience && done < requests; ++i) platform::ProcessMessages();
      if (requests > 1 || done < 1 || !http.Connected()) break;
      ++requests;  // the kept connection takes the next request
      body.Clear();
      delivered = 0;
      http.GetAsync();
    }
    peer.Finish();
  }
  PacedPeer::Pump([&] { return done >= requests; });
  for (int i = 0; i < PacedPeer::kPatience; ++i) platform::ProcessMessages();

  Check(done == requests, "a request ended more than once");
  Check(http.State() == hsReady, "the request ended outside hsReady");
  Check(http.StatusCode() >= 0 && http.StatusCode() <= 999, "a status code of more than 3 digits");
  Check(http.RcvdCount() >= 0 && http.RcvdCount() <= static_cast<int64_t>(input.size()),
        "more body than the server sent");
  Check(http.ContentLength() < 0 || http.RcvdCount() <= http.ContentLength(), "body past the content-length");
  Check(delivered == http.RcvdCount(), "OnDocData and RcvdCount disagree");
  const std::string_view written(body.Memory(), static_cast<size_t>(body.Size()));
  Check(written.size() == static_cast<size_t>(http.RcvdCount()), "RcvdStream and RcvdCount disagree");
  bool sent = written.empty();
  for (std::string_view answer : answers) {
    size_t at = 0;  // just past the last byte of `written` found in order
    const bool in_order = std::all_of(written.begin(), written.end(), [&](char c) {
      at = answer.find(c, at);
      return at++ != std::string_view::npos;
    });
    sent = sent || answer.find(written) != std::string_view::npos || (http.ContentLength() < 0 && in_order);
  }
  Check(sent, "a body that no answer sent");
  Check(http.RcvdHeader().size() <= static_cast<size_t>(kHttpMaxHeaderLines) + 1, "too many header lines kept");
  for (const std::string& line : http.RcvdHeader())
    Check(line.size() < static_cast<size_t>(kHttpLineRoom), "a header line over the line room");
  return 0;
}
