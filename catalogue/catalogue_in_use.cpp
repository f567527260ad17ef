#include "catalogue/catalogue_in_use.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <exception>
#include <memory>
#include <utility>

#include "base/ed25519_key.h"
#include "base/private_file.h"
#include "base/sha256_hasher.h"
#include "base/strings.h"
#include "catalogue/catalogue_signature.h"
#include "catalogue/trust_record.h"
#include "xml/xml_document.h"

namespace quillon {

namespace {

// Why the record's catalogue may not stand for it; empty when it may.
// `stored` receives it parsed.
std::string StoredCatalogueProblem(const TTrustRecord& record, TCatalogue& stored) {
  try {
    TStringStream stream(record.catalogue);
    stored.LoadFromStream(stream);
  } catch (const std::exception& e) {
    return std::string("its catalogue cannot be read: ") + e.what();
  }
  if (stored.PublisherKey() != record.key) return "its catalogue does not name its current key";
  // Signed by the current key, or a hand-over signed by the key retired last.
  const TCatalogueSignature split = SplitCatalogueSignature(record.catalogue);
  const bool valid = split.state == TCatalogueSignature::csPresent &&
                     (TEd25519Key::Verify(record.key, split.signed_bytes, split.signature) ||
                      (!record.retired.empty() &&
                       TEd25519Key::Verify(record.retired.back(), split.signed_bytes, split.signature)));
  if (!valid) return "its catalogue's signature does not hold";
  if (stored.CatalogueSerial() != record.serial) return "its serial is not its catalogue's";
  return {};
}

bool Contains(const std::vector<std::string>& keys, const std::string& key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace

// The records of one line as they are on disk now.
struct TCatalogueInUse::TLine {
  struct TFound {
    std::string path;
    TTrustRecord record;
    TCatalogue stored;
  };
  std::string id;                        // the line's id, given or taken on; empty: none
  std::vector<TFound> found;             // the records that hold for the program file's key
  std::vector<std::string> write_paths;  // where an accepted update goes
  std::string notes;                     // records ignored: "The trust record P is ignored: R."
  std::string broken;                    // a record or folder that fails closed: what is wrong
  std::string remedy;                    // and what resets it

  const TFound* Newest() const {
    const TFound* newest = nullptr;
    for (const TFound& f : found)
      if (newest == nullptr || f.record.serial > newest->record.serial) newest = &f;
    return newest;
  }
  TFound* Newest() { return const_cast<TFound*>(std::as_const(*this).Newest()); }
};

// Reads the records named `plain` (and the one beside it for the program
// file's key) into `line`. `key_named`: the name is the key's, whose record
// may belong to another line of the same key (then it is left alone).
void TCatalogueInUse::AddRecords(TLine& line, const std::string& plain, bool key_named) const {
  bool plain_taken = false;
  bool another_line = false;
  const size_t before = line.found.size();
  // A record that cannot be read or checked fails closed.
  auto broken = [&](const std::string& path, const std::string& problem) {
    line.broken = "the trust record " + path + " cannot be used: " + problem;
    line.remedy = "deleting it resets what this program trusts";
  };
  for (const std::string& path : {plain, TTrustRecord::BesidePath(plain, program_key_)}) {
    const bool is_plain = path == plain;
    auto ignore = [&](const std::string& reason) {
      if (is_plain) {
        line.notes += (line.notes.empty() ? "" : " ") + ("The trust record " + path + " is ignored: " + reason + ".");
        plain_taken = true;
      }
    };
    if (const std::string reason = NotPrivateReason(path); !reason.empty()) {
      ignore(reason);
      continue;
    }
    std::optional<TTrustRecord> record;
    TCatalogue stored;
    std::string problem;
    try {
      record = TTrustRecord::Read(path);
      if (record) problem = StoredCatalogueProblem(*record, stored);
    } catch (const ETrustRecord& e) {
      problem = e.what();
    }
    if (!problem.empty()) return broken(path, problem);
    if (!record) continue;
    // A record is this program's only when its key chain holds the key
    // the program file's catalogue is signed by.
    if (record->key != program_key_ && !Contains(record->retired, program_key_)) {
      ignore("it belongs to another publisher's key");
      continue;
    }
    const std::string stored_id = stored.CatalogueId();
    if (!line.id.empty() && stored_id != line.id) {
      if (key_named) {
        another_line = true;  // the key's other line: neither read nor written
        continue;
      }
      return broken(path, "its catalogue is for another catalogue line");
    }
    line.found.push_back({path, std::move(*record), std::move(stored)});
  }
  if (another_line) return;
  if (line.found.size() > before) {
    for (size_t i = before; i < line.found.size(); ++i) line.write_paths.push_back(line.found[i].path);
  } else {
    line.write_paths.push_back(plain_taken ? TTrustRecord::BesidePath(plain, program_key_) : plain);
  }
}

TCatalogueInUse::TLine TCatalogueInUse::ReadLine(const std::string& id) const {
  TLine line;
  line.id = id;
  if (const std::string problem = TTrustRecord::FolderProblem(); !problem.empty()) {
    line.broken = problem;
    line.remedy = "make it writable by you alone (chmod 700 " + TTrustRecord::Folder() + ")";
    return line;
  }
  // The key's record (program files without an id keep theirs there), then
  // the id's: a line read and written under both has one floor.
  AddRecords(line, TTrustRecord::PathFor("", program_key_), /*key_named=*/true);
  if (!line.broken.empty()) return line;
  if (line.id.empty())
    for (const TLine::TFound& f : line.found) line.id = f.stored.CatalogueId();
  if (!line.id.empty()) AddRecords(line, TTrustRecord::PathFor(line.id, program_key_), /*key_named=*/false);
  return line;
}

TTrustState TCatalogueInUse::TrustOf(const TLine& line) const {
  TTrustState trust{line.id, program_key_, {}, appended_serial_};
  for (const TLine::TFound& f : line.found)
    for (const std::string& key : f.record.retired)
      if (!Contains(trust.retired, key)) trust.retired.push_back(key);
  if (const TLine::TFound* newest = line.Newest()) {
    trust.key = newest->record.key;
    // The key retired last stays last: it may have signed the stored hand-over.
    if (!newest->record.retired.empty()) {
      const std::string last = newest->record.retired.back();
      trust.retired.erase(std::remove(trust.retired.begin(), trust.retired.end(), last), trust.retired.end());
      trust.retired.push_back(last);
    }
    trust.floor = std::max(newest->record.serial, appended_serial_.value_or(newest->record.serial));
  }
  return trust;
}

void TCatalogueInUse::LoadFromProgramFile(const std::string& program_file) {
  LoadAppended(TCatalogue::AppendedBytes(program_file));
}

void TCatalogueInUse::LoadFromCatalogueOrProgramFile(const std::string& file) {
  bool program_file = false;
  std::string bytes = TCatalogue::CatalogueOrProgramFileBytes(file, program_file);
  LoadAppended(std::move(bytes), program_file ? csProgramFile : csCatalogueFile);
}

void TCatalogueInUse::LoadAppended(std::string bytes, TSource source) {
  source_ = source;
  signature_problem_.clear();
  record_problem_.clear();
  in_use_sha256_.clear();
  keeps_records_ = false;
  trust_.reset();
  authenticated_ = true;
  {
    TStringStream stream(bytes);
    catalogue_.LoadFromStream(stream);
  }
  signature_problem_ = PublisherSignatureProblem(catalogue_, bytes);
  if (!catalogue_.HasPublisherKey() || !signature_problem_.empty()) return;
  program_key_ = *catalogue_.PublisherKey();
  program_id_ = catalogue_.CatalogueId();
  appended_serial_ = catalogue_.CatalogueSerial();
  in_use_sha256_ = TSha256Hasher::HexOf(bytes);
  trust_ = TTrustState{program_id_, program_key_, {}, appended_serial_};
  if (source == csCatalogueFile) return;
  keeps_records_ = true;
  ReadRecord();
}

void TCatalogueInUse::ReadRecord() {
  TLine line = ReadLine(program_id_);
  record_problem_ = line.notes;
  if (!line.broken.empty()) {
    // The program file's catalogue is shown; what the record held still
    // counts, so no update is taken until the record is mended or deleted.
    std::string text = line.broken;
    text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    record_problem_ += (record_problem_.empty() ? "" : " ") + text + ". Updates are refused; " + line.remedy + ".";
    return;
  }
  trust_ = TrustOf(line);
  TLine::TFound* newest = line.Newest();
  if (newest == nullptr) return;
  const bool retired = Contains(trust_->retired, program_key_);
  if (retired || !appended_serial_ || newest->record.serial > *appended_serial_) {
    catalogue_ = std::move(newest->stored);
    in_use_sha256_ = TSha256Hasher::HexOf(newest->record.catalogue);
    source_ = csUpdate;
  }
}

std::string TCatalogueInUse::SourceText() const {
  switch (source_) {
    case csProgramFile:
      return "program file";
    case csCatalogueFile:
      return "catalogue file";
    case csUpdate:
      break;
  }
  const auto serial = catalogue_.CatalogueSerial();
  return serial ? "update, serial " + std::to_string(*serial) : "update";
}

std::string TCatalogueInUse::ExpiryNote(int64_t now, bool update_button) const {
  if (!catalogue_.HasCatalogueExpires()) return {};
  const auto expires = catalogue_.CatalogueExpires();
  if (expires && *expires > now) return {};
  std::string date = catalogue_.InterfaceText("Catalogue_Expires");
  if (expires) {
    const time_t t = static_cast<time_t>(*expires);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &tm);
    date = text;
  }
  return "This catalogue expired on " + date +
         (update_button ? "; Retrieve Updates fetches the current one." : "; its publisher has the current one.");
}

std::string TCatalogueInUse::AcceptUpdate(TMemoryStream& body, int64_t now) {
  const std::string_view bytes(static_cast<const char*>(body.Memory()), static_cast<size_t>(body.Size()));
  // A catalogue that names a key it is not signed by takes nothing.
  if (!signature_problem_.empty()) return std::string(kUpdateNotSigned);
  // Under a key the records on disk are read again, under the lock, and
  // what they say now is what the update is checked against: another
  // program may have taken an update since this one started.
  std::optional<TTrustLock> lock;
  TLine line;
  std::optional<TTrustState> trust = trust_;
  if (keeps_records_) {
    try {
      lock.emplace();
    } catch (const ETrustRecord& e) {
      return std::string("the update cannot be kept: ") + e.what();
    }
    line = ReadLine(program_id_);
    if (!line.broken.empty()) return line.broken + "; " + line.remedy;
    trust = TrustOf(line);
    if (locked_hook_for_testing_) locked_hook_for_testing_();
  }
  if (trust) {
    // The catalogue in use served again; or the newest record's, which
    // another program took meanwhile: that one is shown from now on. Both
    // were checked when they were taken, and bytes are compared unparsed.
    const std::string digest = TSha256Hasher::HexOf(bytes);
    if (digest == in_use_sha256_) return std::string(kUpdateNotNewer);
    if (TLine::TFound* newest = line.Newest(); newest != nullptr &&
        digest == TSha256Hasher::HexOf(newest->record.catalogue) &&
        catalogue_.CatalogueSerial().value_or(0) < newest->record.serial) {
      catalogue_ = std::move(newest->stored);
      in_use_sha256_ = digest;
      trust_ = std::move(trust);
      source_ = csUpdate;
      authenticated_ = true;
      return {};
    }
    // Under a key, bytes that its holder did not sign are never parsed.
    const std::string refusal = UpdateSignatureRefusal(*trust, bytes);
    if (!refusal.empty()) return refusal;
  }
  auto doc = std::make_unique<TsdXmlDocument>();
  try {
    body.Seek(0, TSeekOrigin::soBeginning);
    doc->LoadFromStream(body);
    CheckCatalogueText(*doc);
  } catch (const std::exception&) {
    return "the answer is not a catalogue";
  }
  TXmlNode* root = doc->Root();
  if (root == nullptr || !SameText(root->Name(), "Root") || root->NodeByName("Interface_Information") == nullptr)
    return "the answer is not a catalogue";
  if (!trust) {
    catalogue_.Replace(std::move(doc));
    source_ = csUpdate;
    authenticated_ = false;
    return {};
  }
  TCatalogue update;
  update.Replace(std::move(doc));
  // A line without an id that takes one on takes on that id's records too,
  // so program files of the line with and without the id share one floor.
  if (keeps_records_ && line.id.empty() && !update.CatalogueId().empty()) {
    line.id = update.CatalogueId();
    AddRecords(line, TTrustRecord::PathFor(line.id, program_key_), /*key_named=*/false);
    if (!line.broken.empty()) return line.broken + "; " + line.remedy;
    trust = TrustOf(line);
    const std::string refusal = UpdateSignatureRefusal(*trust, bytes);
    if (!refusal.empty()) return refusal;
  }
  const std::string refusal = UpdateContentRefusal(*trust, update, now);
  if (!refusal.empty()) return refusal;

  TTrustState next = *trust;
  const std::string key = *update.PublisherKey();
  if (key != next.key) {
    // A hand-over: the key that signed it is retired from now on.
    next.retired.push_back(next.key);
    next.key = key;
  }
  next.id = update.CatalogueId();
  next.floor = update.CatalogueSerial();
  try {
    for (const std::string& path : line.write_paths)
      TTrustRecord{next.key, next.retired, *next.floor, std::string(bytes)}.Write(path);
  } catch (const ETrustRecord& e) {
    return std::string("the update cannot be kept: ") + e.what();
  }
  catalogue_ = std::move(update);
  in_use_sha256_ = TSha256Hasher::HexOf(bytes);
  trust_ = std::move(next);
  source_ = csUpdate;
  authenticated_ = true;
  return {};
}

}  // namespace quillon
