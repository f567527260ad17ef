// The partial file of a download: a download writes NAME.part beside its
// destination NAME and only TPartialFile::Commit, after every check of the
// whole file, turns it into NAME (one rename, so NAME is always either the
// old file or the whole new one).
//
// NAME.part belongs to one download at a time and to the user who runs it
// (TPartialFile): it is created new (exclusively, mode 0600), or an existing
// one of the user's own is opened without following a link, and it is
// locked for the whole download; a second download of the same NAME, in
// this process or another, finds it locked and touches nothing. An
// existing NAME.part that is not the user's own (a link, another owner's
// file, a file that group or others may write) is never written: it is
// removed and a new part created, or, where it cannot be removed (another
// user's file in a sticky folder), the download is refused. The commit
// checks, immediately before its rename, that NAME.part still leads to the
// file that was written and hashed, and afterwards that NAME does.
//
// A partial file keeps what a later start needs to continue it without
// splicing two versions of a file: the URL, the total length and a
// validator of the file (HTTP: the ETag, else the Last-Modified date of the
// response that produced it). They are stored in extended attributes of
// NAME.part ("user.quillon.url", "user.quillon.total",
// "user.quillon.validator"); where the file system has none, in the side
// file NAME.part.info (three lines: URL, total, validator; mode 0600), which
// goes with the partial file. A part written in pieces (several sources or
// connections at once, see piece_plan.h) also records which pieces are
// complete ("user.quillon.pieces", the side file's fourth line): only those
// bytes of it count, wherever the file ends. The download job records its URL without the
// password. A record is read only when every value is plain text
// (no byte below 0x20, no 0x7F) and the total a decimal number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

struct TPartInfo {
  std::string url;
  int64_t total = -1;  // unknown
  std::string validator;
  // A part written in pieces: its piece size and the complete ones
  // (TPiecePlan::RecordText); empty for a part that is one run of bytes from
  // its beginning.
  std::string pieces = {};
  // Continuable: a known total and a validator to ask If-Range with, or
  // pieces recorded as complete.
  bool Continuable() const { return total > 0 && (!validator.empty() || !pieces.empty()); }
};

// The longest URL or validator a record keeps.
inline constexpr size_t kMaxPartInfoValue = 8192;

// "NAME.part"
std::string PartialFileName(const std::string& Destination);
// False when neither extended attributes nor the side file could be written
// (the partial file is then not continuable), or a text holds a control
// character or is longer than kMaxPartInfoValue; nothing is written then.
bool WritePartInfo(const std::string& PartName, const TPartInfo& Info);
// False (Info reset) when the partial file has no record, or its record holds
// a control character, a text longer than kMaxPartInfoValue or a total that
// is not a decimal number.
bool ReadPartInfo(const std::string& PartName, TPartInfo& Info);
// True when a part of PartSize bytes whose record is Info may be continued as
// a download of Url: the record names Url exactly and its total is greater
// than PartSize (and than 0), and it is one run of bytes from its beginning
// (no pieces recorded). The validator is the caller's business.
bool PartContinues(const TPartInfo& Info, const std::string& Url, int64_t PartSize);
// Removes the partial file and its record.
void RemovePartialFile(const std::string& PartName);
// Renames the closed PartName over Destination by name (one rename:
// Destination is the old file or the new one, never a mixture; a link at
// Destination is replaced, not followed) and removes the side record. On
// failure returns the system's reason and changes nothing that was
// Destination. It trusts the name: a download commits with
// TPartialFile::Commit, which checks what the name leads to.
bool CommitPartialFile(const std::string& PartName, const std::string& Destination, std::string& Reason);
// True when `path` is a regular file that a TPartialFile holds now, in this
// process or another: the partial file of a running download.
bool IsHeldPart(const std::string& path);
// The mode of a file the user makes: 0666 less the process's umask, read
// without changing it (the "Umask:" line of /proc/self/status; 0600 when
// that cannot be read).
unsigned NewFileMode();
// The size of the file at `path`, or -1 when there is no such file (a folder
// counts as found, with its directory-entry size).
int64_t LocalFileSize(const std::string& path);

// NAME.part held by one download: open and locked (an open file
// description's write lock on the whole file) from Take until Release or
// destruction.
class TPartialFile {
 public:
  enum TTakeResult {
    tkTaken,
    tkBusy,        // another download holds it
    tkNotAFile,    // a directory, device, pipe or socket has the name
    tkNotOurs,     // another user's file that cannot be removed (Reason)
    tkFailed,      // the system's reason in Reason
  };
  enum TCommitResult {
    cmCommitted,
    cmExists,       // not to replace, and Destination exists; nothing changed
    cmHeld,         // Destination is another download's part; nothing changed
    cmSwapped,      // the part's name leads to another file now; nothing changed
    cmOverwritten,  // after the rename Destination leads to another file
    cmFailed,       // the system's reason in Reason; nothing changed
  };

  TPartialFile() = default;
  ~TPartialFile() { Release(); }
  TPartialFile(const TPartialFile&) = delete;
  TPartialFile& operator=(const TPartialFile&) = delete;

  // Creates PartName (exclusively, mode 0600) with no record, or opens the
  // existing regular file without following a link and locks it. A
  // symbolic link, a file with other hard links, a file of another owner or
  // one that group or others may write is not ours to write: the name is
  // removed and a new file created (tkNotOurs when the system refuses to
  // remove it). Anything but tkTaken holds nothing and has removed nothing
  // but what was not ours.
  TTakeResult Take(const std::string& PartName, std::string& Reason);
  bool Held() const { return fd_ >= 0; }
  // Bytes in the held file (-1 when none is held).
  int64_t Size() const;
  // A second descriptor of the held file (same open description, so it
  // writes under the same lock), for a stream; throws EFOpenError when none
  // is held.
  int Duplicate() const;
  // Empties the held file and removes its record: the part starts again
  // from nothing, still locked. False with errno set on failure.
  bool Restart();
  // Removes PartName and its side record when the name still belongs to the
  // held file (after a commit it belongs to the finished file, or to a later
  // download's part).
  void Remove();
  // Turns the held part, closed by its streams, into Destination while it
  // is still locked: when PartName still leads to the held file (and
  // Destination is no other download's part), gives it the mode of a new
  // file of the user (NewFileMode) and renames it over Destination, or,
  // unless `replace`, to Destination only where no entry has that name
  // (never replacing one made meanwhile); then checks that Destination
  // leads to the held file and removes the record. The part stays held:
  // Release follows.
  TCommitResult Commit(const std::string& Destination, bool replace, std::string& Reason);
  // Unlocks and closes; a stream's descriptor closed later no longer holds
  // the lock.
  void Release();

 private:
  std::string name_;
  int fd_ = -1;
};

}  // namespace quillon
