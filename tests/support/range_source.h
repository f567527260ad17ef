// For tests: a scripted HTTP source of one file that answers "Range:
// bytes=A-B" with a 206 (on persistent connections when asked for them),
// and misbehaves as told: damaged answers, 429s, no ranges, a file that
// changes under If-Range, answers held half-way.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scripted_server.h"

namespace quillon::testing {

struct RangeSource {
  std::string content;
  bool damages = false;     // a byte of every answer is flipped
  int busy_first = 0;       // the first N requests get "429 Too Many Requests"
  bool ranges = true;       // false: always the whole file with a 200
  int changes_after = -1;   // from this many requests on, the file is `changed`
  std::string changed;
  // While set, each answer stops after half its body until it is cleared.
  std::atomic<bool> hold{false};

  std::mutex mutex;
  int requests = 0;
  std::vector<int64_t> firsts;  // the first byte of each range served
  int damaged_served = 0;
  int authorized = 0;           // requests that carried credentials

  ScriptedServer server{[this](ScriptedConnection& c) { Serve(c); }};

  std::string Url() const { return "http://127.0.0.1:" + server.PortText() + "/f.bin"; }

  // The counts above, read while the server may still serve.
  int Requests() {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
  }
  int Authorized() {
    std::lock_guard<std::mutex> lock(mutex);
    return authorized;
  }
  int DamagedServed() {
    std::lock_guard<std::mutex> lock(mutex);
    return damaged_served;
  }

  std::vector<int64_t> Firsts() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<int64_t> sorted = firsts;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

  static std::string Field(const std::string& head, const std::string& name) {
    const size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    const size_t from = at + name.size() + 4;
    return head.substr(from, head.find("\r\n", from) - from);
  }

  void Serve(ScriptedConnection& c) {
    for (;;) {
      const std::string head = c.ReadUntil("\r\n\r\n", 5000);
      if (head.find("\r\n\r\n") == std::string::npos) return;
      std::unique_lock<std::mutex> lock(mutex);
      const int n = ++requests;
      if (head.find("\r\nAuthorization: ") != std::string::npos) ++authorized;
      const bool changed_now = changes_after >= 0 && n > changes_after;
      const std::string& file = changed_now ? changed : content;
      const std::string etag = changed_now ? "\"v2\"" : "\"v1\"";
      const std::string range = Field(head, "Range"), if_range = Field(head, "If-Range");
      std::string answer;
      if (n <= busy_first) {
        answer = "HTTP/1.1 429 Too Many Requests\r\nRetry-After: 0\r\nContent-Length: 0\r\n\r\n";
      } else if (!ranges || !range.starts_with("bytes=") || (!if_range.empty() && if_range != etag)) {
        answer = "HTTP/1.1 200 OK\r\nETag: " + etag + "\r\nContent-Length: " + std::to_string(file.size()) +
                 "\r\n\r\n" + file;
      } else {
        const int64_t first = std::stoll(range.substr(6));
        const int64_t last = std::min<int64_t>(std::stoll(range.substr(range.find('-') + 1)), file.size() - 1);
        std::string body = file.substr(first, last - first + 1);
        if (damages && body.size() > 10) {
          body[10] ^= 1;
          ++damaged_served;
        }
        firsts.push_back(first);
        answer = "HTTP/1.1 206 Partial Content\r\nETag: " + etag + "\r\nContent-Range: bytes " +
                 std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(file.size()) +
                 "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
      }
      lock.unlock();
      const size_t body = answer.find("\r\n\r\n") + 4;
      const size_t half = body + (answer.size() - body) / 2;
      if (!c.Send(answer.substr(0, half))) return;
      for (int i = 0; i < 2000 && hold; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (!c.Send(answer.substr(half))) return;
      if (head.find(" HTTP/1.1\r\n") == std::string::npos || head.find("Connection: close") != std::string::npos)
        return;
    }
  }
};

}  // namespace quillon::testing
