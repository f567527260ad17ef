// The publisher's signature on a catalogue's bytes.
//
// A signed catalogue ends, after its root element, with exactly one comment
//
//   <!--signature ed25519 BASE64-->
//
// where BASE64 is the standard base64 (88 characters, "=" padded, nothing
// else) of the 64-byte Ed25519 signature of every byte before the comment:
// the declaration, its line break and the tree, exactly as stored. Nothing may
// follow the comment, not even a line break, and "<!--signature" may occur
// nowhere else in the bytes (a second signature comment makes the catalogue
// malformed, so that no signed prefix can be hidden in front of another).
// The XML reader takes the comment as an ordinary top-level comment.
//
// These functions work on bytes only; they never parse the XML.
#pragma once

#include <string>
#include <string_view>

#include "base/ed25519_key.h"
#include "base/exceptions.h"

namespace quillon {

// A catalogue that cannot be signed as asked.
class ECatalogueSignature : public Exception {
 public:
  using Exception::Exception;
};

struct TCatalogueSignature {
  enum TState {
    csUnsigned,   // no "<!--signature" anywhere
    csMalformed,  // a signature comment that breaks the form above; see problem
    csPresent,    // one well-formed comment at the very end
  };
  TState state = csUnsigned;
  // Every byte before the comment; the whole input when unsigned or malformed.
  std::string_view signed_bytes;
  std::string signature;  // the 64 signature bytes when present
  std::string problem;    // what is wrong when malformed
};

// The signature comment's text for a 64-byte signature.
std::string SignatureComment(std::string_view signature);

// Splits the bytes into the signed part and the signature. The views point
// into `bytes`.
TCatalogueSignature SplitCatalogueSignature(std::string_view bytes);

// Empty when the bytes carry a well-formed signature by the key (32 raw bytes);
// otherwise why not: "it carries no signature", "its signature comment is
// malformed: ...", "its signature does not match the publisher's key".
std::string CatalogueSignatureProblem(std::string_view bytes, std::string_view public_raw);

// The bytes signed by the key: an old signature comment is replaced, an
// unsigned catalogue gets one. ECatalogueSignature when the bytes hold a
// malformed signature comment.
std::string SignCatalogue(std::string_view bytes, const TEd25519Key& key);

}  // namespace quillon
