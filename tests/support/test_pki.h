// Certificates for TLS tests, made at test time with the OpenSSL library (no
// key is ever committed): a test CA, a second CA that no client trusts, and
// server certificates for given names, issuers and validity periods.
//
//   TestPki pki(dir.path());
//   TestPki::Leaf good = pki.Server("good", {"localhost", "127.0.0.1"});
//   TestPki::Leaf old = pki.Server("old", {"localhost"}, TestPki::kTestCa, -30, -1);
//   nginx.EnableTls(good);  client.SetSslCAFile(pki.CaFile());
//
// TlsPeer runs the server side of TLS on an accepted socket of a scripted
// peer, for cases no real server produces (a close without close-notify).
// A write to a client that already left fails instead of raising SIGPIPE.
#pragma once

#include <signal.h>

#include <string>
#include <vector>

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

 private:
  std::string dir_, ca_file_;
  std::string ca_pem_, ca_key_pem_, other_pem_, other_key_pem_;
};

class TlsPeer {
 public:
  // Server side of TLS on fd (blocking) with the certificate and key of leaf.
  TlsPeer(int fd, const TestPki::Leaf& leaf);
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;
  bool Accept();
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
  sigset_t old_mask_;  // the thread's signal mask before the peer
};

}  // namespace quillon::testing
