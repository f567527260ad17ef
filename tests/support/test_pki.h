// Certificates for TLS tests, made at test time with the OpenSSL library (no
// key is ever committed): a test CA, a second CA that no client trusts, and
// server certificates for given names, issuers and validity periods.
//
//   TestPki pki(dir.path());
//   TestPki::Leaf good = pki.Server("good", {"localhost", "127.0.0.1"});
//   TestPki::Leaf old = pki.Server("old", {"localhost"}, TestPki::kTestCa, -30, -1);
//   TestPki::Leaf wild = pki.Server("wild", {"*.example.test"});
//   TestPki::Leaf cn = pki.CommonNameOnly("cn", "localhost");
//   nginx.EnableTls(good);  client.SetSslCAFile(pki.CaFile());
//
// TlsPeer runs the server side of TLS on an accepted socket of a scripted
// peer, for cases no real server produces (a close without close-notify, a
// close-notify without a close, a server of old protocol versions only).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

struct ssl_st;
struct ssl_ctx_st;

namespace quillon::testing {

class TestPki {
 public:
  enum Issuer { kTestCa, kOtherCa, kSelf };
  struct Leaf {
    std::string cert;  // PEM file of the certificate
    std::string key;   // PEM file of its private key
  };

  // Makes both CAs; their files go into dir.
  explicit TestPki(const std::string& dir);
  // The test CA's certificate, to be trusted by clients.
  const std::string& CaFile() const { return ca_file_; }
  // A server certificate for names (host names; dotted ones become IP
  // entries), valid from now + from_days to now + to_days.
  Leaf Server(const std::string& label, const std::vector<std::string>& names, Issuer issuer = kTestCa,
              int from_days = -1, int to_days = 30);
  // A server certificate of the test CA that names its host only in the
  // subject's common name, without subject alternative names.
  Leaf CommonNameOnly(const std::string& label, const std::string& common_name);

 private:
  // A server certificate with alt_names (an extension value; "" for none).
  Leaf Issue(const std::string& label, const std::string& common_name, const std::string& alt_names, Issuer issuer,
             int from_days, int to_days);

  std::string dir_, ca_file_;
  std::string ca_pem_, ca_key_pem_, other_pem_, other_key_pem_;
};

// A test with a PKI of its own in a temporary folder and a server certificate
// of the test CA for "localhost".
class LocalhostPkiTest : public ::testing::Test {
 protected:
  TempDir dir_;
  TestPki pki_{dir_.path()};
  TestPki::Leaf leaf_ = pki_.Server("server", {"localhost"});
};

class TlsPeer {
 public:
  // Server side of TLS on fd (blocking) with the certificate and key of leaf.
  TlsPeer(int fd, const TestPki::Leaf& leaf);
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;
  // Offers only TLS 1.0 and 1.1, with the ciphers they need (call before
  // Accept).
  void OnlyOldVersions();
  bool Accept();
  // The server name the client sent (SNI) during Accept; "" when none.
  std::string ServerName() const;
  // Reads until delimiter arrived (what came, when the peer stopped first).
  std::string ReadUntil(const std::string& delimiter);
  // Reads until the peer ends the connection; clean tells whether it sent a
  // close-notify first.
  std::string ReadToEnd(bool* clean);
  bool Write(const std::string& data);
  // Sends a close-notify. Without it, closing the socket is a truncation.
  void Shutdown();

 private:
  ssl_ctx_st* ctx_ = nullptr;
  ssl_st* ssl_ = nullptr;
};

}  // namespace quillon::testing
