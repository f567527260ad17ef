// A download job that records every status text it shows and answers the
// resume question as told, for the job's tests with scripted and with real
// servers.
#pragma once

#include <string>
#include <vector>

#include "download/download_job.h"
#include "tests/support/event_wait.h"

namespace quillon::testing {

// Answers the resume question and counts it.
struct Answer : TResumeQuestion {
  bool yes = false;
  std::vector<std::string> asked;
  bool AskResume(const std::string& q) override {
    asked.push_back(q);
    return yes;
  }
};

// A job that records every status text it shows.
struct Job {
  Answer answer;
  TDownloadJob job{&answer};
  std::vector<std::string> statuses;
  Job(const std::string& url, const std::string& file) {
    job.SetURL(url);
    job.SetLocalFilename(file);
    job.SetCancelCaption("Cancel");
    job.SetDownloadCaption("Download");
    job.OnChange = [this](TDownloadJob* j) {
      if (statuses.empty() || statuses.back() != j->Status()) statuses.push_back(j->Status());
    };
  }
  bool Seen(const std::string& s) const {
    for (auto& x : statuses)
      if (x == s) return true;
    return false;
  }
  bool RunToEnd() {
    return RunUntil([&] { return !job.DownloadInProgress() && !job.HttpClient() && !job.FtpClient(); }, 20000);
  }
};

}  // namespace quillon::testing
