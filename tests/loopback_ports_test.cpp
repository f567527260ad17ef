// The ports tests hand to servers and to refused connections: while held,
// nothing accepts on them and the system gives them to no one else, so no
// other program can take one between a test choosing it and using it; a
// server the test starts on one takes it all the same.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/loopback.h"

namespace quillon {
namespace {

// A TCP socket bound to 127.0.0.1:port, with SO_REUSEADDR as servers set it
// or without; -1 with errno when the bind fails.
int BoundSocket(uint16_t port, bool reuse) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (reuse) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0) return fd;
  const int error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

TEST(LoopbackPorts, HeldPortsAreRefusedAndTakenByNoOtherProgram) {
  testing::ReservedPort reserved;
  for (uint16_t port : {reserved.port(), testing::ClosedPort()}) {
    SCOPED_TRACE(port);
    ASSERT_NE(port, 0);
    EXPECT_EQ(testing::ConnectLoopback(port), -1);
    errno = 0;
    EXPECT_EQ(BoundSocket(port, /*reuse=*/false), -1);
    EXPECT_EQ(errno, EADDRINUSE);
  }
}

TEST(LoopbackPorts, AServerStartedOnAReservedPortTakesIt) {
  testing::ReservedPort reserved;
  int server = BoundSocket(reserved.port(), /*reuse=*/true);
  ASSERT_GE(server, 0) << errno;
  ASSERT_EQ(::listen(server, 1), 0);
  int client = testing::ConnectLoopback(reserved.port());
  EXPECT_GE(client, 0);
  testing::CloseFd(client);
  testing::CloseFd(server);
}

}  // namespace
}  // namespace quillon
