// Test harness for the FTP client tests: a TFtpClient whose events are
// recorded, and a bounded wait for the next request report.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "net/ftp/ftp_client.h"
#include "tests/support/event_wait.h"

namespace quillon {
// Requests and states print as their numbers.
inline void PrintTo(TFtpRequest Rq, std::ostream* Os) { *Os << static_cast<int>(Rq); }
inline void PrintTo(TFtpState State, std::ostream* Os) { *Os << static_cast<int>(State); }
}  // namespace quillon

namespace quillon::testing {

struct FtpHarness {
  TFtpClient ftp;
  std::vector<std::pair<TFtpRequest, Word>> done;
  std::vector<std::string> display, lines, errors, commands;
  std::vector<int64_t> progress;

  FtpHarness() {
    ftp.OnRequestDone = [this](TCustomFtpCli*, TFtpRequest rq, Word error) { done.emplace_back(rq, error); };
    ftp.OnDisplay = [this](TCustomFtpCli*, std::string& msg) { display.push_back(msg); };
    ftp.OnDisplayFile = [this](TCustomFtpCli*, std::string& msg) { lines.push_back(msg); };
    ftp.OnCommand = [this](TCustomFtpCli*, std::string& cmd) { commands.push_back(cmd); };
    ftp.OnProgress = [this](TCustomFtpCli*, int64_t count, bool&) { progress.push_back(count); };
    ftp.SetHostName("127.0.0.1");
  }

  // Runs op and waits for the next report; returns its error, or -1 when no
  // report came in time. The request value is checked against rq.
  int Run(const std::function<void()>& op, TFtpRequest rq, int timeout_ms = 15000) {
    size_t before = done.size();
    op();
    if (!RunUntil([&] { return done.size() > before; }, timeout_ms)) return -1;
    EXPECT_EQ(done.back().first, rq);
    return done.back().second;
  }

  bool Displayed(const std::string& text) const {
    for (const std::string& d : display)
      if (d.find(text) != std::string::npos) return true;
    return false;
  }
};

}  // namespace quillon::testing
