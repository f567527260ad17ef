#include "catalogue/catalogue_signature.h"

#include "base/base64.h"

namespace quillon {

namespace {

constexpr std::string_view kMarker = "<!--signature";
constexpr std::string_view kPrefix = "<!--signature ed25519 ";
constexpr std::string_view kSuffix = "-->";

}  // namespace

std::string SignatureComment(std::string_view signature) {
  return std::string(kPrefix) + Base64Encode(signature) + std::string(kSuffix);
}

TCatalogueSignature SplitCatalogueSignature(std::string_view bytes) {
  TCatalogueSignature result;
  result.signed_bytes = bytes;
  const size_t pos = bytes.find(kMarker);
  if (pos == std::string_view::npos) return result;

  auto malformed = [&](std::string problem) {
    result.state = TCatalogueSignature::csMalformed;
    result.problem = std::move(problem);
    return result;
  };
  if (bytes.find(kMarker, pos + 1) != std::string_view::npos) return malformed("a second signature comment");
  const std::string_view comment = bytes.substr(pos);
  if (comment.substr(0, kPrefix.size()) != kPrefix)
    return malformed("it does not begin \"<!--signature ed25519 \"");
  const size_t end = comment.find(kSuffix, kPrefix.size());
  if (end == std::string_view::npos) return malformed("the comment is not closed");
  if (end + kSuffix.size() != comment.size()) return malformed("text after the signature comment");
  const std::string_view text = comment.substr(kPrefix.size(), end - kPrefix.size());
  // Only the one encoding of 64 bytes is accepted: no white space, no other
  // padding bits, so that every change to the comment is a change of the
  // signature.
  const auto signature = Base64Decode(text);
  if (!signature || signature->size() != TEd25519Key::kSignatureSize || Base64Encode(*signature) != text)
    return malformed("the signature is not the base64 of 64 bytes");
  result.state = TCatalogueSignature::csPresent;
  result.signed_bytes = bytes.substr(0, pos);
  result.signature = *signature;
  return result;
}

std::string CatalogueSignatureProblem(std::string_view bytes, std::string_view public_raw) {
  const TCatalogueSignature split = SplitCatalogueSignature(bytes);
  switch (split.state) {
    case TCatalogueSignature::csUnsigned:
      return "it carries no signature";
    case TCatalogueSignature::csMalformed:
      return "its signature comment is malformed: " + split.problem;
    case TCatalogueSignature::csPresent:
      break;
  }
  if (!TEd25519Key::Verify(public_raw, split.signed_bytes, split.signature))
    return "its signature does not match the publisher's key";
  return {};
}

std::string SignCatalogue(std::string_view bytes, const TEd25519Key& key) {
  const TCatalogueSignature split = SplitCatalogueSignature(bytes);
  if (split.state == TCatalogueSignature::csMalformed)
    throw ECatalogueSignature("the catalogue's signature comment is malformed: " + split.problem);
  std::string out(split.signed_bytes);
  out += SignatureComment(key.Sign(split.signed_bytes));
  return out;
}

}  // namespace quillon
