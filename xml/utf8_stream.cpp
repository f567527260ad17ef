#include "xml/utf8_stream.h"

#include "base/code_page.h"

namespace quillon {

namespace {

bool IsHighSurrogate(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

uint8_t TsdUtf8Stream::ReadChar() {
  if (pending_pos_ >= pending_.size()) {
    StorePrevPositions();
    pending_.clear();
    pending_pos_ = 0;
    switch (encoding_) {
      case encAnsi: {
        int b = ReadByte();
        if (b >= 0) AppendUtf8(pending_, Cp1252ToUnicode(static_cast<uint8_t>(b)));
        break;
      }
      case encUtf8: {
        int b = ReadByte();
        if (b < 0) break;
        pending_ += static_cast<char>(b);
        if (b & 0x80) {
          const int more = (b & 0x20) ? 2 : 1;
          for (int i = 0; i < more; ++i) {
            int c = ReadByte();
            if (c < 0) break;
            pending_ += static_cast<char>(c);
          }
        }
        break;
      }
      case encUcs2Be:
      case encUcs2Le:
      case encUtf16Be:
      case encUtf16Le: {
        uint16_t unit;
        if (!ReadUnit(&unit)) break;
        uint32_t cp = unit;
        if (IsHighSurrogate(unit)) {
          const int64_t after_high = LogicalPosition();
          uint16_t low;
          if (ReadUnit(&low) && IsLowSurrogate(low)) {
            cp = 0x10000 + ((static_cast<uint32_t>(unit) - 0xD800) << 10) + (low - 0xDC00u);
          } else {
            MoveTo(after_high);
            cp = 0xFFFD;
          }
        } else if (IsLowSurrogate(unit)) {
          cp = 0xFFFD;
        }
        AppendUtf8(pending_, cp);
        break;
      }
      default:
        RaiseUnsupported();
    }
  }
  if (pending_pos_ < pending_.size()) return static_cast<uint8_t>(pending_[pending_pos_++]);
  return 0;
}

void TsdUtf8Stream::WriteChar(uint8_t byte) {
  switch (encoding_) {
    case encUtf8:
      WriteBytes(&byte, 1);
      return;
    case encAnsi:
    case encUcs2Be:
    case encUcs2Le:
    case encUtf16Be:
    case encUtf16Le:
      break;
    default:
      RaiseUnsupported();
  }
  sequence_ += static_cast<char>(byte);
  const uint8_t lead = static_cast<uint8_t>(sequence_[0]);
  const size_t need = lead < 0x80 ? 1 : ((lead & 0x20) ? 3 : 2);
  if (sequence_.size() < need) return;
  uint32_t cp = lead;
  if (need == 2) {
    cp = ((lead & 0x1Fu) << 6) | (static_cast<uint8_t>(sequence_[1]) & 0x3Fu);
  } else if (need == 3) {
    cp = ((lead & 0x0Fu) << 12) | ((static_cast<uint8_t>(sequence_[1]) & 0x3Fu) << 6) |
         (static_cast<uint8_t>(sequence_[2]) & 0x3Fu);
  }
  sequence_.clear();
  if (encoding_ == encAnsi) {
    const int b = UnicodeToCp1252(cp);
    const uint8_t out = b < 0 ? '?' : static_cast<uint8_t>(b);
    WriteBytes(&out, 1);
  } else {
    WriteUnit(static_cast<uint16_t>(cp));
  }
}

void TsdUtf8Stream::PlainRange(uint8_t* min, uint8_t* max) const {
  *min = 1;
  *max = (encoding_ == encAnsi || encoding_ == encUtf8) ? 0x7F : 0;
}

}  // namespace quillon
