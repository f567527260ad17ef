// The catalogue update: fetching the catalogue at Data_URL, how much of the
// answer is kept while it arrives, and whether what arrived may replace the
// catalogue in use. "Retrieve Updates" and `quillon-catalogue update` both
// run RetrieveCatalogueUpdate:
//
//   THttpCli http;                           // kept by the caller
//   std::string reason = RetrieveCatalogueUpdate(http, url, idle_timeout, in_use);
//   if (!reason.empty()) { /* report http.StatusCode() and reason; nothing changed */ }
#pragma once

#include <cstdint>
#include <string>

#include "base/memory_stream.h"
#include "catalogue/catalogue_in_use.h"

namespace quillon {

class THttpCli;

// Receives an update's body in memory and refuses to grow past kMaxBytes: a
// write beyond it raises Exception with kTooLargeReason, which ends the
// HTTP request as a broken response with that reason.
class TUpdateBodyStream : public TMemoryStream {
 public:
  // A catalogue of 60 products with large screenshots is about 20 MB.
  static constexpr int64_t kMaxBytes = int64_t{64} << 20;
  static constexpr const char* kTooLargeReason = "the answer is too large to be a catalogue";

  int64_t Write(const void* buffer, int64_t count) override;
};

// Offers `body` to `in_use` (TCatalogueInUse::AcceptUpdate, at the current
// time) only when the answer said its length (`content_length` >= 0) and all
// of it came ("the answer is not complete" otherwise: a body cut short by a
// clean close looks like any other end). Returns the reason of a refusal,
// empty when the catalogue was replaced.
std::string AcceptFetchedCatalogue(TCatalogueInUse& in_use, TMemoryStream& body, int64_t content_length);

// The longest a whole update fetch may take, in seconds: a server that
// sends a byte now and then never trips the idle limit, this ends it.
inline constexpr int kUpdateDeadline = 120;

// Fetches `url` (UTF-8) with `http` as the program (kQuillonUserAgent,
// "Accept: */*") into a TUpdateBodyStream and offers the answer as above.
// The fetch ends when there is no connection within the connect
// limit, on silence for `idle_timeout` seconds, when it is not complete
// within kUpdateDeadline ("no complete answer within 2 minutes."), and when
// a 2xx answer announces a Content-Length over TUpdateBodyStream::kMaxBytes
// (kTooLargeReason, before any byte of its body is read; `http`'s
// OnHeaderEnd is the fetch's own until it returns). Abort on `http` from a
// handler meanwhile cancels it ("Connection aborted on request",
// httperrAborted). Returns the client's ReasonPhrase when the fetch failed
// (its StatusCode and RequestDoneError then say the code and error), else
// the reason of AcceptFetchedCatalogue. A failed fetch changes nothing.
std::string RetrieveCatalogueUpdate(THttpCli& http, const std::string& url, int idle_timeout,
                                    TCatalogueInUse& in_use);

}  // namespace quillon
