// TCatalogueInUse: the catalogue the window shows, where it came from, and
// what it trusts for updates. The window and `quillon-catalogue check` and
// `update` all go through it, so they choose and accept alike.
//
// At start (Load...):
// - The appended catalogue is read. Without a Publisher_Key it is used as it
//   is, and nothing is kept across runs. With one, its signature must hold
//   (SignatureProblem() says why not; the window then shows nothing).
// - The line's trust record (trust_record.h) is read. A record that cannot be
//   read, or whose stored catalogue is not valid under the record's current
//   key for this line, is ignored as a whole; RecordProblem() says so.
// - The stored catalogue is shown instead of the appended one when its serial
//   is greater, or when the appended catalogue is signed by a key the record
//   has retired (the appended catalogue of an older program file).
//
// An update (AcceptUpdate), when a key governs: the signature is checked on
// the raw bytes before they are parsed (catalogue_trust.h), then the parsed
// catalogue; an accepted update is written into the record before it replaces
// the catalogue shown (a record that cannot be written refuses the update).
// When the line has no Catalogue_Id, an update with one gives it that id for
// good; its record stays the one by key, whose stored catalogue carries the
// id. A catalogue without a key takes any catalogue, in memory only.
//
// Links' SHA256 values are authenticated (HashesAuthenticated) when the
// catalogue came from the program file or was accepted under a key; an
// update taken without a key is not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/memory_stream.h"
#include "catalogue/catalogue.h"
#include "catalogue/catalogue_trust.h"

namespace quillon {

class TCatalogueInUse {
 public:
  enum TSource { csProgramFile, csCatalogueFile, csUpdate };

  TCatalogue& Catalogue() { return catalogue_; }
  const TCatalogue& Catalogue() const { return catalogue_; }

  // The catalogue appended to the program file; raises the stream's and the
  // parser's errors (see TCatalogue::LoadFromProgramFile).
  void LoadFromProgramFile(const std::string& program_file);
  // A program file as above, or a catalogue file of its own, which is taken
  // as it is (no record is read for it).
  void LoadFromCatalogueOrProgramFile(const std::string& file);
  // The appended catalogue's bytes (the part of LoadFromProgramFile after
  // reading them). The parser's errors propagate.
  void LoadAppended(std::string bytes, TSource source = csProgramFile);

  // Empty when the catalogue may be shown; else why not (see
  // PublisherSignatureProblem).
  const std::string& SignatureProblem() const { return signature_problem_; }
  // Empty, or "The trust record PATH is ignored: REASON."
  const std::string& RecordProblem() const { return record_problem_; }
  TSource Source() const { return source_; }
  // "program file", "catalogue file", "update, serial N" ("update" for an
  // update without a serial taken without a key).
  std::string SourceText() const;
  // Whether a publisher's key governs updates.
  bool Signed() const { return trust_.has_value(); }
  const std::optional<TTrustState>& Trust() const { return trust_; }
  bool HashesAuthenticated() const { return authenticated_; }

  // "This catalogue expired on DATE; Retrieve Updates fetches the current
  // one." when the catalogue's Catalogue_Expires is not after `now`; empty
  // otherwise.
  std::string ExpiryNote(int64_t now) const;

  // Offers the fetched body (all of it arrived) at `now` (seconds since
  // 1970). Returns the refusal's reason, empty when the catalogue was
  // replaced: "the answer is not a catalogue", the reasons of
  // catalogue_trust.h, or "the update cannot be kept: ..." when the record
  // could not be written. A refusal leaves everything as it was.
  std::string AcceptUpdate(TMemoryStream& body, int64_t now);

 private:
  void ReadRecord();

  TCatalogue catalogue_;
  TSource source_ = csProgramFile;
  std::string signature_problem_;
  std::string record_problem_;
  std::string record_path_;
  std::optional<TTrustState> trust_;
  bool authenticated_ = true;
};

}  // namespace quillon
