// TsdAnsiStream: the codec flavour whose characters are those of the system code
// page (windows-1252).
//
// Reading: ANSI and UTF-8 input pass through byte by byte (UTF-8 reaches the
// document as its raw bytes); 16-bit input is cut to the low byte of every unit,
// and the first unit above 255 fires OnUnicodeLoss (once per stream).
// Writing: ANSI writes the byte, UTF-8 converts it from windows-1252, 16-bit
// encodings write the byte as one unit in the stream's byte order.
#pragma once

#include "xml/codec_stream.h"

namespace quillon {

class TsdAnsiStream : public TsdCodecStream {
 public:
  using TsdCodecStream::TsdCodecStream;

 protected:
  uint8_t ReadChar() override;
  void WriteChar(uint8_t byte) override;
  void PlainRange(uint8_t* min, uint8_t* max) const override;
};

}  // namespace quillon
