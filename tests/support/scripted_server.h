// A scripted TCP peer on 127.0.0.1 for protocol tests: it accepts
// connections on a free port on a thread of its own and runs a script (a
// function) for each, which reads and writes exactly the bytes a test case
// needs: split replies, wrong codes, early closes. Every read waits a bounded
// time, so a client that never sends fails the test instead of hanging it.
//
//   ScriptedServer server([](ScriptedConnection& c) {
//     std::string request = c.ReadUntil("\r\n\r\n");
//     c.Send("HTTP/1.0 200 OK\r\n\r\nhello");
//   });                              // the connection closes when the script ends
//   socket.SetPort(server.PortText());
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"

namespace quillon::testing {

class ScriptedConnection {
 public:
  explicit ScriptedConnection(int fd) : fd_(fd) {}
  ~ScriptedConnection();
  ScriptedConnection(const ScriptedConnection&) = delete;
  ScriptedConnection& operator=(const ScriptedConnection&) = delete;

  // Reads exactly n bytes (fewer when the peer closed or time ran out).
  std::string Read(size_t n, int timeout_ms = 10000);
  // Reads up to and including delimiter (what came when time ran out).
  std::string ReadUntil(const std::string& delimiter, int timeout_ms = 10000);
  // Reads until the peer closes.
  std::string ReadToEnd(int timeout_ms = 10000);
  bool Send(const std::string& data);
  // Ends sending (the peer sees the end of the data), keeps reading open.
  void ShutdownWrite();
  // Resets the connection instead of closing it in order.
  void Reset();
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_;
  std::string pending_;  // read past a delimiter, returned by the next read
};

class ScriptedServer {
 public:
  using Script = std::function<void(ScriptedConnection&)>;
  // Runs script for every accepted connection, each on its own thread; on
  // ::1 instead of 127.0.0.1 with ipv6.
  explicit ScriptedServer(Script script, bool ipv6 = false);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t port() const { return listener_.port(); }
  std::string PortText() const { return listener_.PortText(); }
  // Connections accepted so far.
  int Accepted() const { return accepted_.load(); }

 private:
  void AcceptLoop();

  LoopbackListener listener_;
  Script script_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::vector<std::thread> workers_;
  std::vector<int> open_fds_;
  std::thread acceptor_;
};

// The script of the simplest HTTP peer: reads a request's head and sends
// response, then closes.
ScriptedServer::Script AnswerWith(std::string response);
// The same, but the connection stays open until the client closes it.
ScriptedServer::Script AnswerAndHold(std::string response);

}  // namespace quillon::testing
