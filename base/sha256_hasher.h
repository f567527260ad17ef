// TSha256Hasher: an incremental SHA-256 digest over bytes fed in pieces, as a
// download hashes its body while it arrives. The digest itself comes from
// OpenSSL 3 (EVP); this class only owns the context.
//
//   TSha256Hasher h;
//   h.Update(chunk1); h.Update(chunk2);
//   std::string hex = h.HexDigest();   // 64 lowercase hexadecimal digits
//
// Contract:
// - Update is cheap per call (one EVP_DigestUpdate, no allocation) and accepts
//   any length, also 0.
// - Digest/HexDigest end the computation and return the digest of every byte
//   fed since construction or the last Reset; after that only Reset, Digest
//   and HexDigest may be called (they return the same value again). Update
//   after the end raises ECryptoError.
// - A failure inside OpenSSL (never expected) raises ECryptoError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/exceptions.h"

struct evp_md_ctx_st;

namespace quillon {

// A failure of the cryptographic library or a misuse of its wrappers.
class ECryptoError : public Exception {
 public:
  using Exception::Exception;
};

class TSha256Hasher {
 public:
  static constexpr size_t kDigestSize = 32;

  TSha256Hasher();
  ~TSha256Hasher();
  TSha256Hasher(const TSha256Hasher&) = delete;
  TSha256Hasher& operator=(const TSha256Hasher&) = delete;

  void Update(const void* data, size_t length);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // The 32 digest bytes.
  std::string Digest();
  // The digest as 64 lowercase hexadecimal digits.
  std::string HexDigest();
  // Starts a new digest over no bytes.
  void Reset();
  // Bytes fed since construction or the last Reset.
  uint64_t Length() const { return length_; }

  // The hexadecimal digest of one piece of bytes.
  static std::string HexOf(std::string_view bytes);

 private:
  evp_md_ctx_st* ctx_;
  uint64_t length_ = 0;
  bool finished_ = false;
  std::string digest_;
};

// Lowercase hexadecimal digits of bytes.
std::string HexEncode(std::string_view bytes);
// Whether the text is exactly 64 hexadecimal digits (either case).
bool IsSha256Hex(std::string_view text);

}  // namespace quillon
