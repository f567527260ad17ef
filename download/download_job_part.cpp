// The job's hold on NAME.part: taking it, the stream of bytes into it, the
// checks and the rename over NAME, and keeping or removing what a failure
// leaves.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "base/file_stream.h"
#include "download/download_failure.h"
#include "download/download_job.h"
#include "download/file_name_rule.h"
#include "download/partial_file.h"
#include "download/queued_file_stream.h"

namespace quillon {

namespace {

constexpr const char* kNotThePublishersFile =
    "Download failed: the file is not the one the publisher signed (SHA-256 mismatch).";
constexpr const char* kNotTheFileGiven =
    "Download failed: the file is not the one given on the command line (SHA-256 mismatch).";

// A body that went on past the publisher's size of `size` bytes.
std::string SizeExceeded(int64_t size) {
  return "Download failed: the server's file has more than " + std::to_string(size) + " bytes, the publisher's has " +
         std::to_string(size) + ".";
}

// The file-name part of a path: the text after its last "/".
std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A destination that another download writes its part to.
std::string HeldDestination(const std::string& path) {
  return "Download failed: " + FileNameOf(path) + " is the partial file of another running download.";
}

}  // namespace

// Takes NAME.part for this download; on a refusal the transfer ends with its
// text ("already being downloaded", "the partial file of another running
// download", "not a regular file", "belongs to another user", or the
// system's reason) and false is returned.
bool TDownloadJob::TakePart() {
  std::string reason;
  std::string failure;
  // Its rename over a running download's part would give that download
  // these bytes in place of the ones it checked.
  if (IsHeldPart(local_filename_)) {
    failure = HeldDestination(local_filename_);
  } else {
    switch (part_.Take(part_name_, reason)) {
      case TPartialFile::tkTaken: return true;
      case TPartialFile::tkBusy:
        failure = "Download failed: " + FileNameOf(local_filename_) + " is already being downloaded.";
        break;
      case TPartialFile::tkNotAFile:
        failure = "Download failed: " + FileNameOf(part_name_) + " is not a regular file.";
        break;
      case TPartialFile::tkNotOurs:
        failure = "Download failed: " + FileNameOf(part_name_) + " belongs to another user and cannot be replaced (" +
                  reason + ").";
        break;
      case TPartialFile::tkFailed: failure = kCannotWrite + reason; break;
    }
  }
  NoteFailure(TFailureKind::kFileIo);
  Finish(false, failure);
  SetPhase(TJobPhase::kDone);
  return false;
}

// ---- Completion ----------------------------------------------------------------------

void TDownloadJob::OpenPartStream(int64_t keep) {
  // A part that is not continued starts as a new one: no byte and no record
  // of the old one stay.
  if (keep <= 0 && !part_.Restart()) throw EFCreateError("Cannot create file " + part_name_);
  if (keep <= 0) spliced_ = false;
  // Readable too, to be hashed.
  auto file = std::make_unique<TFileStream>(part_.Duplicate(), part_name_);
  if (keep > 0)
    file->SetSize(keep);  // also moves to its end
  else
    file->Seek(0, TSeekOrigin::soBeginning);
  part_stream_ = std::make_unique<TQueuedFileStream>(std::move(file), write_queue_limit_);
  if (!expected_.sha256.empty()) part_stream_->HashWithSha256();
  part_stream_->OnFull = [this] {
    queue_full_ = true;
    ApplyPause();
  };
  part_stream_->OnDrained = [this] {
    queue_full_ = false;
    ApplyPause();
  };
  part_stream_->OnWriteError = [this](const std::string& reason) {
    NoteFailure(TFailureKind::kFileIo);
    WriteFailed(kCannotWrite + reason);
  };
  // Nothing past the publisher's size reaches the part, and a disk that
  // accepts nothing for the idle limit ends the transfer.
  if (expected_.size >= 0) part_stream_->SetBound(expected_.size);
  part_stream_->OnPastBound = [this] {
    NoteFailure(TFailureKind::kNotExpected);
    WriteFailed(SizeExceeded(expected_.size));
  };
  part_stream_->SetStallLimit(idle_timeout_);
}

void TDownloadJob::WriteFailed(const std::string& failure) {
  // The first failure is the one shown. (A body past the bound may have
  // been noted already while the transfer ran; the transfer ends here.)
  if (write_error_.empty()) write_error_ = failure;
  // The client's completion shows the failure; once the transfer has ended
  // (committing, or settling a failed one), the finish of the part reports it
  // and the client, saying goodbye, is left alone.
  const TJobPhase phase = phase_;
  if (phase == TJobPhase::kCommitting || phase == TJobPhase::kSettling || phase == TJobPhase::kRetrying) return;
  if (transfer_) transfer_->Abort();
}

std::string TDownloadJob::WriteFailure() const {
  if (!write_error_.empty()) return write_error_;
  // Passed before the stream's report arrived.
  if (part_stream_ && part_stream_->PastBound()) return SizeExceeded(expected_.size);
  if (TFtpClient* ftp = FtpClient(); ftp && !ftp->LocalWriteError().empty()) return kCannotWrite + ftp->LocalWriteError();
  return "";
}

std::string TDownloadJob::SizeMismatch(int64_t announced) const {
  return "Download failed: the server's file has " + std::to_string(announced) + " bytes, the publisher's has " +
         std::to_string(expected_.size) + ".";
}

std::string TDownloadJob::NotTheFileText() const {
  return expected_.from_command_line ? kNotTheFileGiven : kNotThePublishersFile;
}

std::string TDownloadJob::CompletionText(const char* text) const {
  return verified_ && expected_.authenticated ? std::string(text) + " (verified)" : std::string(text);
}

void TDownloadJob::CommitWhenWritten(int64_t expected_size, std::function<void(const std::string&)> then) {
  if (!part_stream_) {
    // Nothing arrived in this start (an empty document, or a part that is
    // already the whole file): the held part is checked as it stands.
    try {
      auto file = std::make_unique<TFileStream>(part_.Duplicate(), part_name_);
      file->Seek(0, TSeekOrigin::soEnd);
      part_stream_ = std::make_unique<TQueuedFileStream>(std::move(file), write_queue_limit_);
      if (!expected_.sha256.empty()) part_stream_->HashWithSha256();
      // Hashing the part waits for the same disk as its writes did.
      part_stream_->SetStallLimit(idle_timeout_);
    } catch (const std::exception&) {
      NoteFailure(TFailureKind::kFileIo);
      return then(kCannotWrite + SystemReason());
    }
  }
  SetPhase(TJobPhase::kCommitting);
  part_stream_->Finish([this, expected_size, then](const std::string& error) {
    const std::string digest = part_stream_->Sha256();
    part_stream_.reset();  // closes the part before it is renamed or removed
    if (!error.empty()) NoteFailure(TFailureKind::kFileIo);
    then(error.empty() ? CommitDownload(expected_size, digest) : kCannotWrite + error);
  });
}

std::string TDownloadJob::CommitDownload(int64_t expected_size, const std::string& digest) {
  int64_t size = part_.Size();
  // Shorter than the server announced, or than the publisher's file.
  if (size < 0 || (expected_size >= 0 && size < expected_size) || size < expected_.size) {
    NoteFailure(TFailureKind::kNetwork);
    return kIncomplete;
  }
  // A part longer than the publisher's file, or than the server announced.
  if (expected_.size >= 0 && size != expected_.size) {
    part_.Remove();
    NoteFailure(TFailureKind::kNotExpected);
    return SizeMismatch(size);
  }
  if (expected_size >= 0 && size != expected_size) {
    NoteFailure(TFailureKind::kNetwork);
    return kIncomplete;
  }
  if (!expected_.sha256.empty()) {
    if (digest != expected_.sha256) {
      part_.Remove();
      NoteFailure(TFailureKind::kNotExpected);
      return NotTheFileText();
    }
    verified_ = true;
  }
  std::string reason;
  const std::string name = FileNameOf(local_filename_), part = FileNameOf(part_name_);
  auto failed = [this](const std::string& failure, bool keep) {
    NoteFailure(TFailureKind::kFileIo);
    // The finished bytes stay in the part, which the text names.
    if (keep) KeepOrRemovePart(true);
    return failure;
  };
  // "Keep both": a name taken meanwhile gives way to the next free one.
  for (int tries = 0;; ++tries) {
    switch (part_.Commit(local_filename_, existing_ == TExistingFile::kReplace, reason)) {
      case TPartialFile::cmCommitted:
        KeepOrRemovePart(true);  // NAME now: nothing of it is removed
        return "";
      case TPartialFile::cmExists:
        if (existing_ == TExistingFile::kKeepBoth && tries < 16) {
          local_filename_ = FreeNumberedPath(set_filename_, IsHeldPart);
          continue;
        }
        return failed("Download failed: " + name + " was made by another program during the download and is "
                      "not replaced; the downloaded file is kept as " + part + ".", true);
      case TPartialFile::cmHeld:
        return failed(HeldDestination(local_filename_) + " The downloaded file is kept as " + part + ".", true);
      case TPartialFile::cmSwapped:
        return failed("Download failed: " + part + " was replaced by another program during the download; " + name +
                      " was not changed.", false);
      case TPartialFile::cmOverwritten:
        return failed("Download failed: " + part + " was replaced by another program during the download; " + name +
                      " is not the downloaded file.", false);
      case TPartialFile::cmFailed: return failed(kCannotWrite + reason, false);
    }
  }
}

void TDownloadJob::SettlePart(bool continuable, bool drop) {
  if (!part_stream_ || drop || !continuable) {
    part_stream_.reset();  // drops what is still queued
    return KeepOrRemovePart(continuable);
  }
  // A failure while the part was being committed replaces the commit.
  SetPhase(TJobPhase::kSettling);
  part_stream_->Finish([this, continuable](const std::string&) {
    part_stream_.reset();
    // An FTP session that still says goodbye keeps the download running.
    SetPhase(transfer_ && transfer_->Active() ? TJobPhase::kSettling : TJobPhase::kDone);
    KeepOrRemovePart(continuable);
    ChangedLast();
  });
}

void TDownloadJob::KeepOrRemovePart(bool continuable) {
  if (!part_.Held()) return;
  if (!continuable || part_.Size() <= 0) part_.Remove();
  part_.Release();
}

void TDownloadJob::AfterPartWritten(std::function<void()> next) {
  if (!part_stream_) return next();
  part_stream_->Finish([this, next](const std::string& error) {
    part_stream_.reset();
    if (error.empty() && write_error_.empty()) return next();
    retry_next_ = nullptr;
    SetPhase(TJobPhase::kDone);
    Finish(false, write_error_.empty() ? kCannotWrite + error : write_error_);
    TPartInfo info;
    KeepOrRemovePart(ReadPartInfo(part_name_, info) && info.Continuable());
    ShowFileIcon();
    ChangedLast();
  });
}

}  // namespace quillon
