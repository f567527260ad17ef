// A peer played from the thread that runs the client, for fuzz targets: it
// listens on a free port of 127.0.0.1 (a socket it keeps open), and between
// passes of that thread's event loop accepts the client's connection, reads
// what the client sent and answers with given bytes. Loopback delivers a
// write at once, so a client reacts within a few passes; steps that wait for
// a reaction that may never come (a client waiting for more of a reply) give
// up after a fixed number of passes, never after a time.
//
// Pump is the one wait with a clock: a client that neither reacts nor ends
// within kHangMs is stuck for good (the peer always ends the connection), and
// Pump aborts the process, which a fuzzer reports as a fault.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "tests/support/loopback.h"

namespace quillon::testing {

class PacedPeer {
 public:
  static constexpr int kHangMs = 10000;
  // Passes of the event loop a step waits for a reaction that may not come.
  static constexpr int kPatience = 16;

  PacedPeer();
  ~PacedPeer() { Close(); }
  PacedPeer(const PacedPeer&) = delete;
  PacedPeer& operator=(const PacedPeer&) = delete;

  std::string PortText() const { return listener_.PortText(); }

  // Runs the event loop until `until` holds; aborts after kHangMs.
  static void Pump(const std::function<bool()>& until);

  // Runs the event loop until a connection arrives (true) or `ended` holds.
  bool Accept(const std::function<bool()>& ended);
  // Runs the event loop until the received bytes hold `delimiter`, the client
  // closed, or kPatience passes brought nothing new; returns what came.
  std::string Read(std::string_view delimiter = {});
  // Writes every byte (the client's thread is this one: the loop runs while
  // the client's receive buffer is full).
  void Send(std::string_view bytes);
  // Ends the connection in order: no more bytes from here; the client's
  // bytes are drained until it closes, so that it never sees a reset.
  void Finish();
  void Close();

 private:
  // Reads what is there without waiting; false when the client closed.
  bool ReadNow();

  LoopbackListener listener_;
  int fd_ = -1;
  bool client_closed_ = false;
  std::string received_;
};

}  // namespace quillon::testing
