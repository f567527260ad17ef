#include "tests/support/scripted_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace quillon::testing {

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

ScriptedConnection::~ScriptedConnection() { Close(); }

std::string ScriptedConnection::Read(size_t n, int timeout_ms) {
  std::string out = pending_.substr(0, std::min(n, pending_.size()));
  pending_.erase(0, out.size());
  if (out.size() < n && fd_ >= 0) out += ReadN(fd_, n - out.size(), timeout_ms);
  return out;
}

std::string ScriptedConnection::ReadUntil(const std::string& delimiter, int timeout_ms) {
  int64_t end = NowMs() + timeout_ms;
  std::string data;
  std::swap(data, pending_);
  while (true) {
    size_t at = data.find(delimiter);
    if (at != std::string::npos) {
      pending_ = data.substr(at + delimiter.size());
      data.resize(at + delimiter.size());
      return data;
    }
    int64_t left = end - NowMs();
    if (left <= 0 || fd_ < 0) return data;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return data;
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;
    data.append(buf, static_cast<size_t>(n));
  }
}

std::string ScriptedConnection::ReadToEnd(int timeout_ms) {
  std::string out;
  std::swap(out, pending_);
  if (fd_ >= 0) out += testing::ReadToEnd(fd_, timeout_ms);
  return out;
}

bool ScriptedConnection::Send(const std::string& data) { return fd_ >= 0 && WriteAll(fd_, data); }

void ScriptedConnection::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void ScriptedConnection::Reset() {
  if (fd_ < 0) return;
  linger l{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

void ScriptedConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

ScriptedServer::ScriptedServer(Script script, bool ipv6)
    : listener_(ipv6), script_(std::move(script)), acceptor_([this] { AcceptLoop(); }) {}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  ::shutdown(listener_.fd(), SHUT_RDWR);
  acceptor_.join();
  {
    // Wake scripts that still wait for a client that is gone.
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& t : workers_) t.join();
}

void ScriptedServer::AcceptLoop() {
  while (!stop_) {
    pollfd p{listener_.fd(), POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    if (stop_) break;
    int fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepted_;
    std::lock_guard<std::mutex> lock(mutex_);
    open_fds_.push_back(fd);
    workers_.emplace_back([this, fd] {
      ScriptedConnection c(fd);
      script_(c);
      std::lock_guard<std::mutex> lock(mutex_);
      std::erase(open_fds_, fd);
    });
  }
}

ScriptedServer::Script AnswerWith(std::string response) {
  return [response = std::move(response)](ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send(response);
  };
}

ScriptedServer::Script AnswerAndHold(std::string response) {
  return [response = std::move(response)](ScriptedConnection& c) {
    c.ReadUntil("\r\n\r\n");
    c.Send(response);
    c.ReadToEnd();
  };
}

}  // namespace quillon::testing
