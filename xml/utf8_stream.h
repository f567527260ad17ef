// TsdUtf8Stream: the codec flavour whose characters are the bytes of UTF-8.
//
// Reading: ANSI input is converted from windows-1252; UTF-8 input passes through
// in groups of one to three bytes (a lead byte with bit 5 set takes two more
// bytes, another byte with the top bit set one more); 16-bit units are converted
// to UTF-8. A surrogate pair becomes the four bytes of its character and a lone
// surrogate the replacement character U+FFFD, so that no malformed UTF-8 reaches
// the document.
// Writing: UTF-8 writes the byte; otherwise the bytes are collected into one
// UTF-8 sequence and written as one windows-1252 byte ("?" when the code page
// lacks the character) or one 16-bit unit.
#pragma once

#include <string>

#include "xml/codec_stream.h"

namespace quillon {

class TsdUtf8Stream : public TsdCodecStream {
 public:
  using TsdCodecStream::TsdCodecStream;

 protected:
  uint8_t ReadChar() override;
  void WriteChar(uint8_t byte) override;
  void PlainRange(uint8_t* min, uint8_t* max) const override;

 private:
  std::string sequence_;  // UTF-8 bytes collected for WriteChar
};

}  // namespace quillon
