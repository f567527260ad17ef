#include "catalogue/catalogue_in_use.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <memory>

#include "base/ed25519_key.h"
#include "base/strings.h"
#include "catalogue/catalogue_signature.h"
#include "catalogue/trust_record.h"
#include "xml/xml_document.h"

namespace quillon {

namespace {

// Why the record's catalogue may not stand for the line `id`; empty when it
// may. `stored` receives it parsed. A record by key (`id` empty) may hold a
// catalogue with an id: the line took that id on.
std::string StoredCatalogueProblem(const TTrustRecord& record, const std::string& id, TCatalogue& stored) {
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
  if (!id.empty() && stored.CatalogueId() != id) return "its catalogue is for another catalogue line";
  return {};
}

}  // namespace

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
  record_path_.clear();
  trust_.reset();
  authenticated_ = true;
  {
    TStringStream stream(bytes);
    catalogue_.LoadFromStream(stream);
  }
  signature_problem_ = PublisherSignatureProblem(catalogue_, bytes);
  if (!catalogue_.HasPublisherKey() || !signature_problem_.empty()) return;
  trust_ = TTrustState{catalogue_.CatalogueId(), *catalogue_.PublisherKey(), {}, catalogue_.CatalogueSerial()};
  if (source == csCatalogueFile) return;
  ReadRecord();
}

void TCatalogueInUse::ReadRecord() {
  record_path_ = TTrustRecord::PathFor(trust_->id, trust_->key);
  std::optional<TTrustRecord> record;
  TCatalogue stored;
  try {
    record = TTrustRecord::Read(record_path_);
    if (!record) return;
    const std::string problem = StoredCatalogueProblem(*record, trust_->id, stored);
    if (!problem.empty()) throw ETrustRecord(problem);
  } catch (const ETrustRecord& e) {
    record_problem_ = "The trust record " + record_path_ + " is ignored: " + e.what() + ".";
    return;
  }
  const auto appended_serial = catalogue_.CatalogueSerial();
  const bool retired =
      std::find(record->retired.begin(), record->retired.end(), trust_->key) != record->retired.end();
  // The id a line without one took on holds even when the program file's
  // own catalogue is shown.
  if (trust_->id.empty()) trust_->id = stored.CatalogueId();
  trust_->retired = record->retired;
  trust_->floor = std::max(record->serial, appended_serial.value_or(record->serial));
  if (retired || !appended_serial || record->serial > *appended_serial) {
    catalogue_ = std::move(stored);
    trust_->key = record->key;
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

std::string TCatalogueInUse::ExpiryNote(int64_t now) const {
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
  return "This catalogue expired on " + date + "; Retrieve Updates fetches the current one.";
}

std::string TCatalogueInUse::AcceptUpdate(TMemoryStream& body, int64_t now) {
  const std::string_view bytes(static_cast<const char*>(body.Memory()), static_cast<size_t>(body.Size()));
  // A catalogue that names a key it is not signed by takes nothing.
  if (!signature_problem_.empty()) return std::string(kUpdateNotSigned);
  // Under a key, bytes that its holder did not sign are never parsed.
  if (trust_) {
    const std::string refusal = UpdateSignatureRefusal(*trust_, bytes);
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
  if (!trust_) {
    catalogue_.Replace(std::move(doc));
    source_ = csUpdate;
    authenticated_ = false;
    return {};
  }
  TCatalogue update;
  update.Replace(std::move(doc));
  const std::string refusal = UpdateContentRefusal(*trust_, update, now);
  if (!refusal.empty()) return refusal;

  TTrustState next = *trust_;
  const std::string key = *update.PublisherKey();
  if (key != next.key) {
    // A hand-over: the key that signed it is retired from now on.
    next.retired.erase(std::remove(next.retired.begin(), next.retired.end(), key), next.retired.end());
    next.retired.push_back(next.key);
    next.key = key;
  }
  next.id = update.CatalogueId();
  next.floor = update.CatalogueSerial();
  if (!record_path_.empty()) {
    try {
      TTrustRecord{next.key, next.retired, *next.floor, std::string(bytes)}.Write(record_path_);
    } catch (const ETrustRecord& e) {
      return std::string("the update cannot be kept: ") + e.what();
    }
  }
  catalogue_ = std::move(update);
  trust_ = std::move(next);
  source_ = csUpdate;
  authenticated_ = true;
  return {};
}

}  // namespace quillon
