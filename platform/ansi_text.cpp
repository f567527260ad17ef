#include "platform/ansi_text.h"

#include "base/code_page.h"

namespace quillon {

QString AnsiToQString(std::string_view bytes) {
  QString out;
  out.reserve(static_cast<qsizetype>(bytes.size()));
  for (char c : bytes) out.append(QChar(Cp1252ToUnicode(static_cast<uint8_t>(c))));
  return out;
}

QString MessageToQString(std::string_view bytes) {
  return IsUtf8(bytes) ? QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())) : AnsiToQString(bytes);
}

std::string QStringToAnsi(const QString& text) {
  std::string out;
  out.reserve(static_cast<size_t>(text.size()));
  for (QChar ch : text) {
    const int b = UnicodeToCp1252(ch.unicode());
    out.push_back(b < 0 ? '?' : static_cast<char>(b));
  }
  return out;
}

}  // namespace quillon
