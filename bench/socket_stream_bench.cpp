// Streams 1 GiB over loopback from a plain sender thread into (a) a plain
// blocking recv loop and (b) a TWSocket whose OnDataAvailable reads with
// Receive and discards, and reports how much longer (b) takes than (a).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "net/socket/sync_wsocket.h"

namespace {

constexpr int64_t kTotal = int64_t{1} << 30;  // 1 GiB
constexpr size_t kChunk = 64 * 1024;

// A listener on 127.0.0.1; the sender thread accepts one connection and
// writes kTotal bytes into it, then closes.
struct Sender {
  int listen_fd = -1;
  uint16_t port = 0;
  std::thread thread;

  Sender() {
    listen_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    ::listen(listen_fd, 1);
    socklen_t len = sizeof sin;
    ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
    thread = std::thread([this] {
      int fd = ::accept(listen_fd, nullptr, nullptr);
      std::vector<char> chunk(kChunk, 'x');
      int64_t left = kTotal;
      while (left > 0) {
        ssize_t n = ::send(fd, chunk.data(), static_cast<size_t>(std::min<int64_t>(left, kChunk)), MSG_NOSIGNAL);
        if (n <= 0) break;
        left -= n;
      }
      ::close(fd);
    });
  }
  ~Sender() {
    thread.join();
    ::close(listen_fd);
  }
};

double plain_seconds = 0, socket_seconds = 0;

void BM_PlainRecvLoop(benchmark::State& state) {
  for (auto _ : state) {
    Sender sender;
    auto start = std::chrono::steady_clock::now();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(sender.port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    std::vector<char> buf(kChunk);
    int64_t got = 0;
    for (;;) {
      ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      got += n;
    }
    ::close(fd);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(s);
    plain_seconds += s;
    if (got != kTotal) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

void BM_TWSocketReceive(benchmark::State& state) {
  for (auto _ : state) {
    Sender sender;
    auto start = std::chrono::steady_clock::now();
    quillon::TWSocket s;
    std::vector<char> buf(kChunk);
    int64_t got = 0;
    QEventLoop loop;
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(sender.port));
    s.OnDataAvailable = [&](quillon::TCustomWSocket* sender_socket, quillon::Word) {
      int n = sender_socket->Receive(buf.data(), static_cast<int>(buf.size()));
      if (n > 0) got += n;
    };
    s.OnSessionClosed = [&](quillon::TCustomWSocket*, quillon::Word) { loop.quit(); };
    s.Connect();
    loop.exec();
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(secs);
    socket_seconds += secs;
    if (got != kTotal) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(state.iterations() * kTotal);
}

BENCHMARK(BM_PlainRecvLoop)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TWSocketReceive)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // The application object took the user's locale; the report is read by
  // scripts, so its numbers keep the C locale's decimal point.
  std::setlocale(LC_NUMERIC, "C");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (plain_seconds > 0 && socket_seconds > 0)
    std::printf("TWSocket / plain recv loop time ratio: %.3f (target <= 1.2)\n", socket_seconds / plain_seconds);
  return 0;
}
