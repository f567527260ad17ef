// TChunkedBody: reads a body sent with "Transfer-Encoding: chunked" and
// hands on the document's bytes without the framing.
//
//   chunk      = chunk-size [ BWS ";" extensions ] CRLF chunk-data CRLF
//   last-chunk = 1*"0" [ BWS ";" extensions ] CRLF
//   trailer    = *( field-line CRLF ) CRLF
//
// A line may also end with a bare LF. Extensions and trailer fields are read
// and dropped. Broken framing raises EHttpException (httperrBadChunk): a size
// line that is not hexadecimal digits followed only by blanks or extensions,
// a size above 2^60 or a size line over kChunkLineRoom bytes, data not
// followed by its line end, trailers over kHttpMaxHeaderBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace quillon {

inline constexpr size_t kChunkLineRoom = 4096;

class TChunkedBody {
 public:
  // Receives a piece of the document; returns false to stop reading at once
  // (the receiver may have destroyed the reader).
  using TSink = std::function<bool(const char* Data, size_t Len)>;

  // Reads the next Len bytes of the framed body. Returns false when Sink
  // said stop (the reader is not touched after that). Bytes after the end of
  // the trailer are ignored (Overrun tells).
  bool Read(const char* Data, size_t Len, const TSink& Sink);
  // The last chunk and the trailer have been read.
  bool Done() const { return stage_ == kDone; }
  // Bytes came after the end of the trailer.
  bool Overrun() const { return overrun_; }
  void Reset();

 private:
  enum TStage { kSize, kData, kDataEnd, kTrailer, kDone };
  // A complete line of the size, the end of data, or the trailer.
  void EndLine();

  TStage stage_ = kSize;
  uint64_t left_ = 0;  // bytes of chunk data still to come
  std::string line_;
  size_t trailer_bytes_ = 0;
  bool overrun_ = false;
};

}  // namespace quillon
