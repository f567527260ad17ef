#include "xml/ansi_stream.h"

#include "base/code_page.h"

namespace quillon {

uint8_t TsdAnsiStream::ReadChar() {
  StorePrevPositions();
  switch (encoding_) {
    case encAnsi:
    case encUtf8: {
      int b = ReadByte();
      return b < 0 ? 0 : static_cast<uint8_t>(b);
    }
    case encUcs2Be:
    case encUcs2Le:
    case encUtf16Be:
    case encUtf16Le: {
      uint16_t unit;
      if (!ReadUnit(&unit)) return 0;
      if (unit >= 256) ReportUnicodeLoss();
      return static_cast<uint8_t>(unit);
    }
    default:
      RaiseUnsupported();
  }
}

void TsdAnsiStream::WriteChar(uint8_t byte) {
  switch (encoding_) {
    case encAnsi:
      WriteBytes(&byte, 1);
      break;
    case encUtf8: {
      std::string s;
      AppendUtf8(s, Cp1252ToUnicode(byte));
      WriteBytes(s.data(), s.size());
      break;
    }
    case encUcs2Be:
    case encUcs2Le:
    case encUtf16Be:
    case encUtf16Le:
      WriteUnit(byte);
      break;
    default:
      RaiseUnsupported();
  }
}

void TsdAnsiStream::PlainRange(uint8_t* min, uint8_t* max) const {
  *min = 1;
  *max = (encoding_ == encAnsi || encoding_ == encUtf8) ? 0xFF : 0;
}

}  // namespace quillon
