// TFileStream: a stream over a file, opened with the framework's mode word:
// an access mode (fmCreate, fmOpenRead, fmOpenWrite, fmOpenReadWrite) or-ed with
// a share flag. Share flags are accepted for compatibility and have no effect on
// Linux, where files are not locked against other openers.
#pragma once

#include <cstdint>
#include <string>

#include "base/stream.h"

namespace quillon {

constexpr uint16_t fmCreate = 0xFF00;
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareCompat = 0x0000;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyRead = 0x0030;
constexpr uint16_t fmShareDenyNone = 0x0040;

class TFileStream : public TStream {
 public:
  // fmCreate creates the file or empties an existing one (read and write access;
  // EFCreateError "Cannot create file %s" on failure). Otherwise the low two
  // bits choose read, write or read-write access to an existing file
  // (EFOpenError "Cannot open file %s" on failure).
  TFileStream(const std::string& file_name, uint16_t mode);
  // Takes an open descriptor (closed with the stream) of the file file_name;
  // reads and writes start at the descriptor's position.
  TFileStream(int handle, const std::string& file_name);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // Sets the file's length and moves the position to the new end.
  void SetSize(int64_t new_size) override;

  const std::string& FileName() const { return file_name_; }
  int Handle() const { return fd_; }

 private:
  std::string file_name_;
  int fd_ = -1;
};

}  // namespace quillon
