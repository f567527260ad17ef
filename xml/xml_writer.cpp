#include "xml/xml_writer.h"

namespace quillon {

void TXmlWriter::Flush() {
  if (text_.empty()) return;
  stream_.WriteBuffer(text_.data(), static_cast<int64_t>(text_.size()));
  text_.clear();
}

}  // namespace quillon
