#include "base/sha256_hasher.h"

#include <openssl/evp.h>

namespace quillon {

namespace {

// The algorithm is fetched once; EVP_sha256() would look it up on every init.
const EVP_MD* Sha256() {
  static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (md == nullptr) throw ECryptoError("SHA-256 is not available");
  return md;
}

}  // namespace

TSha256Hasher::TSha256Hasher() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr) throw ECryptoError("cannot create a SHA-256 context");
  try {
    Reset();
  } catch (...) {
    EVP_MD_CTX_free(ctx_);
    throw;
  }
}

TSha256Hasher::~TSha256Hasher() { EVP_MD_CTX_free(ctx_); }

void TSha256Hasher::Reset() {
  if (EVP_DigestInit_ex2(ctx_, Sha256(), nullptr) != 1) throw ECryptoError("SHA-256 init failed");
  length_ = 0;
  finished_ = false;
  digest_.clear();
}

void TSha256Hasher::Update(const void* data, size_t length) {
  if (finished_) throw ECryptoError("SHA-256: bytes fed after the digest was taken");
  if (length == 0) return;
  if (EVP_DigestUpdate(ctx_, data, length) != 1) throw ECryptoError("SHA-256 update failed");
  length_ += length;
}

std::string TSha256Hasher::Digest() {
  if (!finished_) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx_, out, &size) != 1 || size != kDigestSize)
      throw ECryptoError("SHA-256 final failed");
    digest_.assign(reinterpret_cast<const char*>(out), size);
    finished_ = true;
  }
  return digest_;
}

std::string TSha256Hasher::HexDigest() { return HexEncode(Digest()); }

std::string TSha256Hasher::HexOf(std::string_view bytes) {
  TSha256Hasher h;
  h.Update(bytes);
  return h.HexDigest();
}

std::string HexEncode(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

bool IsSha256Hex(std::string_view text) {
  if (text.size() != 2 * TSha256Hasher::kDigestSize) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

}  // namespace quillon
