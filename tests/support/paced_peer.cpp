#include "tests/support/paced_peer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/event_loop.h"

namespace quillon::testing {

void PacedPeer::Pump(const std::function<bool()>& until) {
  const auto start = std::chrono::steady_clock::now();
  while (!until()) {
    platform::ProcessMessages();
    if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(kHangMs)) {
      std::fprintf(stderr, "PacedPeer: the client neither reacted nor ended\n");
      std::abort();
    }
  }
}

// The listener never blocks: Accept looks for a connection between passes.
PacedPeer::PacedPeer() { ::fcntl(listener_.fd(), F_SETFL, ::fcntl(listener_.fd(), F_GETFL) | O_NONBLOCK); }

bool PacedPeer::Accept(const std::function<bool()>& ended) {
  Close();
  Pump([&] {
    fd_ = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    return fd_ >= 0 || ended();
  });
  client_closed_ = false;
  received_.clear();
  return fd_ >= 0;
}

bool PacedPeer::ReadNow() {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      received_.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    client_closed_ = true;
    return false;
  }
}

std::string PacedPeer::Read(std::string_view delimiter) {
  if (fd_ < 0) return {};
  const size_t had = received_.size();
  int quiet = 0;
  Pump([&] {
    if (!ReadNow()) return true;
    if (!delimiter.empty() && received_.find(delimiter) != std::string::npos) return true;
    if (delimiter.empty() && received_.size() > had) return true;
    return ++quiet > kPatience;
  });
  std::string got = std::move(received_);
  received_.clear();
  return got;
}

void PacedPeer::Send(std::string_view bytes) {
  if (fd_ < 0) return;
  Pump([&] {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      bytes = {};  // the client is gone
    }
    return true;
  });
}

void PacedPeer::Finish() {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_WR);
  Pump([&] { return !ReadNow() || client_closed_; });
  Close();
}

void PacedPeer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace quillon::testing
