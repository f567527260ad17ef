#include "catalogue/trust_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/base64.h"
#include "base/ed25519_key.h"
#include "base/private_file.h"
#include "base/sha256_hasher.h"
#include "base/strings.h"
#include "catalogue/catalogue.h"

namespace quillon {

namespace {

constexpr std::string_view kMagic = "quillon trust record 1\n";
// A record holds one catalogue (at most the 64 MiB an update may have) and a
// few lines; anything larger is not a record.
constexpr int64_t kMaxRecordBytes = (int64_t{64} << 20) + 65536;

}  // namespace

std::string TTrustRecord::Folder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/quillon";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/state/quillon";
}

std::string TTrustRecord::PathFor(std::string_view catalogue_id, std::string_view key_raw) {
  std::string name;
  if (catalogue_id.empty())
    name = "key-" + HexEncode(key_raw);
  else if (TCatalogue::IsPlainCatalogueId(catalogue_id))
    name = "id-" + std::string(catalogue_id);
  else
    name = "id-sha256-" + TSha256Hasher::HexOf(catalogue_id);
  return Folder() + "/" + name + ".record";
}

std::string TTrustRecord::BesidePath(const std::string& path, std::string_view key_raw) {
  constexpr std::string_view kSuffix = ".record";
  return path.substr(0, path.size() - kSuffix.size()) + "-key-" + HexEncode(key_raw) + std::string(kSuffix);
}

std::string TTrustRecord::FolderProblem() {
  const std::string folder = Folder();
  const std::string reason = NotPrivateReason(folder);
  if (reason.empty()) return {};
  // "it is writable by others" -> "the trust record folder F is writable by others"
  return "the trust record folder " + folder + reason.substr(2);
}

std::string TTrustRecord::Encode() const {
  std::string out(kMagic);
  out += "key: " + Base64Encode(key) + "\n";
  for (const std::string& k : retired) out += "retired: " + Base64Encode(k) + "\n";
  out += "serial: " + std::to_string(serial) + "\n";
  out += "catalogue: " + std::to_string(catalogue.size()) + "\n";
  out += catalogue;
  return out;
}

TTrustRecord TTrustRecord::Decode(std::string_view bytes) {
  if (bytes.substr(0, kMagic.size()) != kMagic) throw ETrustRecord("it is not a trust record");
  size_t pos = kMagic.size();
  // The next "NAME: VALUE" line; false at the end of the bytes.
  auto line = [&](std::string_view& name, std::string_view& value) {
    const size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) return false;
    const std::string_view text = bytes.substr(pos, end - pos);
    const size_t colon = text.find(": ");
    if (colon == std::string_view::npos) throw ETrustRecord("a line of it is not \"name: value\"");
    name = text.substr(0, colon);
    value = text.substr(colon + 2);
    pos = end + 1;
    return true;
  };
  auto key = [](std::string_view value) {
    const auto raw = Base64Decode(value);
    if (!raw || raw->size() != TEd25519Key::kPublicKeySize || Base64Encode(*raw) != value)
      throw ETrustRecord("a key in it is not the base64 of 32 bytes");
    return *raw;
  };
  TTrustRecord record;
  std::string_view name, value;
  if (!line(name, value) || name != "key") throw ETrustRecord("its current key is missing");
  record.key = key(value);
  for (;;) {
    if (!line(name, value)) throw ETrustRecord("its serial is missing");
    if (name != "retired") break;
    record.retired.push_back(key(value));
  }
  const auto serial = ParseDecimalDigits(value);
  if (name != "serial" || !serial) throw ETrustRecord("its serial is missing");
  record.serial = *serial;
  const auto length = [&]() -> std::optional<int64_t> {
    if (!line(name, value) || name != "catalogue") return std::nullopt;
    return ParseDecimalDigits(value);
  }();
  if (!length || static_cast<uint64_t>(*length) != bytes.size() - pos)
    throw ETrustRecord("its catalogue's length does not match the file");
  record.catalogue.assign(bytes.substr(pos));
  return record;
}

std::optional<TTrustRecord> TTrustRecord::Read(const std::string& path) {
  try {
    const std::optional<std::string> bytes = ReadPrivateFile(path, kMaxRecordBytes, "a trust record");
    if (!bytes) return std::nullopt;
    return Decode(*bytes);
  } catch (const EPrivateFile& e) {
    throw ETrustRecord(e.what());
  }
}

void TTrustRecord::Write(const std::string& path) const {
  try {
    WritePrivateFile(path, Encode(), /*sync=*/true);
  } catch (const EPrivateFile& e) {
    throw ETrustRecord("the trust record " + path + " cannot be written: " + e.what());
  }
}

TTrustLock::TTrustLock() {
  const std::string folder = TTrustRecord::Folder();
  const std::string path = folder + "/trust.lock";
  try {
    MakePrivateFolder(folder);
  } catch (const EPrivateFile& e) {
    throw ETrustRecord(std::string("the trust records cannot be locked: ") + e.what());
  }
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) throw ETrustRecord("the trust records cannot be locked: " + path + ": " + std::strerror(errno));
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd_);
    throw ETrustRecord("the trust records cannot be locked: " + path + ": " + std::strerror(error));
  }
}

TTrustLock::~TTrustLock() { ::close(fd_); }  // closing the last descriptor releases the lock

}  // namespace quillon
