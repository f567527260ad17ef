// The program's rules for catalogues that name their publisher's key.
//
// - The appended catalogue is trusted because it came inside the program file.
//   When it names a Publisher_Key, it must also carry a valid signature by
//   that key (catalogue_signature.h); otherwise the window offers nothing and
//   says kNotSignedByPublisher.
// - An update, when the catalogue in use names a Publisher_Key, is accepted
//   only when it is signed by that key (it may name another key: that is how
//   a publisher rotates keys, with the old key vouching for the new one) and
//   its Catalogue_Serial is greater than the one in use (a catalogue in use
//   without a serial counts as older than any serial). A catalogue in use
//   without a key accepts any update, as before.
#pragma once

#include <string>
#include <string_view>

#include "app/catalogue.h"

namespace quillon {

inline constexpr std::string_view kNotSignedByPublisher = "This catalogue is not signed by its publisher.";
inline constexpr std::string_view kUpdateNotSigned = "the update is not signed by the publisher";
inline constexpr std::string_view kUpdateOlder = "the update is older than the catalogue in use";
inline constexpr std::string_view kUpdateWithoutSerial = "the update carries no Catalogue_Serial";

// Empty when the program may use `catalogue`, loaded from `bytes`: it names no
// Publisher_Key, or it carries a valid signature by it. Otherwise why not
// ("its Publisher_Key is not the base64 of a 32-byte key", or a reason of
// CatalogueSignatureProblem).
std::string PublisherSignatureProblem(const TCatalogue& catalogue, std::string_view bytes);

// Empty when the fetched bytes may replace `current`; otherwise the reason
// shown to the user (kUpdateNotSigned, kUpdateOlder, kUpdateWithoutSerial).
// The bytes are parsed only when `current` names a key and the signature
// holds; the parser's errors then propagate.
std::string UpdateRefusal(const TCatalogue& current, std::string_view fetched);

}  // namespace quillon
