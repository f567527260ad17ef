// The program's rules for catalogues that name their publisher's key.
//
// - The appended catalogue is trusted because it came inside the program file.
//   When it names a Publisher_Key, it must also carry a valid signature by
//   that key (catalogue_signature.h); otherwise the window offers nothing and
//   says kNotSignedByPublisher.
// - An update, when the catalogue in use names a Publisher_Key, is checked in
//   two steps. On its raw bytes, before anything parses them: it must be
//   signed by the current key (a signature by a retired key is named as
//   such). Then, parsed: it names a valid Publisher_Key (another key than the
//   current one is a hand-over: the current key vouches for the new one), the
//   same Catalogue_Id as the line (when the line has none, any id or none:
//   the line takes on the update's id for good), a
//   Catalogue_Serial greater than every serial accepted for the line, and it
//   has not expired. A key once retired stays retired: an update that names
//   one as current is refused. A catalogue in use without a key accepts any update, as
//   before.
//
// What is kept between runs is in trust_record.h; catalogue_in_use.h applies
// these rules to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/catalogue.h"

namespace quillon {

inline constexpr std::string_view kNotSignedByPublisher = "This catalogue is not signed by its publisher.";
inline constexpr std::string_view kUpdateNotSigned = "the update is not signed by the publisher";
inline constexpr std::string_view kUpdateOlder = "the update is older than the catalogue in use";
inline constexpr std::string_view kUpdateWithoutSerial = "the update carries no Catalogue_Serial";
inline constexpr std::string_view kUpdateOtherCatalogue = "the update is for another catalogue";
inline constexpr std::string_view kUpdateExpired = "the update has expired";
inline constexpr std::string_view kUpdateRetiredKey = "the update is signed by a key the publisher has retired";
inline constexpr std::string_view kUpdateNamesRetiredKey = "the update names a key the publisher has retired";
inline constexpr std::string_view kUpdateNotNewer = "no newer catalogue is published";

// What a catalogue in use that names a key trusts.
struct TTrustState {
  std::string id;                    // Catalogue_Id of the line, or the one it took on; empty: none
  std::string key;                   // the current key, 32 raw bytes
  std::vector<std::string> retired;  // keys handed over from, oldest first
  std::optional<int64_t> floor;      // an update's serial must be greater
};

// Empty when the program may use `catalogue`, loaded from `bytes`: it names no
// Publisher_Key, or it carries a valid signature by it. Otherwise why not
// ("its Publisher_Key is not the base64 of a 32-byte key", or a reason of
// CatalogueSignatureProblem).
std::string PublisherSignatureProblem(const TCatalogue& catalogue, std::string_view bytes);

// The check on the fetched bytes alone (nothing is parsed; the time is one
// pass over them per key): kUpdateNotSigned, kUpdateRetiredKey, or empty when
// the current key signed them.
std::string UpdateSignatureRefusal(const TTrustState& trust, std::string_view fetched);

// The check of the parsed update whose signature holds, at `now` (seconds
// since 1970): kUpdateNotSigned (it names no valid key), kUpdateNamesRetiredKey,
// kUpdateOtherCatalogue, kUpdateWithoutSerial, kUpdateOlder, kUpdateExpired,
// or empty. A
// Catalogue_Expires that is not a date and time counts as expired.
std::string UpdateContentRefusal(const TTrustState& trust, const TCatalogue& update, int64_t now);

}  // namespace quillon
