// libFuzzer entry point: the bytes are a catalogue as it arrives, searched for
// its signature comment, checked against a publisher's key, and signed.
//
// Checked: the signed part is the start of the bytes; a present signature is
// 64 bytes whose comment is exactly the rest of the bytes; bytes called
// unsigned hold no signature comment; bytes signed by the key verify, and
// signing them again gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "catalogue/catalogue_signature.h"
#include "base/ed25519_key.h"
#include "fuzz_check.h"

namespace {

using namespace quillon;

using fuzz::Check;

const TEd25519Key& Key() {
  static const TEd25519Key key = TEd25519Key::Generate();
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const TCatalogueSignature split = SplitCatalogueSignature(bytes);
  Check(split.signed_bytes.data() == bytes.data() && split.signed_bytes.size() <= bytes.size(),
        "the signed part is not the start of the bytes");
  switch (split.state) {
    case TCatalogueSignature::csUnsigned:
      Check(bytes.find("<!--signature") == std::string_view::npos, "a signature comment taken for none");
      Check(split.signed_bytes.size() == bytes.size(), "unsigned bytes cut");
      break;
    case TCatalogueSignature::csMalformed:
      Check(!split.problem.empty(), "a malformed signature without a problem");
      Check(split.signed_bytes.size() == bytes.size(), "malformed bytes cut");
      break;
    case TCatalogueSignature::csPresent:
      Check(split.signature.size() == TEd25519Key::kSignatureSize, "a signature that is not 64 bytes");
      Check(SignatureComment(split.signature) == bytes.substr(split.signed_bytes.size()),
            "the signature comment is not the rest of the bytes");
      break;
  }
  const std::string public_raw = Key().PublicRaw();
  const std::string problem = CatalogueSignatureProblem(bytes, public_raw);
  Check(split.state == TCatalogueSignature::csPresent || !problem.empty(), "bytes without a signature verify");

  if (split.state == TCatalogueSignature::csMalformed) return 0;
  const std::string signed_bytes = SignCatalogue(bytes, Key());
  Check(CatalogueSignatureProblem(signed_bytes, public_raw).empty(), "bytes signed by the key do not verify");
  Check(SignCatalogue(signed_bytes, Key()) == signed_bytes, "signing twice changes the bytes");
  return 0;
}
