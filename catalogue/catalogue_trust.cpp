#include "catalogue/catalogue_trust.h"

#include <algorithm>

#include "base/ed25519_key.h"
#include "catalogue/catalogue_signature.h"

namespace quillon {

std::string PublisherSignatureProblem(const TCatalogue& catalogue, std::string_view bytes) {
  if (!catalogue.HasPublisherKey()) return {};
  const auto key = catalogue.PublisherKey();
  if (!key) return "its Publisher_Key is not the base64 of a 32-byte key";
  return CatalogueSignatureProblem(bytes, *key);
}

std::string UpdateSignatureRefusal(const TTrustState& trust, std::string_view fetched) {
  const TCatalogueSignature split = SplitCatalogueSignature(fetched);
  if (split.state != TCatalogueSignature::csPresent) return std::string(kUpdateNotSigned);
  if (TEd25519Key::Verify(trust.key, split.signed_bytes, split.signature)) return {};
  const bool retired = std::any_of(trust.retired.begin(), trust.retired.end(), [&](const std::string& key) {
    return TEd25519Key::Verify(key, split.signed_bytes, split.signature);
  });
  return std::string(retired ? kUpdateRetiredKey : kUpdateNotSigned);
}

std::string UpdateContentRefusal(const TTrustState& trust, const TCatalogue& update, int64_t now) {
  if (!update.PublisherKey()) return std::string(kUpdateNotSigned);
  const std::string key = *update.PublisherKey();
  if (std::find(trust.retired.begin(), trust.retired.end(), key) != trust.retired.end())
    return std::string(kUpdateNamesRetiredKey);
  // A line without an id takes on the id of an update that carries one
  // (program files signed before there were ids); a line with one keeps it.
  if (!trust.id.empty() && update.CatalogueId() != trust.id) return std::string(kUpdateOtherCatalogue);
  const auto serial = update.CatalogueSerial();
  if (!serial) return std::string(kUpdateWithoutSerial);
  if (trust.floor && *serial <= *trust.floor) return std::string(kUpdateOlder);
  if (update.HasCatalogueExpires()) {
    const auto expires = update.CatalogueExpires();
    if (!expires || *expires <= now) return std::string(kUpdateExpired);
  }
  return {};
}

}  // namespace quillon
