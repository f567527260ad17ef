#include "base/ed25519_key.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>
#include <utility>

namespace quillon {

namespace {

// The first error OpenSSL queued for this thread, after `what`; the queue is
// emptied so that later messages do not carry stale errors.
[[noreturn]] void Fail(const std::string& what) {
  std::string message = what;
  if (const unsigned long code = ERR_get_error(); code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    message += " (";
    message += text;
    message += ")";
  }
  ERR_clear_error();
  throw ECryptoError(message);
}

struct TMdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using TMdCtx = std::unique_ptr<EVP_MD_CTX, TMdCtxFree>;

struct TBioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using TBio = std::unique_ptr<BIO, TBioFree>;

}  // namespace

TEd25519Key::~TEd25519Key() { EVP_PKEY_free(key_); }

TEd25519Key::TEd25519Key(TEd25519Key&& other) noexcept
    : key_(std::exchange(other.key_, nullptr)), has_private_(std::exchange(other.has_private_, false)) {}

TEd25519Key& TEd25519Key::operator=(TEd25519Key&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(key_);
    key_ = std::exchange(other.key_, nullptr);
    has_private_ = std::exchange(other.has_private_, false);
  }
  return *this;
}

TEd25519Key TEd25519Key::Generate() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (key == nullptr) Fail("cannot generate an Ed25519 key");
  return TEd25519Key(key, true);
}

namespace {

// The Ed25519 key that read (a PEM reader of OpenSSL's) finds in pem; kind
// ("private", "public") names it in the failures.
template <typename Read>
EVP_PKEY* ReadEd25519Pem(std::string_view pem, Read read, const std::string& kind) {
  TBio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) Fail("cannot read the key");
  EVP_PKEY* key = read(bio.get());
  if (key == nullptr) Fail("not a PEM " + kind + " key");
  if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(key);
    Fail("the " + kind + " key is not an Ed25519 key");
  }
  return key;
}

}  // namespace

TEd25519Key TEd25519Key::FromPrivatePem(std::string_view pem) {
  // An encrypted key fails here rather than asking for its passphrase on
  // the terminal.
  auto read = [](BIO* bio) {
    pem_password_cb* no_passphrase = [](char*, int, int, void*) { return 0; };
    return PEM_read_bio_PrivateKey(bio, nullptr, no_passphrase, nullptr);
  };
  return TEd25519Key(ReadEd25519Pem(pem, read, "private"), true);
}

TEd25519Key TEd25519Key::FromPublicPem(std::string_view pem) {
  auto read = [](BIO* bio) { return PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr); };
  return TEd25519Key(ReadEd25519Pem(pem, read, "public"), false);
}

TEd25519Key TEd25519Key::FromPublicRaw(std::string_view raw) {
  if (raw.size() != kPublicKeySize) throw ECryptoError("an Ed25519 public key is 32 bytes");
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                              reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
  if (key == nullptr) Fail("not an Ed25519 public key");
  return TEd25519Key(key, false);
}

std::string TEd25519Key::PrivatePem() const {
  if (!has_private_) throw ECryptoError("no private key");
  TBio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    Fail("cannot write the private key");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

std::string TEd25519Key::PublicRaw() const {
  std::string raw(kPublicKeySize, '\0');
  size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key_, reinterpret_cast<unsigned char*>(raw.data()), &size) != 1 ||
      size != kPublicKeySize)
    Fail("cannot read the public key");
  return raw;
}

std::string TEd25519Key::Sign(std::string_view message) const {
  if (!has_private_) throw ECryptoError("signing needs a private key");
  TMdCtx ctx(EVP_MD_CTX_new());
  std::string signature(kSignatureSize, '\0');
  size_t size = signature.size();
  // Ed25519 signs the message in one pass (no separate digest).
  if (!ctx || EVP_DigestSignInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key_, nullptr) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      size != kSignatureSize)
    Fail("signing failed");
  return signature;
}

bool TEd25519Key::Verify(std::string_view message, std::string_view signature) const {
  if (signature.size() != kSignatureSize) return false;
  TMdCtx ctx(EVP_MD_CTX_new());
  const bool ok =
      ctx && EVP_DigestVerifyInit_ex(ctx.get(), nullptr, nullptr, nullptr, nullptr, key_, nullptr) == 1 &&
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                       reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1;
  // A mismatch queues an error; it is an answer, not a failure.
  ERR_clear_error();
  return ok;
}

bool TEd25519Key::Verify(std::string_view public_raw, std::string_view message, std::string_view signature) {
  if (public_raw.size() != kPublicKeySize) return false;
  try {
    return FromPublicRaw(public_raw).Verify(message, signature);
  } catch (const ECryptoError&) {
    return false;
  }
}

}  // namespace quillon
