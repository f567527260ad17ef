// TApplicationDataStream: a stream over a block of data appended to the end of
// an existing file. The file ends with a 16-byte trailer: the absolute offset S
// of the block's first byte (signed 64-bit little-endian) and the signature
// "APPDATA\0". Positions and sizes seen through the stream are relative to S,
// so readers never see the host bytes in front of the block nor the trailer.
//
// Opened in a writing mode on a file without a trailer, the stream appends an
// empty block and its trailer; whatever is written then lands in the block and
// the trailer is kept behind the data.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/exceptions.h"
#include "base/file_stream.h"
#include "base/stream.h"

namespace quillon {

class EAppstreamError : public Exception {
 public:
  using Exception::Exception;
};

class TApplicationDataStream : public TStream {
 public:
  // 0 read, 1 write, 2 read and write; any other value opens for reading.
  enum TOpenMode : int { omRead = 0, omWrite = 1, omReadWrite = 2 };

  static constexpr char kSignature[8] = {'A', 'P', 'P', 'D', 'A', 'T', 'A', '\0'};
  static constexpr int kTrailerSize = 16;

  // Opens the file and locates the block. Raises EAppstreamError "TApplication
  // DataStream.Create : No application stream signature found" when the file has
  // no trailer and the mode is not a writing mode; the file's own open error
  // (EFOpenError) propagates unchanged.
  TApplicationDataStream(const std::string& file_name, int mode);
  ~TApplicationDataStream() override;

  // Reads at the file position; not clipped at the end of the block.
  int64_t Read(void* buffer, int64_t count) override;
  // Writes at the file position and rewrites the trailer behind the data when
  // the write reached past the former end of the block.
  int64_t Write(const void* buffer, int64_t count) override;
  // Positions are relative to the block; a result before it raises
  // EAppstreamError "TApplicationDataStream.Seek : Range error".
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  // Sets the block's length to n and writes the trailer behind it.
  void SetSize(int64_t new_size) override;

  int64_t StartOffset() const { return start_; }

  // True when the file ends with a trailer (the file is opened for reading).
  static bool HasTrailer(const std::string& file_name);

 private:
  void WriteTrailerAt(int64_t file_offset);

  std::unique_ptr<TFileStream> file_;
  int64_t start_ = 0;
};

}  // namespace quillon
