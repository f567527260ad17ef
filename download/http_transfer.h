// THttpTransfer: one try of a download over HTTP or HTTPS, as TDownloadJob's
// header describes it: one GET by a THttpCli of its own (another one when
// the part turns out to be of another version and the whole file is asked
// for again). It decides whether the part continues (the resume question, a
// retry's part, a mirror's part under the publisher's hash), opens the part
// for the body of a 2xx answer, records the answer's validator with it and
// reports the end of the GET to the job.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "download/transfer.h"
#include "net/http/http_cli.h"

namespace quillon {

class TDownloadJob;

// Why a finished HTTP request failed, in plain words: a socket error in the
// system's words ("connection refused (127.0.0.1 port 8081)", "can't
// resolve host name example.test"), the client's reason for any other error,
// "<code> <reason>" for a status outside 200-299; "" when it did not fail.
std::string HttpFailureText(THttpCli& http, Word error);

// The value of the first header field `name` (lower case) of a response.
std::string HeaderValue(const std::vector<std::string>& header, const std::string& name);
// "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL": FIRST (-1 for "*") and
// TOTAL (-1 for "*"); false when the text is neither form.
bool ParseContentRange(const std::string& value, int64_t& first, int64_t& total);
// Whether a response is of the file version `recorded` names: its ETag
// equals it, or its Last-Modified date when `recorded` is a date.
bool SameVersion(const std::vector<std::string>& header, const std::string& recorded);
// The validator a response names for its file: its ETag, else its
// Last-Modified date.
std::string ValidatorOf(const std::vector<std::string>& header);

class THttpTransfer final : public TTransfer {
 public:
  THttpTransfer(TDownloadJob& job, TTryMode mode) : job_(job), mode_(mode) {}
  ~THttpTransfer() override;

  void Start() override;
  void Abort() override;
  bool Active() const override { return http_ != nullptr; }
  void Hold(bool wait) override;
  bool PartContinuable() const override;
  THttpCli* HttpClient() const override { return http_.get(); }

 private:
  // A new start: offers to continue the part when its record proves it is
  // this URL's file.
  void StartAsking();
  // A retry or a mirror: continues the held part when its record allows it
  // (without asking), else fetches the whole file.
  void Continue();
  // No part is being continued, and the file's length is not known yet.
  void ForgetResume();
  // The part could not be continued: it starts again from nothing, and the
  // whole file is asked for once more.
  void RefetchWholeFile();
  // One GET with a new client: for the rest of the part from resume_from_
  // when resuming_, else for the whole file.
  void Request();
  void HeaderData();
  void DocBegin();
  void DocData();
  void RequestDone(THttpRequest RqType, Word Error);
  // The outcome of a finished GET: a failure text, or "" with `complete` set
  // and the size the whole file must have (-1: unknown).
  std::string Failure(Word Error, bool& complete, int64_t& expected_size);
  void Committed(std::string failure);
  // The end of the download: what is left of an incomplete part.
  void End(bool complete, bool cancelled);

  TDownloadJob& job_;
  const TTryMode mode_;
  std::unique_ptr<THttpCli> http_;
  bool resuming_ = false;     // asked for the rest from resume_from_
  int64_t resume_from_ = 0;
  int64_t total_ = -1;        // the recorded total of the part
  std::string validator_;     // the recorded validator of the part
  bool refetch_ = false;      // the part was dropped: ask for the whole file
  bool part_opened_ = false;  // this GET writes into the part
  std::string failure_;       // a failure found in the response
};

}  // namespace quillon
