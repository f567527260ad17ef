// A download job with one-second time limits that counts the resume
// questions it asks, for the job's outcome tests with scripted and with real
// servers.
#pragma once

#include <cstddef>
#include <string>

#include "download/download_job.h"
#include "tests/support/event_wait.h"
#include "tests/support/pattern.h"

namespace quillon::testing {

// Answers the resume question and counts how often it was asked.
struct CountingAnswer : TResumeQuestion {
  bool yes = false;
  int asked = 0;
  bool AskResume(const std::string&) override {
    ++asked;
    return yes;
  }
};

// A job with one-second time limits.
struct TimedJob {
  CountingAnswer answer;
  TDownloadJob job{&answer};
  TimedJob(const std::string& url, const std::string& file) {
    job.SetURL(url);
    job.SetLocalFilename(file);
    job.SetCancelCaption("Cancel");
    job.SetConnectTimeout(1);
    job.SetIdleTimeout(1);
  }
  bool Run() {
    job.StartDownload();
    return RunUntil([&] { return !job.DownloadInProgress() && !job.HttpClient() && !job.FtpClient(); }, 20000);
  }
};

}  // namespace quillon::testing
