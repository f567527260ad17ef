// The OpenSSL wrappers: SHA-256 over pieces and Ed25519 keys, signatures and
// their failure paths.
#include <gtest/gtest.h>

#include "base/ed25519_key.h"
#include "base/sha256_hasher.h"

namespace quillon {
namespace {

std::string Unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

TEST(Sha256, KnownDigestsWhateverThePieces) {
  struct Case {
    std::string input;
    const char* hex;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TSha256Hasher::HexOf(c.input), c.hex);
    // Fed in uneven pieces, with empty ones between.
    TSha256Hasher h;
    for (size_t pos = 0, step = 1; pos < c.input.size(); pos += step, step = step * 3 + 1) {
      h.Update(std::string_view(c.input).substr(pos, step));
      h.Update("", 0);
    }
    EXPECT_EQ(h.Length(), c.input.size());
    EXPECT_EQ(h.HexDigest(), c.hex);
    EXPECT_EQ(h.HexDigest(), c.hex) << "the digest is kept";
    EXPECT_THROW(h.Update("x"), ECryptoError);
    h.Reset();
    h.Update(c.input);
    EXPECT_EQ(h.HexDigest(), c.hex);
  }
}

TEST(Ed25519, KnownVectorVerifies) {
  // A published test vector: key, empty message, signature.
  const std::string pub = Unhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  const std::string sig = Unhex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
  EXPECT_TRUE(TEd25519Key::Verify(pub, "", sig));
  EXPECT_FALSE(TEd25519Key::Verify(pub, "x", sig));
}

TEST(Ed25519, SignVerifyAndPemRoundTrip) {
  const TEd25519Key key = TEd25519Key::Generate();
  const std::string pub = key.PublicRaw();
  ASSERT_EQ(pub.size(), 32u);
  const std::string sig = key.Sign("catalogue bytes");
  ASSERT_EQ(sig.size(), 64u);
  EXPECT_TRUE(TEd25519Key::Verify(pub, "catalogue bytes", sig));

  const TEd25519Key again = TEd25519Key::FromPrivatePem(key.PrivatePem());
  EXPECT_EQ(again.PublicRaw(), pub);
  EXPECT_TRUE(TEd25519Key::Verify(pub, "other", again.Sign("other")));

  const TEd25519Key public_only = TEd25519Key::FromPublicRaw(pub);
  EXPECT_FALSE(public_only.HasPrivate());
  EXPECT_TRUE(public_only.Verify("catalogue bytes", sig));
  EXPECT_THROW(public_only.Sign("x"), ECryptoError);
  EXPECT_THROW(public_only.PrivatePem(), ECryptoError);
}

TEST(Ed25519, FailuresAreAnswersOrErrors) {
  const TEd25519Key key = TEd25519Key::Generate();
  const std::string sig = key.Sign("m");
  std::string flipped = sig;
  flipped[10] ^= 1;
  EXPECT_FALSE(TEd25519Key::Verify(key.PublicRaw(), "m", flipped));
  EXPECT_FALSE(TEd25519Key::Verify(key.PublicRaw(), "m", sig.substr(0, 63)));
  EXPECT_FALSE(TEd25519Key::Verify(key.PublicRaw().substr(0, 31), "m", sig));
  EXPECT_THROW(TEd25519Key::FromPrivatePem("not a key"), ECryptoError);
  // A key file cut short is refused, not half used.
  const std::string pem = key.PrivatePem();
  EXPECT_THROW(TEd25519Key::FromPrivatePem(pem.substr(0, pem.size() / 2)), ECryptoError);
}

}  // namespace
}  // namespace quillon
