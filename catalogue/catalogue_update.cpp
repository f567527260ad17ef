#include "catalogue/catalogue_update.h"

#include <ctime>

#include "base/exceptions.h"
#include "base/version.h"
#include "net/http/http_cli.h"
#include "net/socket/transfer_watchdog.h"

namespace quillon {

int64_t TUpdateBodyStream::Write(const void* buffer, int64_t count) {
  if (count > 0 && pos_ + count > kMaxBytes) throw Exception(kTooLargeReason);
  return TMemoryStream::Write(buffer, count);
}

std::string AcceptFetchedCatalogue(TCatalogueInUse& in_use, TMemoryStream& body, int64_t content_length) {
  if (content_length < 0 || body.Size() != content_length) return "the answer is not complete";
  return in_use.AcceptUpdate(body, static_cast<int64_t>(std::time(nullptr)));
}

std::string RetrieveCatalogueUpdate(THttpCli& http, const std::string& url, int idle_timeout,
                                    TCatalogueInUse& in_use) {
  TUpdateBodyStream stream;
  http.SetURL(url);
  http.SetAgent(kQuillonUserAgent);
  http.SetAccept("*/*");
  http.SetRcvdStream(&stream);
  http.SetConnectTimeout(kDefaultConnectTimeout);
  http.SetIdleTimeout(idle_timeout);
  http.SetTotalTimeout(kUpdateDeadline);
  // A length that cannot fit is refused as soon as it is announced: the
  // exception ends the request as a broken response with its text.
  THttpNotifyEvent callers_header_end = std::move(http.OnHeaderEnd);
  http.OnHeaderEnd = [](THttpCli* c) {
    if (c->StatusCode() >= 200 && c->StatusCode() <= 299 && c->ContentLength() > TUpdateBodyStream::kMaxBytes)
      throw Exception(TUpdateBodyStream::kTooLargeReason);
  };
  bool failed = false;
  try {
    http.Get();
    // A response that could not be read to its end (a broken header, a
    // reset connection) is no catalogue either, whatever its status.
    failed = http.RequestDoneError() != 0;
  } catch (const EHttpException&) {
    failed = true;
  }
  http.SetRcvdStream(nullptr);
  http.OnHeaderEnd = std::move(callers_header_end);
  // What came is read into a document of its own; the catalogue in use
  // changes only when that is a whole catalogue it may take.
  return failed ? http.ReasonPhrase() : AcceptFetchedCatalogue(in_use, stream, http.ContentLength());
}

}  // namespace quillon
