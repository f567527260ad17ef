// TXmlWriter: collects the text of a document or node being written and
// passes it to the stream in blocks, so that writing costs one stream call per
// block rather than one per tag or character.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/stream.h"

namespace quillon {

class TXmlWriter {
 public:
  static constexpr size_t kBlockSize = 64 * 1024;

  explicit TXmlWriter(TStream& stream) : stream_(stream) {}
  TXmlWriter(const TXmlWriter&) = delete;
  TXmlWriter& operator=(const TXmlWriter&) = delete;

  void Append(std::string_view text) { text_.append(text); }
  void Append(char c) { text_.push_back(c); }
  // Passes the text collected so far on when it fills a block.
  void MaybeFlush() {
    if (text_.size() >= kBlockSize) Flush();
  }
  // Passes all collected text on (EWriteError when the stream stores less).
  void Flush();
  // The stream position after everything collected so far was passed on.
  int64_t Position() {
    Flush();
    return stream_.Position();
  }

 private:
  TStream& stream_;
  std::string text_;
};

}  // namespace quillon
