#include "app/catalogue_trust.h"

#include "app/catalogue_signature.h"
#include "base/memory_stream.h"

namespace quillon {

std::string PublisherSignatureProblem(const TCatalogue& catalogue, std::string_view bytes) {
  if (!catalogue.HasPublisherKey()) return {};
  const auto key = catalogue.PublisherKey();
  if (!key) return "its Publisher_Key is not the base64 of a 32-byte key";
  return CatalogueSignatureProblem(bytes, *key);
}

std::string UpdateRefusal(const TCatalogue& current, std::string_view fetched) {
  if (!current.HasPublisherKey()) return {};
  const auto key = current.PublisherKey();
  if (!key || !CatalogueSignatureProblem(fetched, *key).empty()) return std::string(kUpdateNotSigned);
  TCatalogue update;
  TStringStream stream{std::string(fetched)};
  update.LoadFromStream(stream);
  const auto serial = update.CatalogueSerial();
  if (!serial) return std::string(kUpdateWithoutSerial);
  const auto in_use = current.CatalogueSerial();
  if (in_use && *serial <= *in_use) return std::string(kUpdateOlder);
  return {};
}

}  // namespace quillon
