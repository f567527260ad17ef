// The partial file of a download: a download writes NAME.part beside its
// destination NAME and only CommitPartialFile, after every check of the
// whole file, turns it into NAME (one rename, so NAME is always either the
// old file or the whole new one).
//
// An HTTP partial file keeps what a later start needs to continue it without
// splicing two versions of a file: the URL, the total length and the
// server's validator (ETag, else Last-Modified) of the response that
// produced it. They are stored in extended attributes of NAME.part
// ("user.quillon.url", "user.quillon.total", "user.quillon.validator");
// where the file system has none, in the side file NAME.part.info (three
// lines: URL, total, validator), which goes with the partial file.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

struct TPartInfo {
  std::string url;
  int64_t total = -1;  // unknown
  std::string validator;
  // Continuable: a known total and a validator to ask If-Range with.
  bool Continuable() const { return total > 0 && !validator.empty(); }
};

// "NAME.part"
std::string PartialFileName(const std::string& Destination);
// False when neither extended attributes nor the side file could be written
// (the partial file is then not continuable), or a text holds a line break.
bool WritePartInfo(const std::string& PartName, const TPartInfo& Info);
// False (Info reset) when the partial file has no record.
bool ReadPartInfo(const std::string& PartName, TPartInfo& Info);
// True when the record names Url exactly and its total is greater than
// PartSize (and > 0).
bool PartContinues(const TPartInfo& Info, const std::string& Url, int64_t PartSize);
// Removes the partial file and its record.
void RemovePartialFile(const std::string& PartName);
// Renames the closed PartName over Destination (one rename: Destination is
// the old file or the new one, never a mixture) and removes the side
// record. On failure returns the system's reason and changes nothing that
// was Destination.
bool CommitPartialFile(const std::string& PartName, const std::string& Destination, std::string& Reason);

}  // namespace quillon
