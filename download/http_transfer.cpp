#include "download/http_transfer.h"

#include <algorithm>
#include <ctime>
#include <string_view>
#include <vector>

#include "base/strings.h"
#include "base/version.h"
#include "download/download_failure.h"
#include "download/download_job.h"
#include "download/partial_file.h"
#include "download/queued_file_stream.h"
#include "download/retry_after.h"
#include "download/retry_policy.h"
#include "net/http/url.h"
#include "net/socket/ssl_wsocket.h"
#include "platform/winsock_errors.h"

namespace quillon {

namespace {

// A decimal number that fills the text; -1 otherwise.
int64_t ParseCount(std::string_view text) { return ParseDecimalDigits(text).value_or(-1); }

// The failure of a 206 that does not hold the bytes that were asked for.
std::string NotTheAskedPart(THttpCli& http) {
  return "Download failed: " + std::to_string(http.StatusCode()) + " " + http.ReasonPhrase() +
         " (not the part of the file that was asked for)";
}

// The host name an HTTP client looked up: its proxy's, else its URL's (or
// the redirection's).
std::string HttpLookupHost(THttpCli& http) {
  std::string url = !http.Proxy().empty() ? http.Proxy() : !http.Location().empty() ? http.Location() : http.URL();
  if (url.find("://") == std::string::npos) url = "http://" + url;
  std::string proto, user, pass, host, port, path;
  ParseURL(url, proto, user, pass, host, port, path);
  return host;
}

}  // namespace

// The value of the first header field `name` (lower case) of a response.
std::string HeaderValue(const std::vector<std::string>& header, const std::string& name) {
  for (const std::string& line : header) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || LowerCase(line.substr(0, colon)) != name) continue;
    return std::string(TrimWS(std::string_view(line).substr(colon + 1)));
  }
  return "";
}

// "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL": FIRST (-1 for "*") and
// TOTAL (-1 for "*"); false when the text is neither form.
bool ParseContentRange(const std::string& value, int64_t& first, int64_t& total) {
  if (!StartsText("bytes ", value)) return false;
  std::string_view rest = std::string_view(value).substr(6);
  size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view range = rest.substr(0, slash), size = rest.substr(slash + 1);
  total = size == "*" ? -1 : ParseCount(size);
  if (size != "*" && total < 0) return false;
  if (range == "*") {
    first = -1;
    return true;
  }
  size_t dash = range.find('-');
  if (dash == std::string_view::npos) return false;
  first = ParseCount(range.substr(0, dash));
  return first >= 0 && ParseCount(range.substr(dash + 1)) >= first;
}

// Whether a 206 is of the file version the part was recorded with: its ETag
// equals the recorded one, or its Last-Modified date when the record holds a
// date (an ETag is a quoted text, weak or strong).
bool SameVersion(const std::vector<std::string>& header, const std::string& recorded) {
  const bool etag = recorded.starts_with('"') || recorded.starts_with("W/");
  return !recorded.empty() && HeaderValue(header, etag ? "etag" : "last-modified") == recorded;
}

// The validator a response names for its file: its ETag, else its
// Last-Modified date.
std::string ValidatorOf(const std::vector<std::string>& header) {
  std::string validator = HeaderValue(header, "etag");
  return validator.empty() ? HeaderValue(header, "last-modified") : validator;
}

std::string HttpFailureText(THttpCli& http, Word error) {
  // The client's texts of broken responses (10053) and refused settings
  // (10022) say more than the error's own words.
  if (error != 0 && error != platform::WSAECONNABORTED && error != platform::WSAEINVAL) {
    const std::string socket_failure =
        SocketFailure(error, HttpLookupHost(http), &http.CtrlSocket(), http.SocksServer(), http.SocksPort());
    if (!socket_failure.empty()) return socket_failure;
  }
  if (error != 0) return http.ReasonPhrase();
  const int code = http.StatusCode();
  if (code < 200 || code > 299) return std::to_string(code) + " " + http.ReasonPhrase();
  return "";
}

THttpTransfer::~THttpTransfer() = default;

void THttpTransfer::Start() {
  switch (mode_) {
    case TTryMode::kAsk: return StartAsking();
    case TTryMode::kContinue: return Continue();
    case TTryMode::kWhole:
      ForgetResume();
      validator_.clear();
      return Request();
  }
}

void THttpTransfer::Abort() {
  if (http_) http_->Abort();
}

void THttpTransfer::Hold(bool wait) {
  if (http_) HoldSocket(http_->CtrlSocket(), http_->Watchdog(), wait);
}

bool THttpTransfer::PartContinuable() const {
  TPartInfo info;
  return ReadPartInfo(job_.part_name_, info) && info.Continuable();
}

void THttpTransfer::StartAsking() {
  resuming_ = false;
  refetch_ = false;
  resume_from_ = 0;
  total_ = -1;
  validator_.clear();
  int64_t part_size = job_.part_.Size();
  TPartInfo info;
  // Only a part whose record names this URL, a total above its size and a
  // validator is offered; one of another length than the publisher's file
  // is not.
  if (part_size > 0 && ReadPartInfo(job_.part_name_, info) && info.Continuable() &&
      PartContinues(info, job_.RecordedUrl(), part_size) &&
      (job_.expected_.size < 0 || info.total == job_.expected_.size) && job_.question_) {
    auto alive = job_.lifetime_.Token();
    const TRunToken asked = job_.run_.Token();
    job_.SetPhase(TJobPhase::kAsking);
    bool resume = job_.question_->AskResume(kResumeQuestion);
    // The question may have run the event loop: the row may be gone, or
    // another start may have begun.
    if (!alive || !job_.run_.IsCurrent(asked)) return;
    part_size = job_.part_.Size();
    if (resume && part_size > 0 && part_size < info.total) {
      resuming_ = true;
      resume_from_ = part_size;
      total_ = info.total;
      validator_ = info.validator;
    }
  }
  Request();
}

void THttpTransfer::ForgetResume() {
  refetch_ = false;
  resuming_ = false;
  resume_from_ = 0;
  total_ = -1;
}

void THttpTransfer::RefetchWholeFile() {
  ForgetResume();
  if (!job_.part_.Restart()) {
    job_.NoteFailure(TFailureKind::kFileIo);
    job_.Finish(false, kCannotWrite + SystemReason());
    return End(false, false);
  }
  Request();
}

void THttpTransfer::Continue() {
  ForgetResume();
  validator_.clear();
  const int64_t size = job_.part_.Size();
  TPartInfo info;
  if (size > 0 && ReadPartInfo(job_.part_name_, info) && info.pieces.empty() && info.total > size &&
      (job_.expected_.size < 0 || info.total == job_.expected_.size)) {
    // The part of this URL continues with its validator; a mirror's part
    // continues without one when the publisher's hash checks every byte.
    if (info.url == job_.RecordedUrl() && info.Continuable())
      validator_ = info.validator;
    else if (info.url == job_.RecordedUrl() || job_.expected_.sha256.empty())
      return Request();
    resuming_ = true;
    resume_from_ = size;
    total_ = info.total;
  }
  Request();
}

void THttpTransfer::Request() {
  part_opened_ = false;
  failure_.clear();
  job_.failure_kind_ = TFailureKind::kNone;
  auto http = std::make_unique<THttpCli>();
  http->OnDocData = [this](THttpCli* client, const void*, int len) {
    job_.SpendReceived(len, client);
    DocData();
  };
  http->OnHeaderData = [this](THttpCli*) { HeaderData(); };
  http->OnDocBegin = [this](THttpCli*) { DocBegin(); };
  http->OnRequestDone = [this](THttpCli*, THttpRequest RqType, Word Error) { RequestDone(RqType, Error); };
  http->SetURL(job_.url_);
  // Who asks, and that any type of file will do.
  http->SetAgent(kQuillonUserAgent);
  http->SetAccept("*/*");
  http->SetConnectTimeout(job_.connect_timeout_);
  http->SetIdleTimeout(job_.idle_timeout_);
  if (resuming_) http->SetContentRangeBegin(std::to_string(resume_from_));
  http_ = std::move(http);
  job_.run_.Begin();
  job_.SetPhase(TJobPhase::kConnecting);
  job_.status_ = job_.mirror_status_.empty() ? "Initiating download..." : job_.mirror_status_;
  if (!FireEvent(job_.lifetime_, job_.OnHttpClientCreated, &job_, http_.get())) return;
  // The validator goes with every continued request, after whatever a
  // caller added, so that the server sends the rest only of the same file.
  if (resuming_ && !validator_.empty()) {
    auto before = http_->OnBeforeHeaderSend;
    http_->OnBeforeHeaderSend = [before, validator = validator_](THttpCli* sender, const std::string& method,
                                                                std::vector<std::string>& lines) {
      if (before) before(sender, method, lines);
      lines.push_back("If-Range: " + validator);
    };
  }
  if (!job_.Changed()) return;
  http_->GetAsync();
}

void THttpTransfer::HeaderData() {
  std::string& text = job_.held_ ? job_.progress_text_ : job_.status_;
  // A mirror's text stays until the mirror answers.
  if (!job_.mirror_status_.empty()) {
    if (text == job_.mirror_status_) text = "Initiating download...";
    job_.mirror_status_.clear();
  }
  text += ".";
  job_.ChangedLast();
}

// The first piece of a body. Only the body of a 2xx answer is written, into
// the part: continued on a 206 that continues it, from nothing otherwise.
// A failure here is thrown, which ends the request (failure_ says why).
void THttpTransfer::DocBegin() {
  job_.position_ = 0;
  job_.SetPhase(TJobPhase::kTransferring);
  job_.BeginTransfer(0);
  THttpCli* http = http_.get();
  int code = http->StatusCode();
  if (code < 200 || code > 299) return job_.ChangedLast();
  const std::vector<std::string>& header = http->RcvdHeader();
  if (resuming_ && code != 206) {
    resuming_ = false;  // the whole file came instead: the part starts again
    resume_from_ = 0;
  }
  try {
    if (resuming_) {
      int64_t first = -1, total = -1;
      const bool range = ParseContentRange(HeaderValue(header, "content-range"), first, total);
      // Another version of the file: its bytes do not continue the part,
      // which starts again with the whole file.
      // (A mirror's part is continued without a validator: the publisher's
      // hash decides.)
      refetch_ = (!validator_.empty() && !SameVersion(header, validator_)) ||
                 (range && total >= 0 && total != total_);
      if (refetch_ || !range || first != resume_from_ || total != total_) {
        job_.NoteFailure(TFailureKind::kProtocol);
        failure_ = NotTheAskedPart(*http);
        throw EHttpException(failure_, code);
      }
      job_.OpenPartStream(resume_from_);
      job_.BeginTransfer(resume_from_);
      if (validator_.empty()) {
        // The part is now this mirror's: a later try continues it here.
        job_.spliced_ = true;
        WritePartInfo(job_.part_name_, TPartInfo{job_.RecordedUrl(), total_, ValidatorOf(header)});
      }
    } else if (code == 206) {
      // Part of a file when the whole was asked for.
      job_.NoteFailure(TFailureKind::kProtocol);
      failure_ = NotTheAskedPart(*http);
      throw EHttpException(failure_, code);
    } else {
      // The publisher's size decides before the first byte is stored.
      const int64_t expected = job_.expected_.size;
      if (expected >= 0 && http->ContentLength() >= 0 && http->ContentLength() != expected) {
        job_.NoteFailure(TFailureKind::kNotExpected);
        failure_ = job_.SizeMismatch(http->ContentLength());
        throw EHttpException(failure_, code);
      }
      job_.OpenPartStream(0);
      total_ = http->ContentLength();
      if (!WritePartInfo(job_.part_name_, TPartInfo{job_.RecordedUrl(), total_, ValidatorOf(header)})) total_ = -1;
    }
  } catch (const EHttpException&) {
    throw;
  } catch (const std::exception&) {
    job_.NoteFailure(TFailureKind::kFileIo);
    failure_ = kCannotWrite + SystemReason();
    throw;
  }
  part_opened_ = true;
  http->SetRcvdStream(job_.part_stream_.get());
  job_.ChangedLast();
}

void THttpTransfer::DocData() {
  // A body past the publisher's size fails even when the response ends
  // before the part stream's report (which ends the request) arrives.
  if (job_.write_error_.empty() && job_.part_stream_ && job_.part_stream_->PastBound())
    job_.write_error_ = job_.WriteFailure();
  // The body of an error page is no part of the file: no progress.
  if (!http_ || !part_opened_ || !job_.UpdateDue()) return;
  double total = static_cast<double>(http_->ContentLength());
  if (total >= 0)
    total += static_cast<double>(job_.base_count_);
  else
    total = static_cast<double>(job_.expected_.size);
  job_.UpdateProgress(total, static_cast<double>(http_->RcvdCount() + job_.base_count_));
}

std::string THttpTransfer::Failure(Word Error, bool& complete, int64_t& expected_size) {
  THttpCli* http = http_.get();
  int code = http->StatusCode();
  complete = false;
  expected_size = -1;
  if (!failure_.empty()) return failure_;
  if (!job_.write_error_.empty()) return job_.WriteFailure();
  if (Error == httperrAborted) return "Download Canceled.";
  // A reset cuts off nothing once every announced byte has arrived.
  if (Error == platform::WSAECONNRESET) {
    if (code < 200 || code > 299 || http->ContentLength() < 0 || http->RcvdCount() < http->ContentLength())
      return "Download failed: connection reset by the server.";
    Error = 0;
  }
  // A TLS connection closed without close-notify before the announced
  // length: the length says that something is missing.
  if (Error == kSslTruncatedError && code >= 200 && code <= 299 && http->ContentLength() >= 0 &&
      http->RcvdCount() < http->ContentLength())
    return kIncomplete;
  if (Error != 0) return "Download failed: " + HttpFailureText(*http, Error);
  // Nothing after byte N of a part shorter than its recorded total: the
  // file is not the one recorded, and the part never completes so.
  if (code == 416 && resuming_) refetch_ = true;
  // A 206 without a byte continues nothing.
  if (code == 206 && !part_opened_) {
    job_.NoteFailure(TFailureKind::kProtocol);
    return NotTheAskedPart(*http);
  }
  // No status line was read: the peer closed first or sent something else.
  if (code == 0) return "Download failed: no valid HTTP response from the server.";
  if (code < 200 || code > 299) return "Download failed: " + std::to_string(code) + " " + http->ReasonPhrase();
  if (http->ContentLength() >= 0 && http->RcvdCount() < http->ContentLength()) return kIncomplete;
  complete = true;
  expected_size = total_;
  if (!part_opened_) {
    // A body that had no file to go to is not a download.
    if (http->RcvdCount() > 0) {
      complete = false;
      job_.NoteFailure(TFailureKind::kFileIo);
      return std::string(kCannotWrite) + "the body was not stored";
    }
    // No body at all: the document is empty, whatever the part held.
    if (!job_.part_.Restart()) {
      complete = false;
      job_.NoteFailure(TFailureKind::kFileIo);
      return kCannotWrite + SystemReason();
    }
    expected_size = 0;
  }
  return "";
}

void THttpTransfer::RequestDone(THttpRequest RqType, Word Error) {
  if (RqType != hrGet) {
    job_.status_ =
        "Complete  StatusCode = " + std::to_string(http_->StatusCode()) + " Error = " + http_->ReasonPhrase();
    return job_.ChangedLast();
  }
  bool complete = false;
  int64_t expected_size = -1;
  std::string failure = Failure(Error, complete, expected_size);
  const int code = http_->StatusCode();
  TTryFailure try_failure;
  try_failure.transient = failure_.empty() && job_.write_error_.empty() &&
                          (failure == kIncomplete || TransientSocketError(Error, job_.attempt_) ||
                           (Error == 0 && TransientHttpStatus(code)));
  try_failure.retry_after_ms = RetryAfterMs(HeaderValue(http_->RcvdHeader(), "retry-after"), kMaxRetryAfterMs,
                                            static_cast<int64_t>(std::time(nullptr)));
  if (!complete)
    job_.NoteFailure(
        HttpFailureKind(Error, Error == kHttpTunnelRefused ? http_->TunnelStatusCode() : http_->StatusCode()));
  // The cylinder of a failed transfer shows what it received of the file.
  if (!complete && part_opened_ && http_->ContentLength() > 0)
    job_.position_ = static_cast<int>(std::min<int64_t>(100, http_->RcvdCount() * 100 / http_->ContentLength()));
  http_.reset();  // the client allows this inside its own OnRequestDone
  if (refetch_ && Error != httperrAborted) return RefetchWholeFile();
  // The progress text stays until the writer has written the whole part.
  if (complete)
    return job_.CommitWhenWritten(expected_size, [this](const std::string& f) { Committed(f); });
  // A cancel keeps the status its click showed, in start mode already.
  const bool cancelled = Error == httperrAborted && job_.write_error_.empty();
  if (!cancelled && job_.RetryOrMirror(failure, try_failure)) return job_.ChangedLast();
  if (cancelled)
    job_.status_ = failure;
  else
    job_.Finish(false, failure);
  End(false, cancelled);
}

void THttpTransfer::Committed(std::string failure) {
  if (job_.RefetchSplicedPart(failure)) return job_.ChangedLast();
  TTryFailure try_failure;
  try_failure.transient = failure == kIncomplete;
  if (!failure.empty() && job_.RetryOrMirror(failure, try_failure)) return job_.ChangedLast();
  job_.FinishCommitted(failure);
  End(failure.empty(), false);
}

void THttpTransfer::End(bool complete, bool cancelled) {
  // This start's data continues only with a recorded total and validator;
  // a part this start did not write stays as it was (an empty one goes).
  if (!complete && part_opened_) {
    job_.SettlePart(PartContinuable(), cancelled);
  } else if (!complete) {
    job_.part_stream_.reset();
    job_.KeepOrRemovePart(true);
  }
  job_.EndTransfer();
  job_.ShowFileIcon();
  job_.ChangedLast();
}

}  // namespace quillon
