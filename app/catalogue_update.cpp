#include "app/catalogue_update.h"

#include <exception>
#include <memory>

#include "app/catalogue_trust.h"
#include "base/exceptions.h"
#include "base/strings.h"
#include "xml/xml_document.h"

namespace quillon {

int64_t TUpdateBodyStream::Write(const void* buffer, int64_t count) {
  if (count > 0 && pos_ + count > kMaxBytes) throw Exception(kTooLargeReason);
  return TMemoryStream::Write(buffer, count);
}

std::string AcceptFetchedCatalogue(TCatalogue& catalogue, TMemoryStream& body, int64_t content_length) {
  if (content_length < 0 || body.Size() != content_length) return "the answer is not complete";
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
  // A catalogue that names its publisher's key takes only that publisher's
  // newer catalogue.
  try {
    const std::string refusal =
        UpdateRefusal(catalogue, {body.Memory(), static_cast<size_t>(body.Size())});
    if (!refusal.empty()) return refusal;
  } catch (const std::exception&) {
    return "the answer is not a catalogue";
  }
  catalogue.Replace(std::move(doc));
  return {};
}

}  // namespace quillon
