// TCatalogueInUse: the catalogue the window shows, where it came from, and
// what it trusts for updates. The window and `quillon-catalogue check` and
// `update` all go through it, so they choose and accept alike.
//
// At start (Load...):
// - The appended catalogue is read. Without a Publisher_Key it is used as it
//   is, and nothing is kept across runs. With one, its signature must hold
//   (SignatureProblem() says why not; the window then shows nothing).
// - The line's trust records (trust_record.h) are read: the one named by the
//   program file's key and, when the line has an id (its own, or one it took
//   on from an update), the one named by the id. A record counts only when
//   the program file's key is its current key or one it retired, and when it
//   and its folder are the user's and writable by no one else; otherwise it
//   is ignored (RecordProblem() says whose it is) and the program keeps its
//   own beside it. A record the key names that holds another line of the key
//   is left alone.
// - A record that cannot be read or checked (its form, its catalogue's
//   signature, serial or id), or a folder others may write, fails closed:
//   the program file's catalogue is shown, RecordProblem() names the file and
//   the remedy (delete it), every update is refused, and nothing is written.
// - The floor is the highest serial of the records and the program file's
//   catalogue; the retired keys are those of all records. The newest stored
//   catalogue is shown instead of the appended one when its serial is greater,
//   or when the appended catalogue is signed by a retired key.
//
// An update (AcceptUpdate), when a key governs: under the exclusive lock
// over the records (TTrustLock) they are read again, so what another program
// took meanwhile counts; then the signature is checked on the raw bytes
// before they are parsed (catalogue_trust.h), then the parsed catalogue; an
// accepted update is written into every record of the line (the key's and
// the id's) before it replaces the catalogue shown (a record that cannot be
// written refuses the update). When the line has no Catalogue_Id, an update
// with one gives it that id for good, and that id's records count from then
// on. The catalogue in use served again is kUpdateNotNewer (or, when another
// program took it meanwhile, it is shown). A catalogue without a key takes
// any catalogue, in memory only.
//
// Links' SHA256 values are authenticated (HashesAuthenticated) when the
// catalogue came from the program file or was accepted under a key; an
// update taken without a key is not.
#pragma once

#include <cstdint>
#include <functional>
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
  // Empty, or what is wrong with the records: "The trust record PATH is
  // ignored: REASON." for each ignored one, and for one that fails closed
  // "The trust record PATH cannot be used: REASON. Updates are refused;
  // deleting it resets what this program trusts."
  const std::string& RecordProblem() const { return record_problem_; }
  TSource Source() const { return source_; }
  // "program file", "catalogue file", "update, serial N" ("update" for an
  // update without a serial taken without a key).
  std::string SourceText() const;
  // Whether a publisher's key governs updates.
  bool Signed() const { return trust_.has_value(); }
  const std::optional<TTrustState>& Trust() const { return trust_; }
  bool HashesAuthenticated() const { return authenticated_; }

  // When the catalogue's Catalogue_Expires is not after `now`: "This
  // catalogue expired on DATE; Retrieve Updates fetches the current one."
  // when the update button is shown (`update_button`), else "This catalogue
  // expired on DATE; its publisher has the current one." Empty otherwise.
  std::string ExpiryNote(int64_t now, bool update_button) const;

  // Offers the fetched body (all of it arrived) at `now` (seconds since
  // 1970). Returns the refusal's reason, empty when the catalogue was
  // replaced: "the answer is not a catalogue", the reasons of
  // catalogue_trust.h, the broken record's "the trust record PATH cannot be
  // used: REASON; deleting it resets what this program trusts", or "the
  // update cannot be kept: ..." when the records could not be locked or
  // written. A refusal leaves everything as it was.
  std::string AcceptUpdate(TMemoryStream& body, int64_t now);

  // Tests: runs while AcceptUpdate holds the lock, after it read the records.
  void SetLockedHookForTesting(std::function<void()> hook) { locked_hook_for_testing_ = std::move(hook); }

 private:
  struct TLine;
  void ReadRecord();
  TLine ReadLine(const std::string& id) const;
  void AddRecords(TLine& line, const std::string& plain, bool key_named) const;
  TTrustState TrustOf(const TLine& line) const;

  TCatalogue catalogue_;
  TSource source_ = csProgramFile;
  std::string signature_problem_;
  std::string record_problem_;
  bool keeps_records_ = false;       // a program file's catalogue under a key
  std::string program_key_;          // the key that signed the program file's catalogue
  std::string program_id_;           // its Catalogue_Id
  std::optional<int64_t> appended_serial_;
  std::string in_use_sha256_;        // of the bytes of the catalogue shown
  std::optional<TTrustState> trust_;
  std::function<void()> locked_hook_for_testing_;
  bool authenticated_ = true;
};

}  // namespace quillon
