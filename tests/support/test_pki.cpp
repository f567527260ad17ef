#include "tests/support/test_pki.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <csignal>
#include <memory>
#include <stdexcept>

#include "tests/support/temp_dir.h"

namespace quillon::testing {

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificates: ") + what + " failed");
}

KeyPtr NewKey() {
  // P-256 keys: quick to make, accepted everywhere.
  return KeyPtr(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

std::string KeyPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  Check(PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "key PEM");
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(n));
  BIO_free(bio);
  return pem;
}

std::string CertPem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  Check(PEM_write_bio_X509(bio, cert) == 1, "certificate PEM");
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(n));
  BIO_free(bio);
  return pem;
}

// Reads one object from PEM text with read (a PEM_read_bio_* function).
template <typename T, typename Read>
std::unique_ptr<T, void (*)(T*)> ReadPem(const std::string& pem, Read read, void (*free)(T*), const char* what) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  std::unique_ptr<T, void (*)(T*)> object(read(bio, nullptr, nullptr, nullptr), free);
  BIO_free(bio);
  Check(object != nullptr, what);
  return object;
}

KeyPtr ReadKey(const std::string& pem) {
  return ReadPem(pem, PEM_read_bio_PrivateKey, EVP_PKEY_free, "reading a key");
}

CertPtr ReadCert(const std::string& pem) { return ReadPem(pem, PEM_read_bio_X509, X509_free, "reading a certificate"); }

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "an extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for subject_key named common_name, signed by issuer_key
// (issuer nullptr: by itself).
CertPtr MakeCert(const std::string& common_name, EVP_PKEY* subject_key, X509* issuer, EVP_PKEY* issuer_key,
                 bool ca, const std::string& alt_names, int from_days, int to_days) {
  static long serial = 1;
  CertPtr cert(X509_new(), X509_free);
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++ + static_cast<long>(time(nullptr) % 100000) * 1000);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(from_days) * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(to_days) * 86400);
  X509_set_pubkey(cert.get(), subject_key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name.c_str()),
                             -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  if (ca) {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    if (!alt_names.empty()) AddExtension(cert.get(), signer, NID_subject_alt_name, alt_names);
  }
  AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  Check(X509_sign(cert.get(), issuer_key, EVP_sha256()) > 0, "signing");
  return cert;
}

}  // namespace

TestPki::TestPki(const std::string& dir) : dir_(dir), ca_file_(dir + "/test-ca.pem") {
  KeyPtr ca_key = NewKey();
  Check(ca_key != nullptr, "a CA key");
  CertPtr ca = MakeCert("Quillon Test CA", ca_key.get(), nullptr, ca_key.get(), true, "", -1, 365);
  ca_pem_ = CertPem(ca.get());
  ca_key_pem_ = KeyPem(ca_key.get());
  KeyPtr other_key = NewKey();
  CertPtr other = MakeCert("Untrusted Test CA", other_key.get(), nullptr, other_key.get(), true, "", -1, 365);
  other_pem_ = CertPem(other.get());
  other_key_pem_ = KeyPem(other_key.get());
  WriteFile(ca_file_, ca_pem_);
}

TestPki::Leaf TestPki::Server(const std::string& label, const std::vector<std::string>& names, Issuer issuer,
                              int from_days, int to_days) {
  std::string alt;
  for (const std::string& n : names) {
    in_addr a{};
    alt += (alt.empty() ? "" : ",") + std::string(inet_pton(AF_INET, n.c_str(), &a) == 1 ? "IP:" : "DNS:") + n;
  }
  return Issue(label, names.empty() ? label : names.front(), alt, issuer, from_days, to_days);
}

TestPki::Leaf TestPki::CommonNameOnly(const std::string& label, const std::string& common_name) {
  return Issue(label, common_name, "", kTestCa, -1, 30);
}

TestPki::Leaf TestPki::Issue(const std::string& label, const std::string& common_name, const std::string& alt_names,
                             Issuer issuer, int from_days, int to_days) {
  KeyPtr key = NewKey();
  Check(key != nullptr, "a server key");
  CertPtr cert(nullptr, X509_free);
  if (issuer == kSelf) {
    cert = MakeCert(common_name, key.get(), nullptr, key.get(), false, alt_names, from_days, to_days);
  } else {
    CertPtr ca = ReadCert(issuer == kTestCa ? ca_pem_ : other_pem_);
    KeyPtr ca_key = ReadKey(issuer == kTestCa ? ca_key_pem_ : other_key_pem_);
    cert = MakeCert(common_name, key.get(), ca.get(), ca_key.get(), false, alt_names, from_days, to_days);
  }
  Leaf leaf{dir_ + "/" + label + ".pem", dir_ + "/" + label + ".key"};
  WriteFile(leaf.cert, CertPem(cert.get()));
  WriteFile(leaf.key, KeyPem(key.get()));
  return leaf;
}

// ---- TlsPeer ---------------------------------------------------------------------

TlsPeer::TlsPeer(int fd, const TestPki::Leaf& leaf) {
  // OpenSSL writes to the socket with write(): a client that has gone already
  // must fail the write, not end the test program with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  // Every read and write of the peer waits a bounded time.
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (ctx_ == nullptr) return;
  if (SSL_CTX_use_certificate_file(ctx_, leaf.cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx_, leaf.key.c_str(), SSL_FILETYPE_PEM) != 1)
    return;
  ssl_ = SSL_new(ctx_);
  if (ssl_ != nullptr) SSL_set_fd(ssl_, fd);
}

TlsPeer::~TlsPeer() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  ERR_clear_error();
}

void TlsPeer::OnlyOldVersions() {
  if (ssl_ == nullptr) return;
  SSL_set_min_proto_version(ssl_, TLS1_VERSION);
  SSL_set_max_proto_version(ssl_, TLS1_1_VERSION);
  SSL_set_cipher_list(ssl_, "DEFAULT:@SECLEVEL=0");
}

bool TlsPeer::Accept() { return ssl_ != nullptr && SSL_accept(ssl_) == 1; }

std::string TlsPeer::ServerName() const {
  const char* name = ssl_ != nullptr ? SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name) : nullptr;
  return name != nullptr ? name : "";
}

std::string TlsPeer::ReadUntil(const std::string& delimiter) {
  std::string got;
  char c;
  while (ssl_ != nullptr && got.find(delimiter) == std::string::npos) {
    if (SSL_read(ssl_, &c, 1) != 1) break;
    got.push_back(c);
  }
  return got;
}

std::string TlsPeer::ReadToEnd(bool* clean) {
  std::string got;
  char buf[4096];
  *clean = false;
  while (ssl_ != nullptr) {
    int n = SSL_read(ssl_, buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
      continue;
    }
    *clean = SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN;
    break;
  }
  return got;
}

bool TlsPeer::Write(const std::string& data) {
  return ssl_ != nullptr && SSL_write(ssl_, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
}

void TlsPeer::Shutdown() {
  if (ssl_ != nullptr) SSL_shutdown(ssl_);
}

}  // namespace quillon::testing
