// TTrustRecord: what the program keeps on disk about one line of signed
// catalogues, so that the rules for updates hold across restarts:
//
// - the publisher's current key and the keys it has retired (oldest first),
// - the highest Catalogue_Serial accepted,
// - the exact bytes of the last accepted catalogue.
//
// Records live in $XDG_STATE_HOME/quillon/ (~/.local/state/quillon/ when the
// variable is unset, empty or not an absolute path), named by the line's
// Catalogue_Id ("id-NAME.record") or by the publisher's key for a program
// file without one ("key-HEX.record"). Where such a name is taken by a record
// that is not this program's (another publisher's key, another user's file),
// the program keeps its own beside it, named by its key as well
// ("id-NAME-key-HEX.record"). Which records make up a line and how they are
// used is in catalogue_in_use.h. The file is text up to the catalogue's bytes:
//
//   quillon trust record 1
//   key: BASE64
//   retired: BASE64          (any number, oldest first)
//   serial: N
//   catalogue: LENGTH
//   LENGTH bytes, the last of the file
//
// Read: a record whose form is broken in any way is refused as a whole
// (ETrustRecord with the reason), never taken in part. Whether its owner and
// mode let it be trusted is the caller's question (NotPrivateReason). Written: to a
// temporary file in the same folder (mode 0600; missing folders are made
// with 0700), synced and
// renamed over the record, so the record on disk is always a whole one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/exceptions.h"

namespace quillon {

class ETrustRecord : public Exception {
 public:
  using Exception::Exception;
};

struct TTrustRecord {
  std::string key;                   // 32 raw bytes
  std::vector<std::string> retired;  // 32 raw bytes each
  int64_t serial = 0;
  std::string catalogue;

  // The folder of all records (see above), without a trailing "/".
  static std::string Folder();
  // The record file of a line: by its Catalogue_Id when it has one, else by
  // the publisher's key (raw bytes). An id that is not a plain file name
  // (letters, digits, ".", "-", "_", not beginning with ".", at most 100
  // characters) is named by its SHA-256.
  static std::string PathFor(std::string_view catalogue_id, std::string_view key_raw);
  // The name beside `path` (one of PathFor's) for the program file's key
  // `key_raw`: "...-key-HEX.record".
  static std::string BesidePath(const std::string& path, std::string_view key_raw);
  // Why no record in Folder() can be trusted: the folder belongs to another
  // user or others may write it ("the trust record folder F is writable by
  // others"); empty when it is private or absent.
  static std::string FolderProblem();

  std::string Encode() const;
  // ETrustRecord with what is wrong.
  static TTrustRecord Decode(std::string_view bytes);

  // Absent when there is no file; ETrustRecord "it cannot be read: ..." or
  // the reason of Decode.
  static std::optional<TTrustRecord> Read(const std::string& path);
  // ETrustRecord "the trust record PATH cannot be written: ..." when the record could not be put
  // in place; the old record is then as it was.
  void Write(const std::string& path) const;
};

// An exclusive lock over every record of Folder(), held for as long as the
// object lives: the read, the checks and the write of an accepted update are
// done under it, so that two programs accepting updates at once never lose
// one or lower a floor. The lock is flock(2) on Folder()/trust.lock (made
// with the folder when missing); ETrustRecord "the trust records cannot be
// locked: REASON" when it cannot be taken. Waits while another holds it.
class TTrustLock {
 public:
  TTrustLock();
  ~TTrustLock();
  TTrustLock(const TTrustLock&) = delete;
  TTrustLock& operator=(const TTrustLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace quillon
