// The catalogue update's body: how much of it is kept while it arrives, and
// whether what arrived may replace the catalogue the window shows.
//
//   TUpdateBodyStream body;                  // the HTTP client's RcvdStream
//   ... fetch ...
//   std::string reason = AcceptFetchedCatalogue(catalogue, body, http.ContentLength());
//   if (!reason.empty()) { /* report it; the catalogue is as it was */ }
#pragma once

#include <cstdint>
#include <string>

#include "app/catalogue.h"
#include "base/memory_stream.h"

namespace quillon {

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

// Parses `body` (from its start) into a new document and swaps it into
// `catalogue` only when it is a complete catalogue:
//  - the answer said its length (`content_length` >= 0) and all of it came
//    ("the answer is not complete" otherwise: a body cut short by a clean
//    close looks like any other end);
//  - it parses, and its root is "Root" holding an "Interface_Information"
//    element ("the answer is not a catalogue" otherwise).
// Returns the reason of a refusal, empty when the catalogue was replaced. A
// refusal leaves the catalogue untouched.
std::string AcceptFetchedCatalogue(TCatalogue& catalogue, TMemoryStream& body, int64_t content_length);

}  // namespace quillon
