#include "platform/socket_notifier.h"

#include <sys/socket.h>

#include <QSocketNotifier>
#include <cerrno>

#include "platform/winsock_errors.h"

namespace quillon::platform {

struct SocketNotifier::Impl {
  MessageTarget* target;
  uint32_t message;
  MessageTarget own;  // readiness is queued here first, then passed on
  int fd = -1;
  uint16_t mask = 0;
  uintptr_t generation = 1;
  bool listening = false;
  bool datagram = false;
  bool connecting = false;
  bool write_armed = false;
  bool read_posted = false;
  bool close_reported = false;
  bool unconnected = false;  // a stream handle that is neither connected nor listening
  uint16_t held_bits = 0;  // delivered while paused: reported again on resume
  int held_error = 0;
  std::unique_ptr<QSocketNotifier> read;
  std::unique_ptr<QSocketNotifier> write;

  Impl(MessageTarget* t, uint32_t m, MessageHandler* self) : target(t), message(m), own(self) {}

  void Post(uint16_t bits, int error) {
    own.Post(1, generation, static_cast<intptr_t>(bits | (static_cast<uint32_t>(error & 0xFFFF) << 16)));
  }

  void UpdateEnabled() {
    if (read) {
      bool want = mask != 0 && !connecting && !read_posted && !close_reported && !unconnected &&
                  (mask & (FD_READ | FD_ACCEPT | FD_CLOSE)) != 0;
      if (read->isEnabled() != want) read->setEnabled(want);
    }
    if (write) {
      bool want = mask != 0 && (connecting || (write_armed && (mask & FD_WRITE)));
      if (write->isEnabled() != want) write->setEnabled(want);
    }
  }

  void OnReadable() {
    read->setEnabled(false);
    if (listening) {
      read_posted = true;
      Post(FD_ACCEPT, 0);
      return;
    }
    if (datagram) {
      read_posted = true;
      Post(FD_READ, 0);
      return;
    }
    char c;
    ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      read_posted = true;
      Post(FD_READ, 0);
    } else if (n == 0) {
      close_reported = true;
      Post(FD_CLOSE, 0);
    } else if (errno == ENOTCONN) {
      unconnected = true;  // nothing to report until it connects
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      UpdateEnabled();  // nothing there after all
    } else {
      close_reported = true;
      Post(FD_CLOSE, WinsockErrorFromErrno(errno));
    }
  }

  void OnWritable() {
    write->setEnabled(false);
    if (connecting) {
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      connecting = false;
      if (err != 0) {
        close_reported = true;  // the attempt is over; nothing else to report
        Post(FD_CONNECT, WinsockErrorFromErrno(err));
        return;
      }
      Post(FD_CONNECT | FD_WRITE, 0);
      UpdateEnabled();
      return;
    }
    write_armed = false;
    Post(FD_WRITE, 0);
  }

  void Watch(int handle) {
    read.reset();
    write.reset();
    ++generation;
    fd = handle;
    connecting = write_armed = read_posted = close_reported = unconnected = false;
    held_bits = 0;
    held_error = 0;
    if (fd < 0) return;
    read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    read->setEnabled(false);
    QObject::connect(read.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
    write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    write->setEnabled(false);
    QObject::connect(write.get(), &QSocketNotifier::activated, [this] { OnWritable(); });
  }
};

SocketNotifier::SocketNotifier(MessageTarget* target, uint32_t message)
    : impl_(std::make_unique<Impl>(target, message, static_cast<MessageHandler*>(this))) {}

SocketNotifier::~SocketNotifier() = default;

int SocketNotifier::Handle() const { return impl_->fd; }

void SocketNotifier::Select(int handle, uint16_t mask) {
  Impl& d = *impl_;
  if (handle != d.fd) d.Watch(handle);
  d.mask = mask;
  if (d.fd < 0) return;
  d.unconnected = false;
  if (mask != 0) {
    int type = 0, accepting = 0;
    socklen_t len = sizeof type;
    ::getsockopt(d.fd, SOL_SOCKET, SO_TYPE, &type, &len);
    len = sizeof accepting;
    ::getsockopt(d.fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len);
    d.datagram = type == SOCK_DGRAM;
    d.listening = accepting != 0;
    if ((mask & FD_WRITE) && !d.connecting && !d.listening) {
      // A connected handle (or a datagram one) can be written to now: say so,
      // as the notification of a newly selected handle does.
      sockaddr_storage peer;
      socklen_t plen = sizeof peer;
      if (d.datagram || ::getpeername(d.fd, reinterpret_cast<sockaddr*>(&peer), &plen) == 0)
        d.write_armed = true;
    }
  }
  if (mask != 0 && d.held_bits != 0) {
    d.Post(d.held_bits, d.held_error);
    d.held_bits = 0;
    d.held_error = 0;
  }
  d.UpdateEnabled();
}

void SocketNotifier::ConnectStarted() {
  impl_->connecting = true;
  impl_->UpdateEnabled();
}

void SocketNotifier::ConnectFailed(int error) {
  impl_->connecting = false;
  impl_->close_reported = true;
  impl_->Post(FD_CONNECT, error);
  impl_->UpdateEnabled();
}

void SocketNotifier::SendWouldBlock() {
  impl_->write_armed = true;
  impl_->UpdateEnabled();
}

void SocketNotifier::Release() { impl_->Watch(-1); }

void SocketNotifier::HandleMessage(uint32_t, uintptr_t wParam, intptr_t lParam) {
  Impl& d = *impl_;
  if (wParam != d.generation || d.fd < 0) return;  // for a handle released since
  uint16_t bits = static_cast<uint16_t>(lParam & 0xFFFF);
  if (d.mask == 0) {
    // Paused: keep what happened for the next Select.
    d.held_bits |= bits;
    if (lParam >> 16) d.held_error = static_cast<int>(lParam >> 16);
    return;
  }
  if (bits & (FD_READ | FD_ACCEPT)) d.read_posted = false;
  d.UpdateEnabled();
  // The receiver may destroy the socket, and this notifier with it.
  d.target->Send(d.message, static_cast<uintptr_t>(d.fd), lParam);
}

}  // namespace quillon::platform
